#!/bin/bash
# Builds the panel (build/demo/, CMake preset mingw-release) and starts it under
# Wine, on this machine's display or a private Xvfb when there is none. The
# simulated unit is the system WinMM of the build's own Wine prefix
# (cmake/wine-run.sh).
#   tools/run.sh [SWITCHES...]     e.g. tools/run.sh -A -S
# The simulated unit reads ZEMBRAX_SIM (see sim/README.md), e.g.
#   ZEMBRAX_SIM="units=2" tools/run.sh -A
set -eu
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset mingw-release
cmake --build --preset mingw-release -j "$(nproc)" --target demo
# Without a configuration of your own: time code running from the PC's time,
# and somebody at the unit's front panel every 30 s.
export ZEMBRAX_SIM=${ZEMBRAX_SIM-"timecode=$(date +%H:%M:%S):00/25;frontpanel=30"}
exec cmake/wine-run.sh build/demo/zembrax-panel.exe "$@"
