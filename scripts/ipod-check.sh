#!/bin/sh
# Drives the real program through a whole iPod hand-over on a virtual X display, against the
# tests' stand-in UDisks2 service on a private system bus and a new (blank) iPod folder: a video
# is converted with 動画変換& iTunes 登録, the set-up question is answered with yes, and the
# completion box's 「iPodを取り外す」 button is pressed. Checks the iPod's new library and that
# the stand-in was asked to unmount and then to power off, once each. Leaves a picture of the
# main window with the completion box in $TOVILO_IPOD_SHOT (default /tmp/tovilo-ipod-done.png).
# Usage: scripts/ipod-check.sh [program folder]   (default: the build folder)
# Needs root (the iPod is a loop-mounted disk image, as a real one is a mounted disk), a built
# program and what scripts/setup.sh installs (python3-dbusmock, xdotool, ...).
set -eu

if [ -z "${TOVILO_IPOD_INNER:-}" ]; then
    export TOVILO_IPOD_INNER=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/x11-helpers.sh"
appdir=$(cd "${1:-${TOVILO_BUILD_DIR:-$top/build}}" && pwd)
work=$(mktemp -d /tmp/tovilo-ipod.XXXXXX)
bus=""
standin=""
program=""

cleanup() {
    for pid in $program $standin $bus; do
        kill "$pid" 2>/dev/null || true
    done
    [ -z "${ipod:-}" ] || umount "$ipod" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "ipod check FAILED: $*" >&2
    import -window root /tmp/tovilo-ipod-failure.png 2>/dev/null &&
        echo "screen at the failure: /tmp/tovilo-ipod-failure.png" >&2
    exit 1
}

private_user "$work"

# The private system bus and the stand-in UDisks2 on it.
dbus-daemon --session --nofork --print-address=1 >"$work/bus.address" &
bus=$!
wait_until 10 test -s "$work/bus.address" || fail "dbus-daemon printed no address"
DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$work/bus.address")
export DBUS_SYSTEM_BUS_ADDRESS
/usr/bin/python3 -m dbusmock -t "$top/tests/devices/udisks2_standin.py" >/dev/null &
standin=$!
mock() {
    dbus-send --system --print-reply --dest=org.freedesktop.UDisks2 /org/freedesktop/UDisks2 \
        "org.freedesktop.DBus.Mock.$@"
}
wait_until 30 mock RemovalCalls >/dev/null || fail "the stand-in UDisks2 did not start"

# A restored iPod 5.5G: its description, no library yet, on a disk of its own.
mkdir -p "$work/content/iPod_Control/Device" "$work/IPOD"
printf 'ModelNumStr: MA446\n' >"$work/content/iPod_Control/Device/SysInfo"
truncate -s 32M "$work/ipod.img"
mkfs.ext4 -q -d "$work/content" "$work/ipod.img" || fail "mkfs.ext4 failed"
mount -o loop "$work/ipod.img" "$work/IPOD" || fail "the iPod image cannot be mounted (root?)"
ipod=$work/IPOD
mock AddVolume string:sdz1 string:/dev/sdz1 uint64:"$(stat -c %d "$ipod")" string:vfat \
    string:"$ipod" string:IPOD boolean:false string:ipod boolean:true >/dev/null

ffmpeg -v error -f lavfi -i testsrc=duration=3:size=320x240:rate=25 \
    -f lavfi -i sine=duration=3 -c:v mpeg4 -c:a mp3 "$work/sports_day.avi" </dev/null

cd "$appdir"
./tovilo >"$work/tovilo.log" 2>&1 &
program=$!
main=$(wait_window '^Tovilo$' 30) || fail "no window titled Tovilo"
add_file "$program" "$main" "$work/sports_day.avi"
sleep 0.5
click "$main" $point_convertmovie2itunes # 動画変換& iTunes 登録

question=$(wait_window '^確認$' 120) || fail "no question before setting up the new iPod"
press "$question" Return # はい
done_box=$(wait_window '^情報$' 60) || fail "the hand-over did not end with a message"
# The main window with the box over it.
xdotool mousemove --sync 1000 750
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$main")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage \
    "${TOVILO_IPOD_SHOT:-/tmp/tovilo-ipod-done.png}"
# From OK to 「iPodを取り外す」, and press it.
xdotool windowfocus --sync "$done_box"
xdotool key --clearmodifiers Tab space
wait_hidden "$program" "$done_box" 10 || fail "the completion box did not close"
[ -z "${TOVILO_IPOD_REMOVED_SHOT:-}" ] || {
    sleep 1
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$TOVILO_IPOD_REMOVED_SHOT"
}

removed() {
    mock RemovalCalls | grep -c '"\(Unmount\|PowerOff\)' | grep -qx 2
}
wait_until 30 removed || fail "the stand-in was not asked to unmount and power off: $(mock RemovalCalls)"
mock RemovalCalls | tr -s ' \n' ' ' | grep -q 'Unmount [^"]*block_devices/sdz1" *string "PowerOff [^"]*drives/ipod"' ||
    fail "unexpected removal calls: $(mock RemovalCalls)"

[ -s "$ipod/iPod_Control/iTunes/iTunesDB" ] || fail "the new iPod got no library"
[ "$(find "$ipod/iPod_Control/Music" -type f | wc -l)" -eq 1 ] || fail "the video is not on the iPod"
[ -s "$ipod/iPod_Control/Artwork/ArtworkDB" ] || fail "the video's picture is not on the iPod"

close_window "$main"
wait_exit "$program" 15 || fail "the program did not end when its window was closed"
program=""
echo "ipod check passed"
