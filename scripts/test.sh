#!/bin/sh
# Sets everything up on Debian 12, builds Tovilo and runs every test.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
build=${TOVILO_BUILD_DIR:-$top/build}
cd "$build"
ctest --output-on-failure -j2
