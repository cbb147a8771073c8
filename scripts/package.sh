#!/usr/bin/env bash
# Builds the Debian package of both programs into build/ (or $TAVRIN_BUILD_DIR)
# and prints its path; install it with: apt install ./<that path>
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVRIN_BUILD_DIR:-$root/build}

"$root/scripts/build.sh" "$@"
cd "$build"
cpack -G DEB | sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p'
