#!/bin/sh
# Renders the operator window and every dialog to PNG files under docs/images/.
# Usage: scripts/screenshots.sh [BUILD_DIR]   (default: build, configured by the preset "default" when new)
# The forms are shown on a real X server under Xvfb (xvfb-run) when it is installed, otherwise drawn on Qt's
# offscreen platform; Chinese text needs a CJK font known to fontconfig (Debian: fonts-noto-cjk).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}

if ! fc-list :lang=zh family 2>/dev/null | grep -q .; then
    echo "screenshots.sh: no Chinese font found by fontconfig; install fonts-noto-cjk" >&2
    exit 1
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" --preset default
fi
cmake --build "$build" --target doorlock-screenshots -j2

if command -v xvfb-run >/dev/null 2>&1; then
    QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" "$build/bin/doorlock-screenshots" "$root/docs/images"
else
    QT_QPA_PLATFORM=offscreen "$build/bin/doorlock-screenshots" "$root/docs/images"
fi
