#!/bin/sh
# Renders the operator window and every dialog to PNG files under docs/images/.
# Usage: scripts/screenshots.sh [BUILD_DIR]   (default: build; configured with -DDOORLOCK_GUI=ON)
# The forms are drawn on Qt's offscreen platform, so no display is needed; Chinese text needs a CJK font
# known to fontconfig (Debian: fonts-noto-cjk).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}

if ! fc-list :lang=zh family 2>/dev/null | grep -q .; then
    echo "screenshots.sh: no Chinese font found by fontconfig; install fonts-noto-cjk" >&2
    exit 1
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DDOORLOCK_GUI=ON
fi
cmake --build "$build" --target doorlock-screenshots -j2

QT_QPA_PLATFORM=offscreen "$build/bin/doorlock-screenshots" "$root/docs/images"
