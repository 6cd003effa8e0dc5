#!/bin/sh
# Smoke test of an installed Tovilo on a virtual X display: the program starts and shows its
# window, converts a short video with the encoder it was installed with, refuses a second
# start with its "already running" message, closes cleanly when its window is closed, and when
# told to end (SIGTERM) mid-conversion stops the encoder, removes the partial file and exits 0.
# The queue is kept: a conversion paused (一時停止) stops the encoder's processes; the program
# ended by SIGTERM or SIGKILL while paused leaves no encoder and no partial file, and after
# SIGKILL the next start shows the interrupted file waiting again.
# Usage: scripts/smoke-test.sh [command]    (default: the tovilo command on PATH)
# Needs xvfb, xauth, xdotool, python3-xlib and ffmpeg (scripts/setup.sh installs them).
set -eu

if [ -z "${TOVILO_SMOKE_INNER:-}" ]; then
    export TOVILO_SMOKE_INNER=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

. "$(dirname "$0")/x11-helpers.sh"

tovilo=${1:-tovilo}
work=$(mktemp -d /tmp/tovilo-smoke.XXXXXX)
first=""
second=""
third=""

cleanup() {
    for pid in $first $second $third; do
        kill "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "smoke test FAILED: $*" >&2
    shot=${TOVILO_SMOKE_SHOT:-/tmp/tovilo-smoke-failure.png}
    import -window root "$shot" 2>/dev/null && echo "screen at the failure: $shot" >&2
    for log in "$work"/*.log; do
        [ -s "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }
    done
    exit 1
}

private_user "$work"
mkdir -p "$work/videos"

ffmpeg -v error -f lavfi -i testsrc=duration=2:size=320x240:rate=25 \
    -f lavfi -i sine=duration=2 -c:v mpeg4 -c:a mp3 "$work/videos/sample.avi" </dev/null

echo "smoke test: start $tovilo"
"$tovilo" >"$work/first.log" 2>&1 &
first=$!
main=$(wait_window '^Tovilo$' 30) || fail "no window titled Tovilo"
[ "$(xdotool getwindowname "$main")" = "Tovilo" ] || fail "the main window's title is not Tovilo"
[ -x "/proc/$first/cwd/lib/ffmpeg" ] || fail "the program does not run next to lib/ffmpeg"

echo "smoke test: add a video with ファイル追加 and convert it with 動画変換"
add_file "$first" "$main" "$work/videos/sample.avi"
sleep 0.5
click "$main" $point_convertmovie  # 動画変換
done_box=$(wait_window '^情報$' 120) || fail "the conversion did not end with a message"
output="$HOME/Documents/Tovilo/sample.mp4"
[ -s "$output" ] || fail "no converted file $output"
ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$output" >"$work/streams.txt" ||
    fail "ffprobe cannot read $output"
grep -qx mpeg4 "$work/streams.txt" && grep -qx aac "$work/streams.txt" ||
    fail "unexpected streams in $output: $(tr '\n' ' ' <"$work/streams.txt")"
press "$done_box" Return

echo "smoke test: a second start is refused"
"$tovilo" >"$work/second.log" 2>&1 &
second=$!
box=$(wait_window '^情報$' 30) || fail "the second start showed no 情報 message"
press "$box" Return
wait_exit "$second" 15 || fail "the second start did not end after its message"
[ "$status" -eq 0 ] || fail "the second start ended with exit code $status"
second=""
kill -0 "$first" 2>/dev/null || fail "the first instance ended when the second started"
count=$(xdotool search --onlyvisible --name '^Tovilo$' | wc -l)
[ "$count" -eq 1 ] || fail "$count windows titled Tovilo after the second start"

echo "smoke test: close the window"
close_window "$main"
wait_exit "$first" 15 || fail "the program did not end when its window was closed"
[ "$status" -eq 0 ] || fail "the program ended with exit code $status"
first=""

echo "smoke test: SIGTERM while converting"
# Long enough to be mid-way for a good while: an hour, copied together from 20 seconds.
ffmpeg -v error -f lavfi -i testsrc=duration=20:size=160x120:rate=25 -f lavfi -i sine=duration=20 \
    -c:v mpeg4 -q:v 31 -c:a mp3 -b:a 32k "$work/videos/part.avi" </dev/null
ffmpeg -v error -stream_loop 180 -i "$work/videos/part.avi" -c copy "$work/videos/long.avi" </dev/null
converting() {
    [ -e "$partial" ] && pgrep -f "$work/videos/long.avi" >/dev/null
}
no_encoder() {
    ! pgrep -f "$work/videos/long.avi" >/dev/null
}
# Every process of the encoder is stopped (state T).
encoder_paused() {
    pids=$(pgrep -f "$work/videos/long.avi") || return 1
    for pid in $pids; do
        state=$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null | cut -d' ' -f1)
        [ "$state" = T ] || return 1
    done
}
# The kept queue (the document and the changes journaled after it) holds long.avi once, with
# status $1 (0 waiting, 1 converting).
kept_status() {
    python3 - "$HOME/Documents/Tovilo" "$work/videos/long.avi" "$1" <<'PY'
import json, sys
folder, source, status = sys.argv[1], sys.argv[2], int(sys.argv[3])
document = json.load(open(folder + "/queue.json"))
jobs = document["jobs"]
try:
    for line in open(folder + "/queue.journal"):
        change = json.loads(line)
        if int(change["sequence"]) > int(document["sequence"]):
            jobs[change["index"]]["status"] = change["status"]
except (OSError, ValueError, KeyError):
    pass
sys.exit(0 if [j["status"] for j in jobs if j.get("source") == source] == [status] else 1)
PY
}

# Ends the program with signal $1 mid-way through the long conversion: no encoder may outlive
# it and no partial file may stay. SIGTERM is a clean stop (exit status 0); after SIGKILL the
# wrapper must notice by itself that the program is gone.
end_while_converting() {
    "$tovilo" >"$work/$1.log" 2>&1 &
    third=$!
    main=$(wait_window '^Tovilo$' 30) || fail "no window titled Tovilo before SIG$1"
    # The list of the previous run came back; its converted file leaves with a notice.
    [ -e "$HOME/Documents/Tovilo/queue.json" ] || fail "no kept queue before SIG$1"
    kept_status 0 || add_file "$third" "$main" "$work/videos/long.avi"
    sleep 0.5
    click "$main" $point_convertmovie  # 動画変換
    if notice=$(wait_window '^情報$' 5); then
        press "$notice" Return
    fi
    partial="$HOME/Documents/Tovilo/long.mp4"
    wait_until 30 converting || fail "the long conversion did not start before SIG$1"
    click "$main" $point_pause  # 一時停止
    wait_until 10 encoder_paused || fail "一時停止 did not stop the encoder before SIG$1"
    kill -"$1" "$third"
    wait_exit "$third" 15 || fail "the program did not end on SIG$1"
    if [ "$1" = TERM ] && [ "$status" -ne 0 ]; then
        fail "the program ended on SIGTERM with exit code $status"
    fi
    wait_until 2 no_encoder ||
        fail "an encoder outlived the program after SIG$1: $(pgrep -af "$work/videos/long.avi")"
    third=""
    [ ! -e "$partial" ] || fail "the partial file $partial was left behind after SIG$1"
}
end_while_converting TERM
echo "smoke test: SIGKILL while converting"
end_while_converting KILL
kept_status 1 || fail "the killed run's file was not kept as converting"

echo "smoke test: the next start puts the killed file back to waiting"
"$tovilo" >"$work/restart.log" 2>&1 &
third=$!
main=$(wait_window '^Tovilo$' 30) || fail "no window titled Tovilo after the restart"
wait_until 10 kept_status 0 || fail "the interrupted file is not waiting after the restart"
close_window "$main"
wait_exit "$third" 15 || fail "the restarted program did not end when its window was closed"
third=""
echo "smoke test passed"
