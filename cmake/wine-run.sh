#!/bin/bash
# Runs one Windows program under Wine and passes its exit code through.
#
#   cmake/wine-run.sh PROGRAM.exe [ARGS...]
#
# - DISPLAY: the one in the environment, else a private Xvfb on a free display
#   that is stopped again when the program ends.
# - WINEPREFIX: the project's own, never another: inside tools/wine-session.sh
#   the session's; otherwise wineprefix/ in the build tree that holds the
#   program (the first directory upward with CMakeCache.txt).
# - The prefix's system WinMM is the simulated unit of that build tree
#   (sim/winmm.dll, installed into drive_c/windows/system32): the panel loads
#   WinMM from the system folder only, so that is where the simulated unit
#   has to be.
# - WINEDLLOVERRIDES: one value for every override the programs need: no Mono,
#   no Gecko, and the native winmm.dll (the simulated unit) before Wine's.
# - ZEMBRAX_WINE_DPI=N: the display scale. The program runs at N dots per inch
#   in a prefix of its own, wineprefix-dpiN in the build tree (its LogPixels
#   is N), with a wineserver of its own, also inside tools/wine-session.sh;
#   without it the prefixes keep Wine's 96.
# tools/wine-session.sh wraps a whole test run so that all programs share one
# Xvfb and one wineserver.
set -u
program=${1:?usage: wine-run.sh PROGRAM [ARGS...]}

find_build_dir() {
    local dir
    dir=$(cd "$(dirname "$1")" && pwd)
    while [ "$dir" != / ]; do
        if [ -f "$dir/CMakeCache.txt" ]; then echo "$dir"; return; fi
        dir=$(dirname "$dir")
    done
}

. "$(dirname "$0")/wine-prefix.sh"
wine_find

own_prefix= # set: this run's prefix is not the session's
if [ -z "${ZEMBRAX_WINE_SESSION:-}" ] || [ -n "${ZEMBRAX_WINE_DPI:-}" ]; then
    own_prefix=1
    build_dir=$(find_build_dir "$program")
    if [ -z "$build_dir" ]; then
        echo "wine-run.sh: $program is not inside a build tree" >&2
        exit 2
    fi
    export WINEPREFIX=$build_dir/wineprefix${ZEMBRAX_WINE_DPI:+-dpi$ZEMBRAX_WINE_DPI}
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winmm=n,b"
export WINEARCH=win64

wine_start_display
if [ -n "$own_prefix" ]; then
    wine_prefix_setup "${ZEMBRAX_WINE_DPI:-}"
    wine_install_system_winmm "$build_dir" || exit 2
fi
if [ -n "${ZEMBRAX_WINE_SESSION:-}" ] && [ -n "$own_prefix" ]; then
    # Inside a session, as tools/wine-session.sh does for its own prefix: Wine's
    # services start now, detached, or they would hold the caller's output open.
    "$WINE" wineboot </dev/null >/dev/null 2>&1
fi

"$WINE" "$@"
rc=$?

if [ -n "$xvfb_pid" ] || { [ -n "${ZEMBRAX_WINE_SESSION:-}" ] && [ -n "$own_prefix" ]; }; then
    # The wineserver of this run draws on the display: end it before the display.
    "$WINESERVER" -k 2>/dev/null
    wine_stop_display
fi
exit $rc
