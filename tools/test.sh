#!/bin/bash
# Builds everything (warnings are errors) and runs every test under Wine.
#   tools/test.sh            from the repo root; the build goes to build/
set -eu
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DZEMBRAX_WERROR=ON
cmake --build build -j "$(nproc)"
bash tools/wine-session.sh build ctest --test-dir build --output-on-failure "$@"
