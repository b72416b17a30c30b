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

WINE=${WINE:-/usr/lib/wine/wine64}
[ -x "$WINE" ] || WINE=$(command -v wine64 || command -v wine)

export WINEPREFIX=${WINEPREFIX:-$(find_build_dir "$program")/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winmm=n,b"
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

. "$(dirname "$0")/wine-prefix.sh"
wine_prefix_setup

"$WINE" "$@"
rc=$?

if [ -n "$xvfb_pid" ]; then
    # The wineserver of this run draws on our display: end it before the display.
    "$(dirname "$WINE")/wineserver" -k 2>/dev/null || wineserver -k 2>/dev/null
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
fi
exit $rc
