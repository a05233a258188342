# The shipped exe, the x86_64 twin and the helper programs of bench/ (a driver that runs the
# updater as a user would, and the benchmark's yardsticks), and small Wine helpers. Sourced
# after prerequisites.sh and wine-session.sh by scripts/demo, scripts/screenshots and
# scripts/benchmark.

# build_twin_tools BUILD_ROOT DIST [PRODUCT]: builds the shipped exe, the twin and the helpers,
# the helpers for the arch that runs here (choose_tested_exe: the shipped exe under 32-bit
# Wine, or the twin). Sets SHIPPED_EXE (DIST/NAME.exe, or DIST/PRODUCT/NAME.exe for another
# product than the default), TWIN_EXE (beside it in x64/), TESTED_EXE (one of the two),
# TESTED_EXE_LINE and TOOLS_DIR.
build_twin_tools() {
    local product=${3:-quillarin} suffix= shipped_dist="$2"
    if [ "$product" != quillarin ]; then
        suffix=-$product
        shipped_dist="$2/$product"
    fi
    [ -n "${TESTED_ARCH:-}" ] || choose_tested_exe
    cmake --preset i686 -B "$1/i686$suffix" -DPRODUCT="$product" \
        -DUPDATER_DIST_DIR="$shipped_dist" >/dev/null
    cmake --build "$1/i686$suffix" >/dev/null
    local twin_tools=OFF
    [ "$TESTED_ARCH" = x86_64 ] && twin_tools=ON
    cmake --preset x86_64 -B "$1/x86_64-tools$suffix" -DPRODUCT="$product" -DUPDATER_TESTS=OFF \
        -DUPDATER_BENCH=$twin_tools -DUPDATER_DIST_DIR="$shipped_dist/x64" >/dev/null
    cmake --build "$1/x86_64-tools$suffix" >/dev/null
    TOOLS_DIR="$1/x86_64-tools$suffix/bench"
    if [ "$TESTED_ARCH" = i686 ]; then
        # The posix toolchain, which the driver's GoogleTest needs; its own build of the
        # updater lands aside.
        cmake --preset i686-tests -B "$1/i686-tools$suffix" --no-warn-unused-cli -DPRODUCT="$product" \
            -DUPDATER_TESTS=OFF -DUPDATER_BENCH=ON \
            -DUPDATER_DIST_DIR="$1/i686-tools$suffix/dist" >/dev/null
        cmake --build "$1/i686-tools$suffix" >/dev/null
        TOOLS_DIR="$1/i686-tools$suffix/bench"
    fi
    local exe_name
    exe_name=$(sed -n 's/^set(PRODUCT_EXE_NAME \(.*\))$/\1/p' "product/$product/product.cmake")
    SHIPPED_EXE="$shipped_dist/$exe_name.exe"
    TWIN_EXE="$shipped_dist/x64/$exe_name.exe"
    TESTED_EXE=$TWIN_EXE
    [ "$TESTED_ARCH" = i686 ] && TESTED_EXE=$SHIPPED_EXE
    return 0
}

windows_path() {
    "$WINE64" winepath -w "$1" 2>/dev/null
}

# set_install_record KEY DIR: the record an installation leaves, in the 32-bit view.
set_install_record() {
    local key="HKLM\\$1"
    "$WINE64" reg add "$key" /v Dir /t REG_SZ /d "$2" /f /reg:32 >/dev/null 2>&1
    "$WINE64" reg add "$key" /v CD /t REG_SZ /d 'D:\' /f /reg:32 >/dev/null 2>&1
    "$WINE64" reg add "$key" /v InstType /t REG_DWORD /d 1 /f /reg:32 >/dev/null 2>&1
}

remove_install_record() {
    "$WINE64" reg delete "HKLM\\$1" /f /reg:32 >/dev/null 2>&1 || true
}

# drive_in_desktop SHOT_PREFIX REPORT [DRIVER OPTIONS...] EXE: runs the updater through the
# driver inside a Wine virtual desktop, which draws captions even without a window manager.
drive_in_desktop() {
    local shots="$1" report="$2"
    shift 2
    rm -f "$shots"dialog.bmp "$shots"box.bmp "$report"
    "$WINE64" explorer /desktop=Updater,640x480 "$(windows_path "$TOOLS_DIR/drive_updater.exe")" \
        --shots "$(windows_path "$shots")" --report "$(windows_path "$report")" "$@" \
        >/dev/null 2>&1 || true
    local picture
    for picture in dialog box; do
        if [ -f "$shots$picture.bmp" ]; then
            convert "$shots$picture.bmp" "$shots$picture.png"
            rm -f "$shots$picture.bmp"
        fi
    done
}
