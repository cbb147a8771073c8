#!/usr/bin/env bash
# Builds the frame reader's fuzz target with Clang into build-fuzz/ (or
# $TAVRIN_FUZZ_BUILD_DIR) and runs it for SECONDS. New inputs go to the build
# folder's corpus, the committed seeds in tests/fuzz/corpus are only read.
# Fails on a crash, a sanitizer report, a leak, a slow input or runaway memory;
# the input that did it lands in the build folder's artifacts/.
set -euo pipefail
seconds=${1:?usage: scripts/fuzz.sh SECONDS}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVRIN_FUZZ_BUILD_DIR:-$root/build-fuzz}

"$root/scripts/setup.sh"
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR="$root"
fi
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIN_FUZZ=ON \
    "${launcher[@]}" >/dev/null
cmake --build "$build" --target fuzz_frames

mkdir -p "$build/corpus" "$build/artifacts" "$build/tmp"
# File reception's chunk folders go here rather than into the system's temp.
export TMPDIR="$build/tmp"
"$build/tests/fuzz/fuzz_frames" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=1024 -malloc_limit_mb=16 \
    -max_len=140000 -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
    "$build/corpus" "$root/tests/fuzz/corpus"
