#!/bin/bash
# Soak: the panel connected to the simulated unit for a day of time code (MTC
# at 30 frames per second, the unit's events, the panel's clock ticks) in
# compressed time, through the test program's soak test (tests/soak_test.cpp).
# Prints the working set at the start, every simulated hour and the end, and
# the CPU time used; fails if the working set grows by more than 1 MiB after
# the first simulated hour. A tool, not part of tools/test.sh.
#   tools/soak.sh [HOURS] [SPEED] [FIRST_HOUR]
#       defaults: 24 simulated hours, 40 times real time, time code from 00:00
# At 40 times real time a day takes 36 minutes. A higher speed is worth it
# only while the panel keeps up: the "panel" column follows the "unit" column,
# and no message from the unit is lost. FIRST_HOUR lets a day be run in parts.
set -u
cd "$(dirname "$0")/.."
hours=${1:-24}
speed=${2:-40}
first=${3:-0}
bash tools/install-deps.sh
{ cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DZEMBRAX_WERROR=ON &&
    cmake --build build -j "$(nproc)" --target panel_tests; } >/dev/null 2>&1 ||
    { echo "soak: the build failed (tools/test.sh shows why)"; exit 1; }
echo "soak: $hours simulated hours from $first:00 at $speed times real time"
start=$(date +%s)
out=$(mktemp)
trap 'rm -f "$out"' EXIT
# The hourly lines appear as they come.
ZEMBRAX_SOAK_HOURS=$hours ZEMBRAX_SOAK_SPEED=$speed ZEMBRAX_SOAK_FIRST_HOUR=$first \
    bash tools/wine-session.sh build bash cmake/wine-run.sh build/tests/panel_tests.exe \
    --gtest_also_run_disabled_tests --gtest_filter='Soak.*' 2>&1 | tee "$out" | grep --line-buffered '^soak:'
rc=${PIPESTATUS[0]}
echo "soak: $(( $(date +%s) - start )) s wall time"
if [ "$rc" -eq 0 ] && grep -q '^\[  PASSED  \] 1 test' "$out"; then
    echo "soak: passed"
    exit 0
fi
echo "soak: FAILED (exit code $rc); the test program said:"
grep -E 'Failure|Expected|Which is|grew|lost' "$out" | head -20
exit 1
