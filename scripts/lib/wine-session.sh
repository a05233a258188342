# A private Wine prefix with code page 932 and Japanese fonts, a persistent Wine server and,
# when there is no display, a virtual one. Sourced; call start_wine_session PREFIX and
# stop_wine_session. "$WINE64" runs a program in the session's prefix, a 32-bit one with
# Wine's 32-bit loader (WoW64).

WINE64="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wine"
WINESERVER=/usr/lib/wine/wineserver64

# The locale is not exported here: this shell may have started before locale-gen made
# ja_JP.UTF-8, and bash would warn that it cannot set it. The wine wrapper sets it for Wine.
wine_environment() {
    export WINEPREFIX="$1"
    export WINEARCH=win64 WINEDEBUG=-all
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

# A prefix made before 32-bit Wine was installed has no 32-bit system folder, and the 32-bit
# loader fails there with "could not load kernel32.dll, status c0000135".
prefix_lacks_32_bit() {
    [ -x /usr/lib/wine/wine ] && [ -f "$WINEPREFIX/system.reg" ] &&
        [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]
}

# session_step WHAT COMMAND...: one step of the set-up, its output kept aside. A step that fails
# is told with what it printed and the room left on the prefix's disk (a new prefix takes
# over 1 GiB), since a set-up that ends without a word leaves nothing to go on.
session_step() {
    local what=$1 log status=0
    shift
    log=$(mktemp "$(dirname "$WINEPREFIX")/wine-session.XXXXXX") || return 1
    "$@" </dev/null >"$log" 2>&1 || status=$?
    if [ $status -ne 0 ]; then
        echo "Wine session in $WINEPREFIX: $what failed with exit code $status:" >&2
        tail -n 20 "$log" >&2
        df -h "$(dirname "$WINEPREFIX")" >&2 || true
    fi
    rm -f "$log"
    return $status
}

# A new prefix whose making failed is made once more from nothing: a half-made one would fail
# every test in ways that say nothing of the cause.
make_prefix() {
    session_step "making the prefix (wineboot)" "$WINE64" wineboot -i && return 0
    echo "Making $WINEPREFIX once more" >&2
    "$WINESERVER" -k >/dev/null 2>&1 || true
    "$WINESERVER" -w >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    session_step "starting the Wine server" "$WINESERVER" -p &&
        session_step "making the prefix again (wineboot)" "$WINE64" wineboot -i
}

prepare_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        make_prefix || return
    fi
    # Dialog and message box fonts drawn with Japanese glyphs.
    local font
    for font in "MS UI Gothic" "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma" "MS Gothic" "ＭＳ ゴシック"; do
        session_step "replacing the font $font" "$WINE64" reg add \
            'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /t REG_SZ /d "IPAGothic" /f || return
    done
    for font in "MS PGothic" "ＭＳ Ｐゴシック"; do
        session_step "replacing the font $font" "$WINE64" reg add \
            'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /t REG_SZ /d "IPAPGothic" /f || return
    done
    # No window manager runs on the virtual display. For the windows a manager would handle,
    # Wine waits 2 s for it at each one it hides (every message box closed, the dialog at
    # the end of a run); Wine then handles them itself.
    session_step "leaving windows unmanaged" "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' \
        /v Managed /t REG_SZ /d N /f || return
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
    if prefix_lacks_32_bit; then
        echo "Making $WINEPREFIX again: it was made before 32-bit Wine was installed"
        "$WINESERVER" -k >/dev/null 2>&1 || true
        rm -rf "$WINEPREFIX"
    fi
    local fresh=0
    [ -f "$WINEPREFIX/system.reg" ] || fresh=1
    mkdir -p "$WINEPREFIX"
    session_step "starting the Wine server" "$WINESERVER" -p || return
    prepare_prefix || return
    if [ $fresh -eq 1 ]; then
        # Right after wineboot made the prefix, a second service manager runs beside the
        # first and the RPC service never starts: each new desktop process then waits 3 to
        # 10 s for it, when it starts and again when it ends. Started over, the prefix's
        # programs come up once each.
        "$WINESERVER" -k >/dev/null 2>&1 || true
        "$WINESERVER" -w >/dev/null 2>&1 || true
        session_step "starting the Wine server again" "$WINESERVER" -p || return
    fi
    keep_desktop_up
}

# The prefix's desktop process (explorer.exe /desktop) ends a moment after the last program
# of the prefix does. A new one then holds up every window of the next program for up to
# 10 s while it fails to start the RPC service, so a pause between tests (a case run as
# another user, say) made each following scenario slow. One program waiting for the whole
# session keeps the desktop up: cmd reading a line from a pipe nobody writes to.
keep_desktop_up() {
    local pipe="$WINEPREFIX/session-keeper"
    rm -f "$pipe"
    mkfifo "$pipe"
    "$WINE64" cmd /c "set /p line=" <>"$pipe" >/dev/null 2>&1 &
    UPDATER_KEEPER_PID=$!
}

stop_wine_session() {
    # Gone before this returns, so that the next session in the same prefix starts its own.
    "$WINESERVER" -k >/dev/null 2>&1 || true
    "$WINESERVER" -w >/dev/null 2>&1 || true
    if [ -n "${UPDATER_KEEPER_PID:-}" ]; then
        kill "$UPDATER_KEEPER_PID" 2>/dev/null || true
        wait "$UPDATER_KEEPER_PID" 2>/dev/null || true
        UPDATER_KEEPER_PID=
        rm -f "$WINEPREFIX/session-keeper"
    fi
    if [ -n "${UPDATER_XVFB_PID:-}" ]; then
        kill "$UPDATER_XVFB_PID" 2>/dev/null || true
        wait "$UPDATER_XVFB_PID" 2>/dev/null || true
    fi
}
