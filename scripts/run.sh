#!/bin/sh
# Sets everything up on Debian 12, builds Tovilo and starts it.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
build=${TOVILO_BUILD_DIR:-$top/build}

# Tovilo is a desktop program: without a display Qt would only stop with its own error.
no_display() {
    cat >&2 <<MSG
Tovilo は作成できましたが、$1
デスクトップ（GNOME、KDE Plasma、Xfce など）にログインし、そこで開いた端末から
もう一度 $0 を実行してください。

Tovilo is built, but $2
Log in to a desktop session (GNOME, KDE Plasma, Xfce, ...), open a terminal there
and run $0 again.
MSG
    exit 1
}
if [ -z "${QT_QPA_PLATFORM:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    if [ -z "${DISPLAY:-}" ]; then
        no_display "ウィンドウを表示する画面がありません（DISPLAY も WAYLAND_DISPLAY も設定されていません）。" \
            "there is no display to show its window on (neither DISPLAY nor WAYLAND_DISPLAY is set)."
    elif command -v xdpyinfo >/dev/null && ! xdpyinfo >/dev/null 2>&1; then
        no_display "画面 $DISPLAY に接続できません。" "the display $DISPLAY cannot be reached."
    fi
fi

# The encoder is found as lib/ffmpeg relative to the working folder.
cd "$build"
exec ./tovilo
