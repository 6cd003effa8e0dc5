#!/bin/sh
# Time from the program's start to its window on screen, with a kept queue of N jobs (default
# 100000) against an empty one, in the same run: the restore's cost as a ratio and in seconds.
# Needs Xvfb and xdotool; usage: bench/window_start.sh [build dir] [jobs]
set -eu
build=${1:-build}
jobs=${2:-100000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
Xvfb :79 -screen 0 1280x800x24 >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb; rm -rf "$work"' EXIT
sleep 1

shown() { # home folder -> seconds until the window is mapped
    start=$(date +%s.%N)
    HOME=$1 DISPLAY=:79 "$build/tovilo" >/dev/null 2>&1 &
    program=$!
    DISPLAY=:79 xdotool search --sync --onlyvisible --class tovilo >/dev/null
    end=$(date +%s.%N)
    kill $program
    wait $program || true
    echo "$end - $start" | bc
}

mkdir -p "$work/empty/Documents/Tovilo" "$work/full/Documents/Tovilo"
python3 - "$work/full/Documents/Tovilo/queue.json" "$jobs" <<'PY'
import json, sys
jobs = [{"source": "/srv/recordings/episode%06d.ts" % i, "status": 0} for i in range(int(sys.argv[2]))]
json.dump({"version": 1, "sequence": "0", "jobs": jobs}, open(sys.argv[1], "w"))
PY
empty=$(shown "$work/empty")
full=$(shown "$work/full")
echo "window shown: empty queue ${empty} s, ${jobs} jobs ${full} s, ratio $(echo "scale=2; $full / $empty" | bc)"
