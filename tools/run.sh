#!/bin/bash
# Builds the panel and starts it under Wine with the simulated unit beside it
# (build/demo/), on this machine's display or a private Xvfb when there is none.
#   tools/run.sh [SWITCHES...]     e.g. tools/run.sh -A -S
# The simulated unit reads ZEMBRAX_SIM (see sim/README.md), e.g.
#   ZEMBRAX_SIM="units=2" tools/run.sh -A
set -eu
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)" --target demo
exec cmake/wine-run.sh build/demo/zembrax-panel.exe "$@"
