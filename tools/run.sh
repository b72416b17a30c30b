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
# Without a configuration of your own: time code running from the PC's time,
# and somebody at the unit's front panel every 30 s.
export ZEMBRAX_SIM=${ZEMBRAX_SIM-"timecode=$(date +%H:%M:%S):00/25;frontpanel=30"}
exec cmake/wine-run.sh build/demo/zembrax-panel.exe "$@"
