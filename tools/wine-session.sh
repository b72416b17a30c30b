#!/bin/bash
# Runs a command (ctest, say) inside one Wine session: one display and one
# wineserver shared by every Windows program the command starts.
#
#   tools/wine-session.sh BUILD_DIR COMMAND [ARGS...]
#
# Uses the DISPLAY it finds or starts a private Xvfb on a free display; the
# prefix is BUILD_DIR/wineprefix-test, whose system WinMM is the simulated unit
# of BUILD_DIR (see cmake/wine-run.sh). Display and wineserver are stopped
# again afterwards, and the command's exit code is passed through. Windows are
# not managed by a window manager in this prefix (see cmake/wine-prefix.sh).
set -u
build_dir=$(cd "${1:?usage: wine-session.sh BUILD_DIR COMMAND...}" && pwd)
shift

. "$(dirname "$0")/../cmake/wine-prefix.sh"
wine_find

export WINEPREFIX=$build_dir/wineprefix-test
export ZEMBRAX_WINE_SESSION=1 # cmake/wine-run.sh: use this prefix as it is
export ZEMBRAX_UNMANAGED=1
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

wine_start_display
wine_prefix_setup
wine_install_system_winmm "$build_dir" || exit 2
"$WINESERVER" -p # stays up for the whole command
# Start Wine's own services and desktop now, detached from the command's
# output: started later by the first test program, they would hold its output
# pipe open and ctest would wait for them forever.
"$WINE" wineboot </dev/null >/dev/null 2>&1

"$@"
rc=$?

"$WINESERVER" -k 2>/dev/null
wine_stop_display
exit $rc
