#!/bin/sh
# Configures and builds Tovilo into ./build (or $TOVILO_BUILD_DIR).
# Extra CMake options may be given in $TOVILO_CMAKE_OPTIONS, e.g. -DTOVILO_WERROR=ON.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TOVILO_BUILD_DIR:-$top/build}
# shellcheck disable=SC2086
cmake -S "$top" -B "$build" -G Ninja ${TOVILO_CMAKE_OPTIONS:-} >/dev/null
cmake --build "$build"
