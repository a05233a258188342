# A private Wine prefix with code page 932 and Japanese fonts, a persistent Wine server and,
# when there is no display, a virtual one. Sourced; call start_wine_session PREFIX and
# stop_wine_session.

WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64

wine_environment() {
    export WINEPREFIX="$1"
    export WINEARCH=win64 WINEDEBUG=-all LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
    # No Mono or Gecko: their installers would ask, and nothing here needs them.
    export WINEDLLOVERRIDES="mscoree,mshtml="
}

start_virtual_display() {
    UPDATER_XVFB_PID=
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        return
    fi
    local number=90
    while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do
        number=$((number + 1))
    done
    Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    UPDATER_XVFB_PID=$!
    export DISPLAY=":$number"
    local tries=0
    until xdpyinfo >/dev/null 2>&1; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ]; then
            echo "Xvfb did not start" >&2
            return 1
        fi
        sleep 0.1
    done
}

prepare_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "$WINE64" wineboot -i >/dev/null 2>&1
    fi
    # Dialog and message box fonts drawn with Japanese glyphs.
    local font
    for font in "MS UI Gothic" "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma" "MS Gothic" "ＭＳ ゴシック"; do
        "$WINE64" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /t REG_SZ \
            /d "IPAGothic" /f >/dev/null 2>&1
    done
    for font in "MS PGothic" "ＭＳ Ｐゴシック"; do
        "$WINE64" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /t REG_SZ \
            /d "IPAPGothic" /f >/dev/null 2>&1
    done
    # Caption buttons draw their glyphs with Marlett, which this Wine build does not find in
    # its own data folder; without it the close box shows the letter "r".
    if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
        mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
        cp -n /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    fi
}

start_wine_session() {
    wine_environment "$1"
    start_virtual_display
    mkdir -p "$WINEPREFIX"
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
    prepare_prefix
}

stop_wine_session() {
    "$WINESERVER" -k >/dev/null 2>&1 || true
    if [ -n "${UPDATER_XVFB_PID:-}" ]; then
        kill "$UPDATER_XVFB_PID" 2>/dev/null || true
        wait "$UPDATER_XVFB_PID" 2>/dev/null || true
    fi
}
