#!/bin/sh
# Takes the README's screenshots on a virtual X display: the three windows (docs/main.png,
# docs/selectdvd.png, docs/config.png), the open dialog (docs/open.png) and a failed file's
# reason (docs/failed.png), a long conversion with its time left (docs/converting.png) and paused with 一時停止 (docs/paused.png), and the hand-over's completion box with its removal button
# (docs/ipod_done.png). The real program is driven the way a user drives it: files are
# added with ファイル追加 and converted, the two dialogs are opened with their buttons, the
# pointer rests on a failed row; the chapter dialog's picture shows an authored DVD-Video.
# Usage: scripts/screenshots.sh [program folder]   (default: the build folder)
# Needs a built program (scripts/build.sh) and what scripts/setup.sh installs (python3-xlib).
set -eu

if [ -z "${TOVILO_SHOTS_INNER:-}" ]; then
    export TOVILO_SHOTS_INNER=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/x11-helpers.sh"
appdir=$(cd "${1:-${TOVILO_BUILD_DIR:-$top/build}}" && pwd)
docs=$top/docs
# A fixed folder: its name shows in the settings dialog, so the screenshot stays the same.
work=/tmp/tovilo-shots
rm -rf "$work"
mkdir -m 700 "$work"
program=""

cleanup() {
    [ -z "$program" ] || kill "$program" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "screenshots: $*" >&2
    exit 1
}

private_user "$work"
mkdir -p "$HOME/ビデオ/iPod"
# The user's own choice, so that no file manager pops up after the conversion.
mkdir -p "$HOME/Documents/Tovilo"
printf '[CONF]\nQUALITY=1\nRAITO=1\nSAVEDIR=%s/ビデオ/iPod/\nOPENDIR=0\nSUBTITLE=1\n' "$HOME" \
    >"$HOME/Documents/Tovilo/config.ini"

# Moves the pointer off the windows, so that no button shows its hover image.
park_pointer() {
    xdotool mousemove --sync 1000 750
    sleep 0.3
}

shoot() {
    park_pointer
    import -window "$1" "$docs/$2"
    echo "screenshots: docs/$2"
}

# In the Documents folder, where the open dialog starts.
videos=$HOME/Documents
for name in sports_day.avi trip_to_kyoto.mpg piano_recital.flv; do
    ffmpeg -v error -f lavfi -i testsrc=duration=3:size=320x240:rate=25 \
        -f lavfi -i sine=duration=3 "$videos/$name" </dev/null
done

cd "$appdir"
./tovilo >"$work/tovilo.log" 2>&1 &
program=$!
main=$(wait_window '^Tovilo$' 30) || fail "no window titled Tovilo"

# One file converted, two waiting.
add_file "$program" "$main" "$videos/sports_day.avi"
sleep 0.5
click "$main" $point_convertmovie  # 動画変換
box=$(wait_window '^情報$' 120) || fail "the conversion did not end with a message"
press "$box" Return
wait_hidden "$program" "$box" 10 || fail "the message did not close"
[ -s "$HOME/ビデオ/iPod/sports_day.mp4" ] || fail "sports_day.avi was not converted"
# Two files at once.
click "$main" $point_addfile  # ファイル追加
opener=$(wait_other_window "$program" "$main" 30) || fail "ファイル追加 opened no file dialog"
xdotool windowfocus --sync "$opener"
xdotool type --delay 20 '"trip_to_kyoto.mpg" "piano_recital.flv"'
sleep 0.5
shoot "$opener" open.png
xdotool key Return
wait_hidden "$program" "$opener" 30 || fail "the file dialog did not close"
sleep 0.5
shoot "$main" main.png

click "$main" $point_adddvd  # DVDから変換
dvd=$(wait_window '^チャプター選択画面$' 30) || fail "DVDから変換 opened no chapter dialog"
sleep 0.5
click "$dvd" $point_dvd_cancel  # キャンセル
wait_hidden "$program" "$dvd" 10 || fail "the chapter dialog did not close"

click "$main" $point_config  # 設定
config=$(wait_window '^設定$' 30) || fail "設定 opened no settings dialog"
sleep 0.5
shoot "$config" config.png
click "$config" $point_config_cancel  # キャンセル
wait_hidden "$program" "$config" 10 || fail "the settings dialog did not close"

# A file that is no video fails; resting the pointer on its row shows why.
printf 'not a video\n' >"$videos/broken_clip.avi"
add_file "$program" "$main" "$videos/broken_clip.avi"
click "$main" $point_convertmovie  # 動画変換
for step in "the removal notice" "the end of the conversion"; do
    box=$(wait_window '^情報$' 120) || fail "no message for $step"
    press "$box" Return
    wait_hidden "$program" "$box" 10 || fail "the message for $step did not close"
done
# Qt shows tooltips only in the active window; without a window manager, focus makes it so.
xdotool windowfocus --sync "$main"
xdotool mousemove --sync --window "$main" 80 120
xdotool mousemove --sync --window "$main" 90 125   # broken_clip.avi, the third row
sleep 1.5
eval "$(xdotool getwindowgeometry --shell "$main")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$docs/failed.png"
echo "screenshots: docs/failed.png"

# A long file paused mid-way: the label says how far it came and that it is paused.
ffmpeg -v error -f lavfi -i testsrc=duration=600:size=320x240:rate=25 -f lavfi -i sine=duration=600 \
    -c:v mpeg4 -q:v 20 -c:a mp3 -b:a 64k "$videos/evening_news.avi" </dev/null
add_file "$program" "$main" "$videos/evening_news.avi"
click "$main" $point_convertmovie  # 動画変換
box=$(wait_window '^情報$' 30) || fail "no removal notice before the long file"
press "$box" Return
news_started() { [ -s "$HOME/ビデオ/iPod/evening_news.mp4" ]; }
wait_until 60 news_started || fail "the long file did not start converting"
sleep 8 # a few progress lines, so that the time left is known
shoot "$main" converting.png
click "$main" $point_pause  # 一時停止
sleep 1
shoot "$main" paused.png
click "$main" $point_convertcancel  # 変換中止
box=$(wait_window '^確認$' 30) || fail "変換中止 asked nothing"
press "$box" Return # はい
wait_hidden "$program" "$box" 10 || fail "the question did not close"
news_gone() { [ ! -e "$HOME/ビデオ/iPod/evening_news.mp4" ]; }
wait_until 20 news_gone || fail "the stopped file's partial output stayed"

close_window "$main"
wait "$program" || fail "the program did not end cleanly"
program=""

# This machine has no disc in a drive, so the chapter dialog is shot by the dialog tests' shot
# program, with a drive holding a DVD-Video authored for the purpose.
shots="$appdir/tests/dialogs/shot_dialogs"
[ -x "$shots" ] || fail "no $shots: the chapter dialog needs a build folder with its tests"
"$shots" "$work/shots" "$work/media/DVD_VIDEO" >"$work/shots.log" 2>&1 ||
    fail "shot_dialogs failed: $(tail -n 3 "$work/shots.log")"
cp "$work/shots/selectdvd.png" "$docs/selectdvd.png"
echo "screenshots: docs/selectdvd.png"
# The iPod hand-over runs against a stand-in UDisks2 and an iPod folder, on this display.
TOVILO_IPOD_INNER=1 TOVILO_IPOD_SHOT="$docs/ipod_done.png" "$top/scripts/ipod-check.sh" "$appdir" \
    >"$work/ipod.log" 2>&1 || fail "ipod-check.sh failed: $(tail -n 3 "$work/ipod.log")"
echo "screenshots: docs/ipod_done.png"
