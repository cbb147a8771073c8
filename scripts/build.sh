#!/usr/bin/env bash
# Configures and builds into build/ (or $TAVRIN_BUILD_DIR): everything, or
# only the targets named after --target (e.g. --target Tavrin2 Tavrin).
# Other arguments go to CMake, e.g. -DTAVRIN_ASAN=ON.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVRIN_BUILD_DIR:-$root/build}

targets=()
configure=()
while (($#)); do
    if [[ $1 == --target ]]; then
        shift
        while (($#)) && [[ $1 != -* ]]; do
            targets+=("$1")
            shift
        done
    else
        configure+=("$1")
        shift
    fi
done

echo "Checking the packages that building and running need"
"$root/scripts/setup.sh"
# ccache, where installed, lets several checkouts of the tree share their objects.
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR="$root"
fi
echo "Configuring the build in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "${configure[@]}" >/dev/null
if ((${#targets[@]})); then
    echo "Building ${targets[*]}"
    cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
else
    echo "Building everything: both programs, the tests and the benchmark"
    cmake --build "$build" -j"$(nproc)"
fi
