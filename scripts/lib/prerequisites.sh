# Installs what building and testing the updater need on Debian 12, once.
# Sourced by the project's commands; runs apt-get only when something is missing.

UPDATER_PACKAGES=(
    cmake ninja-build python3 clang-format
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    googletest wine64 xvfb xdotool imagemagick x11-utils fonts-ipafont-gothic locales
    g++ unzip openssl osslsigncode strace fusefat dosfstools
    lzma-dev libdivsufsort-dev
)

# A static i386 program of 96 bytes whose whole work is exit(42): whether the kernel runs
# 32-bit code at all (machines of this kind have differed), without any 32-bit package.
can_run_32_bit() {
    local probe
    probe=$(mktemp /tmp/updater-probe32.XXXXXX) || return 1
    printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'\
'\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'\
'\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'\
'\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08'\
'\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00'\
'\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
    chmod +x "$probe"
    local status=0
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    [ $status -eq 42 ]
}

# choose_tested_exe: which build the suites run. Sets TESTED_ARCH (i686: the shipped exe under
# 32-bit Wine; x86_64: the twin) and TESTED_EXE_LINE, the line that says which and why.
# UPDATER_TEST_TWIN=1 forces the twin; so does a set-up that could not install 32-bit Wine.
choose_tested_exe() {
    if [ "${UPDATER_TEST_TWIN:-0}" = 1 ]; then
        TESTED_ARCH=x86_64
        TESTED_EXE_LINE="tested exe: x86_64 twin (forced by UPDATER_TEST_TWIN)"
    elif ! can_run_32_bit; then
        TESTED_ARCH=x86_64
        TESTED_EXE_LINE="tested exe: x86_64 twin (this machine cannot run 32-bit code)"
    elif [ "${WINE32_NOT_INSTALLED:-0}" = 1 ]; then
        TESTED_ARCH=x86_64
        TESTED_EXE_LINE="tested exe: x86_64 twin (32-bit Wine could not be installed)"
    else
        TESTED_ARCH=i686
        TESTED_EXE_LINE="tested exe: shipped 32-bit"
    fi
}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_prerequisites() {
    local missing=()
    local package packages=("${UPDATER_PACKAGES[@]}")
    # Where the kernel runs 32-bit code, 32-bit Wine runs the shipped exe itself.
    local add_i386=0
    if can_run_32_bit; then
        packages+=(wine32:i386)
        dpkg --print-foreign-architectures | grep -qx i386 || add_i386=1
    fi
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        [ $add_i386 -eq 0 ] || as_root dpkg --add-architecture i386
        update_package_lists
        install_packages "${missing[@]}" || return 1
    fi
    generate_locales
}

# A mirror in mid-sync fails an index or two while the rest load, and apt-get update exits 100:
# a few tries, then on with the lists that loaded, saying which did not.
update_package_lists() {
    local attempt output
    for attempt in 1 2 3; do
        if output=$(as_root apt-get update -qq 2>&1); then
            [ -z "$output" ] || echo "$output" >&2
            return 0
        fi
        [ $attempt -eq 3 ] || sleep 5
    done
    echo "apt-get update failed 3 times; going on with the lists that loaded. $(awk '
        /^[WE]: Failed to fetch / {
            url = $5; sub(/^[WE]: Failed to fetch [^ ]+ +/, ""); sub(/ *\[IP: [^]]*\]$/, "")
            failed = failed sep url " (" $0 ")"; sep = "; "
        }
        /^E:/ && !first { first = $0 }
        END { print failed ? "Not loaded: " failed : "It said: " first }' <<<"$output")" >&2
}

# install_packages PACKAGE...: one apt-get install. Where it fails (a suite whose lists did not
# load leaves the two architectures' candidates apart), again with the release's own versions
# only; where 32-bit Wine still does not install, the rest without it, and the tests run the
# twin (WINE32_NOT_INSTALLED=1). Anything else that does not install ends the set-up, named.
install_packages() {
    local log release package rest=() wine32_error
    log=$(mktemp /tmp/updater-apt.XXXXXX)
    if ! apt_install "$log" "$@"; then
        release=$(. /etc/os-release && echo "$VERSION_CODENAME")
        echo "apt-get install failed ($(grep -m1 '^E:' "$log")); again with $release's own" \
            "versions (-t $release)" >&2
        if ! apt_install "$log" -t "$release" "$@"; then
            for package in "$@"; do [ "$package" = wine32:i386 ] || rest+=("$package"); done
            wine32_error=$(grep -m1 '^E:' "$log")
            if [ ${#rest[@]} -eq $# ] || ! apt_install "$log" -t "$release" "${rest[@]}"; then
                report_install_failure "$log" "$@"
                rm -f "$log"
                return 1
            fi
            echo "32-bit Wine could not be installed ($wine32_error); the x86_64 twin runs" \
                "instead" >&2
            WINE32_NOT_INSTALLED=1
        fi
    fi
    grep '^W:' "$log" >&2 || true
    rm -f "$log"
}

# -q, not -qq: the second level of quiet drops the list of unmet dependencies, which names the
# package at fault.
apt_install() {
    local log=$1
    shift
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >"$log" 2>&1
}

# report_install_failure LOG PACKAGE...: the packages apt-get names (or all those asked for)
# and its errors.
report_install_failure() {
    local log=$1 named
    shift
    named=$(sed -n -e 's/^ \([^ ]*\) : .*/\1/p' -e 's/^E: Unable to locate package //p' "$log" |
        sort -u | paste -sd ' ')
    echo "Could not install ${named:-$*}:" >&2
    grep -E '^( [^ ]+ : |E: )' "$log" >&2 || tail -n 5 "$log" >&2
}

# Wine's ANSI code page follows the locale of its process: without ja_JP it is 1252, not 932.
# en_US (1252) and zh_CN (936) are the other systems the tests show the updater under. All
# that are missing go into /etc/locale.gen and one locale-gen makes them.
UPDATER_LOCALES=(ja_JP en_US zh_CN)

generate_locales() {
    local name available missing=0
    available=$(locale -a 2>/dev/null)
    for name in "${UPDATER_LOCALES[@]}"; do
        grep -qix "$name\.utf-\?8" <<<"$available" && continue
        missing=1
        grep -q "^$name\.UTF-8 UTF-8" /etc/locale.gen 2>/dev/null ||
            echo "$name.UTF-8 UTF-8" | as_root tee -a /etc/locale.gen >/dev/null
    done
    [ $missing -eq 0 ] || as_root locale-gen >/dev/null
}
