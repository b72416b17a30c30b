# Sourced by the Wine scripts: creates the Wine prefix on first use and sets
# what unattended runs need. Expects WINE, WINEPREFIX and DISPLAY to be set.
#   ShowCrashDialog=0: a crashing program ends instead of waiting on a dialog.
#   Managed=N (tests only, ZEMBRAX_UNMANAGED=1): without a window manager the
#   X11 driver otherwise waits 2 s for every window it hides.
wine_prefix_setup() {
    local marker="$WINEPREFIX/.zembrax-setup${ZEMBRAX_UNMANAGED:+-unmanaged}"
    [ -f "$marker" ] && return 0
    echo "wine: setting up the Wine prefix $WINEPREFIX (once, takes a while)" >&2
    WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE" wineboot --init >/dev/null 2>&1
    "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    if [ -n "${ZEMBRAX_UNMANAGED:-}" ]; then
        "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    fi
    touch "$marker"
}
