# Shell functions for driving the real program under Xvfb (no window manager), sourced by
# smoke-test.sh and screenshots.sh. Each wait polls five times a second.

# The click points (point_<button>="x y") come from the windows' layout table; the build
# writes them into <build>/layout.sh.
layout_points=${TOVILO_BUILD_DIR:-$(cd "$(dirname "$0")/.." && pwd)/build}/layout.sh
if [ ! -r "$layout_points" ]; then
    echo "$layout_points is missing: build Tovilo first (scripts/build.sh)" >&2
    exit 1
fi
. "$layout_points"

# Waits up to $2 seconds for a visible window whose title matches $1; prints its id.
wait_window() {
    tries=$(($2 * 5))
    while [ "$tries" -gt 0 ]; do
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 || true)
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.2
        tries=$((tries - 1))
    done
    return 1
}

# Waits up to $3 seconds for a visible window of process $1 other than window $2; prints its id.
wait_other_window() {
    tries=$(($3 * 5))
    while [ "$tries" -gt 0 ]; do
        id=$(xdotool search --onlyvisible --pid "$1" 2>/dev/null | grep -vx "$2" | head -n 1 || true)
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.2
        tries=$((tries - 1))
    done
    return 1
}

# Waits up to $3 seconds until window $2 of process $1 is no longer shown.
wait_hidden() {
    tries=$(($3 * 5))
    while xdotool search --onlyvisible --pid "$1" 2>/dev/null | grep -qx "$2"; do
        [ "$tries" -gt 0 ] || return 1
        sleep 0.2
        tries=$((tries - 1))
    done
}

# Waits up to $2 seconds for process $1 to end; its exit code is in $status.
wait_exit() {
    tries=$(($2 * 5))
    while kill -0 "$1" 2>/dev/null; do
        [ "$tries" -gt 0 ] || return 1
        sleep 0.2
        tries=$((tries - 1))
    done
    status=0
    wait "$1" || status=$?
}

# Closes a window the way a window manager does: WM_DELETE_WINDOW through WM_PROTOCOLS.
# (Debian's python3, which has python3-xlib; a python3 earlier on PATH may not.)
close_window() {
    /usr/bin/python3 - "$1" <<'PYTHON'
import sys
from Xlib import X, display
from Xlib.protocol import event
d = display.Display()
window = d.create_resource_object('window', int(sys.argv[1]))
message = event.ClientMessage(
    window=window, client_type=d.intern_atom('WM_PROTOCOLS'),
    data=(32, [d.intern_atom('WM_DELETE_WINDOW'), X.CurrentTime, 0, 0, 0]))
window.send_event(message)
d.flush()
PYTHON
}

# Presses a key in a window: focus it first (there is no window manager to do that).
press() {
    xdotool windowfocus --sync "$1"
    xdotool key --clearmodifiers "$2"
}

# Clicks at ($2, $3) in window $1 (a point_<button> variable, unquoted, gives both).
click() {
    xdotool mousemove --sync --window "$1" "$2" "$3" click 1
}

# Adds file $3 with ファイル追加 in main window $2 of process $1, typing its path into the dialog.
add_file() {
    click "$2" $point_addfile
    opener=$(wait_other_window "$1" "$2" 30) || fail "ファイル追加 opened no file dialog"
    xdotool windowfocus --sync "$opener"
    xdotool type --delay 20 "$3"
    xdotool key Return
    wait_hidden "$1" "$opener" 30 || fail "the file dialog did not close"
}
