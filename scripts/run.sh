#!/bin/sh
# Sets everything up on Debian 12, builds Tovilo and starts it.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
build=${TOVILO_BUILD_DIR:-$top/build}
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "Tovilo is built, but there is no graphical display to show its window." >&2
    echo "Start it from a terminal inside your desktop session: $0" >&2
    echo "(or, without a desktop: xvfb-run $0)" >&2
    exit 1
fi
# The encoder is found as lib/ffmpeg relative to the working folder.
cd "$build"
exec ./tovilo
