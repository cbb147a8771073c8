#!/usr/bin/env bash
# Configures and builds into build/ (or $TAVRIN_BUILD_DIR). Extra arguments go
# to CMake, e.g. -DTAVRIN_ASAN=ON.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVRIN_BUILD_DIR:-$root/build}

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
