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

# A user of its own under folder $1: a fresh home with a Documents folder and a private
# runtime folder for the single-instance lock, so nothing of the machine's real users is
# touched or in the way.
private_user() {
    export HOME="$1/home"
    export XDG_RUNTIME_DIR="$1/run"
    mkdir -p "$HOME/Documents"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME
    export LC_ALL=C.UTF-8
}

# Runs the command "$2 ..." until it succeeds, for at most $1 seconds.
wait_until() {
    tries=$(($1 * 5))
    shift
    until "$@"; do
        [ "$tries" -gt 0 ] || return 1
        sleep 0.2
        tries=$((tries - 1))
    done
}

# Prints the first visible window whose title matches $1; fails when there is none.
find_window() {
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 || true)
    [ -n "$id" ] && echo "$id"
}

# Prints a visible window of process $1 other than window $2; fails when there is none.
find_other_window() {
    id=$(xdotool search --onlyvisible --pid "$1" 2>/dev/null | grep -vx "$2" | head -n 1 || true)
    [ -n "$id" ] && echo "$id"
}

window_hidden() {
    ! xdotool search --onlyvisible --pid "$1" 2>/dev/null | grep -qx "$2"
}

process_ended() {
    ! kill -0 "$1" 2>/dev/null
}

# Waits up to $2 seconds for a visible window whose title matches $1; prints its id.
wait_window() {
    wait_until "$2" find_window "$1"
}

# Waits up to $3 seconds for a visible window of process $1 other than window $2; prints its id.
wait_other_window() {
    wait_until "$3" find_other_window "$1" "$2"
}

# Waits up to $3 seconds until window $2 of process $1 is no longer shown.
wait_hidden() {
    wait_until "$3" window_hidden "$1" "$2"
}

# Waits up to $2 seconds for process $1 to end; its exit code is in $status.
wait_exit() {
    wait_until "$2" process_ended "$1" || return 1
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
