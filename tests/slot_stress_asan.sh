#!/bin/sh
# Builds the slot stress test with AddressSanitizer and UndefinedBehaviorSanitizer
# into build-asan/ (or $TAVRIN_ASAN_BUILD_DIR) and runs it.
set -eu
root=$1
build=${TAVRIN_ASAN_BUILD_DIR:-$root/build-asan}
launcher=
if command -v ccache >/dev/null; then
    launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_BASEDIR="$root"
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIN_ASAN=ON $launcher >/dev/null
cmake --build "$build" --target tst_SlotStress
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$build/tests/tst_SlotStress"
