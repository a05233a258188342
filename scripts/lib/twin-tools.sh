# The x86_64 twin with the helper programs of bench/ (a driver that runs the updater as a
# user would, and the benchmark's yardsticks), and small Wine helpers. Sourced after
# prerequisites.sh and wine-session.sh by scripts/demo, scripts/screenshots and
# scripts/benchmark.

# build_twin_tools BUILD_ROOT DIST: the twin lands in DIST/x64, the helpers in $TOOLS_DIR.
build_twin_tools() {
    local tree="$1/x86_64-tools"
    cmake --preset x86_64 -B "$tree" -DUPDATER_TESTS=OFF -DUPDATER_BENCH=ON \
        -DUPDATER_DIST_DIR="$2/x64" >/dev/null
    cmake --build "$tree" >/dev/null
    TOOLS_DIR="$tree/bench"
}

# The exe name of the product the twin was built for, from the tree's cache.
twin_exe_name() {
    local name
    name=$(grep -E '^PRODUCT:' "$1/x86_64-tools/CMakeCache.txt" | cut -d= -f2)
    sed -n 's/^set(PRODUCT_EXE_NAME \(.*\))$/\1/p' "product/${name:-quillarin}/product.cmake"
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
