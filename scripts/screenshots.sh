#!/bin/sh
# Renders the operator window and every dialog to PNG files under docs/images/.
# Usage: scripts/screenshots.sh [BUILD_DIR]   (default: build, configured by the preset "default" when new)
#        scripts/screenshots.sh --windows      the Windows build under Wine, into docs/images/windows/
# The forms are shown on a real X server under Xvfb (xvfb-run) when it is installed, otherwise drawn on Qt's
# offscreen platform; Chinese text needs a CJK font known to fontconfig (Debian: fonts-noto-cjk), which Wine
# sees too. Under Wine the windows platform plugin draws them, as on a desk's PC; Wine runs the 32-bit build
# where this machine runs 32-bit programs and the 64-bit build of the same code elsewhere.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)

if ! fc-list :lang=zh family 2>/dev/null | grep -q .; then
    echo "screenshots.sh: no Chinese font found by fontconfig; install fonts-noto-cjk" >&2
    exit 1
fi

if [ "${1:-}" = "--windows" ]; then
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then arch=i686; else arch=x86_64; fi
    bash "$root/scripts/build-windows.sh" --arch "$arch"
    build=$root/build-windows/$arch
    cmake --build "$build" --target doorlock-screenshots
    export WINEDEBUG=-all
    # The program picks the windows platform as the window program does under Wine (QtPlatformChoice).
    xvfb-run -a -s "-screen 0 1280x1024x24" "$root/scripts/wine-run.sh" "$build/bin/doorlock-screenshots.exe" \
        "Z:$(echo "$root/docs/images/windows" | tr / '\\')"
    exit 0
fi

build=${1:-"$root/build"}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" --preset default
fi
cmake --build "$build" --target doorlock-screenshots -j2

if command -v xvfb-run >/dev/null 2>&1; then
    QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" "$build/bin/doorlock-screenshots" "$root/docs/images"
else
    QT_QPA_PLATFORM=offscreen "$build/bin/doorlock-screenshots" "$root/docs/images"
fi
