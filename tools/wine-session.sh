#!/bin/bash
# Runs a command (ctest, say) inside one Wine session: one display and one
# wineserver shared by every Windows program the command starts.
#
#   tools/wine-session.sh BUILD_DIR COMMAND [ARGS...]
#
# Uses the DISPLAY it finds or starts a private Xvfb on a free display; the
# prefix is BUILD_DIR/wineprefix-test. Both are stopped again afterwards, and the
# command's exit code is passed through. Windows are not managed by a window
# manager in this prefix (see cmake/wine-prefix.sh).
set -u
build_dir=$(cd "${1:?usage: wine-session.sh BUILD_DIR COMMAND...}" && pwd)
shift

WINE=${WINE:-/usr/lib/wine/wine64}
[ -x "$WINE" ] || WINE=$(command -v wine64 || command -v wine)
WINESERVER=$(dirname "$WINE")/wineserver
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver)

export WINEPREFIX=${WINEPREFIX:-$build_dir/wineprefix-test}
export ZEMBRAX_UNMANAGED=1
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

xvfb_pid=
if [ -z "${DISPLAY:-}" ]; then
    n=90
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
    export DISPLAY=":$n"
fi

. "$(dirname "$0")/../cmake/wine-prefix.sh"
wine_prefix_setup
"$WINESERVER" -p # stays up for the whole command
# Start Wine's own services and desktop now, detached from the command's
# output: started later by the first test program, they would hold its output
# pipe open and ctest would wait for them forever.
"$WINE" wineboot </dev/null >/dev/null 2>&1

"$@"
rc=$?

"$WINESERVER" -k 2>/dev/null
if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
fi
exit $rc
