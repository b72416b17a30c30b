#!/bin/bash
# Installs what building, running and testing the panel needs on Debian 12,
# and only what is missing. Needs root (apt-get) when anything is missing.
set -eu
packages=(cmake make g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 xvfb xauth x11-utils googletest nsis)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
