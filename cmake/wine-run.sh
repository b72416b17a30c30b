#!/bin/bash
# Runs one Windows program under Wine and passes its exit code through.
#
#   cmake/wine-run.sh PROGRAM.exe [ARGS...]
#
# - DISPLAY: the one in the environment, else a private Xvfb on a free display
#   that is stopped again when the program ends.
# - WINEPREFIX: the one in the environment, else wineprefix/ in the build tree
#   that holds the program (the first directory upward with CMakeCache.txt).
# - WINEDLLOVERRIDES: one value for every override the programs need: no Mono,
#   no Gecko, and the winmm.dll found beside a program (the simulated unit)
#   before the system's.
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
    echo "${TMPDIR:-/tmp}"
}

. "$(dirname "$0")/wine-prefix.sh"
wine_find

export WINEPREFIX=${WINEPREFIX:-$(find_build_dir "$program")/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winmm=n,b"
export WINEARCH=win64

wine_start_display
wine_prefix_setup

"$WINE" "$@"
rc=$?

if [ -n "$xvfb_pid" ]; then
    # The wineserver of this run draws on our display: end it before the display.
    "$WINESERVER" -k 2>/dev/null
    wine_stop_display
fi
exit $rc
