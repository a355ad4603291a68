#!/bin/sh
# Runs a Windows program under Wine: the 32-bit loader where this machine runs 32-bit programs, else the
# 64-bit one. WINEPREFIX defaults to build-windows/wineprefix; Wine's own messages are off unless WINEDEBUG
# says otherwise. The CMake toolchain files name this script as the emulator of the test programs.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    loader=/usr/lib/wine/wine
else
    loader=/usr/lib/wine/wine64
fi
export WINELOADER="$loader"
export WINEDEBUG="${WINEDEBUG:--all}"
# A new prefix would otherwise offer to install Mono and Gecko in a dialog.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES-mscoree,mshtml=}"
export WINEPREFIX="${WINEPREFIX:-$root/build-windows/wineprefix}"
exec "$loader" "$@"
