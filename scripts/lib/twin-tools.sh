# The x86_64 twin with the helper programs of bench/ (a driver that runs the updater as a
# user would, and the benchmark's yardsticks), and small Wine helpers. Sourced after
# prerequisites.sh and wine-session.sh by scripts/demo, scripts/screenshots and
# scripts/benchmark.

# build_twin_tools BUILD_ROOT DIST [PRODUCT]: builds the twin and the helpers; sets TWIN_EXE
# (DIST/x64/NAME.exe, or DIST/PRODUCT/x64/NAME.exe for another product than the default)
# and TOOLS_DIR.
build_twin_tools() {
    local product=${3:-quillarin} tree="$1/x86_64-tools" twin_dist="$2/x64"
    if [ "$product" != quillarin ]; then
        tree="$1/x86_64-tools-$product"
        twin_dist="$2/$product/x64"
    fi
    cmake --preset x86_64 -B "$tree" -DPRODUCT="$product" -DUPDATER_TESTS=OFF \
        -DUPDATER_BENCH=ON -DUPDATER_DIST_DIR="$twin_dist" >/dev/null
    cmake --build "$tree" >/dev/null
    local exe_name
    exe_name=$(sed -n 's/^set(PRODUCT_EXE_NAME \(.*\))$/\1/p' "product/$product/product.cmake")
    TWIN_EXE="$twin_dist/$exe_name.exe"
    TOOLS_DIR="$tree/bench"
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
