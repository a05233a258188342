# Installs what building and testing the updater need on Debian 12, once.
# Sourced by the project's commands; runs apt-get only when something is missing.

UPDATER_PACKAGES=(
    cmake ninja-build python3 clang-format
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    googletest wine64 xvfb xdotool imagemagick x11-utils fonts-ipafont-gothic locales
    g++ unzip openssl osslsigncode
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_prerequisites() {
    local missing=()
    local package
    for package in "${UPDATER_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
    # Wine's ANSI code page follows the locale: without ja_JP it is 1252, not 932.
    if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
        grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null ||
            echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
        as_root locale-gen >/dev/null
    fi
}
