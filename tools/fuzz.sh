#!/bin/bash
# Fuzzes the panel's receive path with a million messages (or COUNT) from a
# seed, through the test program's fuzz test (tests/fuzz_test.cpp), and prints
# messages per second. A failure or a crash prints the message number, its
# bytes and the seed; the same COUNT and SEED replay it.
#   tools/fuzz.sh [COUNT] [SEED]        defaults: 1000000 and a seed from the clock
set -u
cd "$(dirname "$0")/.."
count=${1:-1000000}
seed=${2:-$(date +%s)}
bash tools/install-deps.sh
{ cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DZEMBRAX_WERROR=ON &&
    cmake --build build -j "$(nproc)" --target panel_tests; } >/dev/null 2>&1 ||
    { echo "fuzz: the build failed (tools/test.sh shows why)"; exit 1; }
echo "fuzz: $count messages, seed $seed"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
ZEMBRAX_FUZZ_COUNT=$count ZEMBRAX_FUZZ_SEED=$seed \
    bash tools/wine-session.sh build bash cmake/wine-run.sh build/tests/panel_tests.exe \
    --gtest_filter='Fuzz.*' >"$out" 2>&1
rc=$?
grep -E '^fuzz:' "$out"
# Passed only with the run's summary line and every fuzz test passed.
if [ "$rc" -eq 0 ] && grep -q 'messages per second' "$out" && grep -q '^\[  PASSED  \]' "$out" &&
    ! grep -q '^\[  FAILED  \]' "$out"; then
    echo "fuzz: no failure"
    exit 0
fi
echo "fuzz: FAILED (exit code $rc); the test program said:"
grep -E 'Failure|FAILED|Expected|Which is|exception' "$out" | head -20
exit 1
