#!/bin/sh
# Installs the Debian 12 packages Tovilo needs to build, test and run.
# Quick when everything is present; works as root (no sudo) or as a user with sudo.
set -eu

PACKAGES="build-essential cmake pkg-config ninja-build
qt6-base-dev qt6-base-dev-tools libgl-dev
libpng-dev zlib1g-dev libgpod-dev libglib2.0-dev libdvdread-dev
ffmpeg fonts-ipafont-gothic libgpod-common qt6-translations-l10n
dvdauthor dbus-bin dbus-daemon python3-dbusmock e2fsprogs
xvfb xauth x11-utils xdotool imagemagick
desktop-file-utils appstream dpkg-dev file python3-xlib
e2fsprogs mount util-linux"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
else
    SUDO="sudo"
fi

echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q </dev/null
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing </dev/null
