#!/bin/bash
# Builds everything (warnings are errors) and runs every test under Wine: the
# panel's suites in a few groups, two at a time, and the release packages.
#   tools/test.sh [CTEST_ARGS...]   from the repo root; the build goes to build/
# Uses the CMake presets mingw-release (CMakePresets.json).
set -eu
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset mingw-release
cmake --build --preset mingw-release -j "$(nproc)"
bash tools/wine-session.sh build ctest --preset mingw-release "$@"
