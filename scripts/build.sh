#!/usr/bin/env bash
# Configures and builds into build/ (or $TAVRIN_BUILD_DIR). Extra arguments go
# to CMake, e.g. -DTAVRIN_ASAN=ON.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVRIN_BUILD_DIR:-$root/build}

"$root/scripts/setup.sh"
# ccache, where installed, lets several checkouts of the tree share their objects.
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR="$root"
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
