# Sourced by the Wine scripts (cmake/wine-run.sh, tools/wine-session.sh).
#
# wine_find: sets WINE and WINESERVER.
# wine_start_display: without a DISPLAY, starts a private Xvfb on a free
#   display, sets DISPLAY and xvfb_pid (empty when a display was found).
# wine_stop_display: stops that Xvfb again.
# wine_prefix_setup [DPI]: creates the Wine prefix on first use and sets what
#   unattended runs need. Expects WINE, WINEPREFIX and DISPLAY to be set.
#   Only for the project's own prefixes, which live in the build tree.
#   ShowCrashDialog=0: a crashing program ends instead of waiting on a dialog.
#   Managed=N (tests only, ZEMBRAX_UNMANAGED=1): without a window manager the
#   X11 driver otherwise waits 2 s for every window it hides.
#   LogPixels=DPI when DPI is given: Wine's display scale, which each program
#   reads at its start (without it Wine's default, 96).
wine_prefix_setup() {
    local dpi=${1:-}
    local marker="$WINEPREFIX/.zembrax-setup${ZEMBRAX_UNMANAGED:+-unmanaged}"
    [ -f "$marker" ] && return 0
    echo "wine: setting up the Wine prefix $WINEPREFIX (once, takes a while)" >&2
    WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE" wineboot --init >/dev/null 2>&1
    "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    if [ -n "${ZEMBRAX_UNMANAGED:-}" ]; then
        "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    fi
    if [ -n "$dpi" ]; then
        "$WINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
        "$WINESERVER" -w # the programs of the set-up end before the first at this scale starts
    fi
    touch "$marker"
}

# wine_install_system_winmm BUILD_DIR: makes the simulated unit the build made
#   (BUILD_DIR/sim/winmm.dll) the system WinMM of WINEPREFIX, one of the
#   project's own prefixes inside BUILD_DIR: the panel loads WinMM from the
#   system folder only. Wine takes that native DLL over its builtin one with
#   the override winmm=n,b (cmake/wine-run.sh). Does nothing without the DLL.
wine_install_system_winmm() {
    local dll="$1/sim/winmm.dll" system="$WINEPREFIX/drive_c/windows/system32"
    [ -f "$dll" ] || return 0
    case "$WINEPREFIX" in
    "$1"/*) ;;
    *) echo "wine: $WINEPREFIX is not a prefix of the build tree $1; the simulated unit stays out of it" >&2
       return 1 ;;
    esac
    cmp -s "$dll" "$system/winmm.dll" || cp "$dll" "$system/winmm.dll"
}

wine_find() {
    WINE=${WINE:-/usr/lib/wine/wine64}
    [ -x "$WINE" ] || WINE=$(command -v wine64 || command -v wine)
    WINESERVER=$(dirname "$WINE")/wineserver
    [ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver)
}

wine_start_display() {
    xvfb_pid=
    [ -n "${DISPLAY:-}" ] && return 0
    local n=90
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
    export DISPLAY=":$n"
}

wine_stop_display() {
    [ -n "${xvfb_pid:-}" ] || return 0
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
}
