#!/usr/bin/env bash
# Cross-builds the Windows programs (scripts/build-windows.sh) and runs the core test programs under Wine,
# in a Wine prefix of its own (build-windows/wineprefix). Arguments go to ctest.
#
# The tests run on the 32-bit build where this machine runs 32-bit programs; where it runs 64-bit user
# code only (its kernel has no 32-bit emulation), on the 64-bit build of the same code, and the shipped
# 32-bit build is then only compiled and linked.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$(date +%s)

# Packages first: which Wine loader runs here decides the architecture.
bash scripts/build-windows.sh --deps-only --no-tests >/dev/null
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  arch=i686
else
  arch=x86_64
  echo "test-windows: this machine runs no 32-bit programs; testing the 64-bit build under 64-bit Wine"
fi
bash scripts/build-windows.sh --arch "$arch"
[ "$arch" = i686 ] || bash scripts/build-windows.sh --arch i686 --no-tests

export WINEDEBUG=-all
export WINEPREFIX=$root/build-windows/wineprefix
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  # The first start of a new prefix sets it up, which takes about half a minute.
  echo "test-windows: setting up the Wine prefix $WINEPREFIX"
  scripts/wine-run.sh wineboot --init >/dev/null 2>&1
fi
# One Wine server for the whole run, so that each test program starts quickly; stopped at the end.
wineserver=/usr/lib/wine/wineserver64
[ "$arch" = x86_64 ] || wineserver=/usr/lib/wine/wineserver32
"$wineserver" -p >/dev/null 2>&1 </dev/null
trap '"$wineserver" -k 2>/dev/null || true' EXIT

cd "build-windows/$arch"
status=0
# Every test program of the core (the end-to-end tests are not built for Windows yet).
ctest --output-on-failure --timeout 600 "$@" || status=$?
echo "test-windows: $(($(date +%s) - started)) s"
exit "$status"
