#!/usr/bin/env bash
# Cross-builds the Windows programs (scripts/build-windows.sh) and checks them under Wine with ctest, in a Wine
# prefix of its own (build-windows/wineprefix), on an X display of its own (Xvfb): every core, end-to-end and
# forms test program, and the checks labelled wine (tests/windows/*.cmake): one IssueCard served by
# doorlock-host.exe to a Linux client compared with the Linux host's, TLS, the window program serving an
# IssueCard with its window up and asking for the password when closed, the code page conversion compared with
# Linux's, the client under two code pages, the zip, and the installer's install, reinstall and uninstall.
# The display and the Wine server are ctest fixtures of the build tree; the tests run inside
# scripts/with-postgres.sh, whose private server the PostgreSQL tests reach over 127.0.0.1.
#
# The tests run on the 32-bit build where this machine runs 32-bit programs; where it runs 64-bit user
# code only (its kernel has no 32-bit emulation), on the 64-bit build of the same code, and the shipped
# 32-bit build is then only compiled, linked and packed.
#
# scripts/test-windows.sh --archs prints the architecture it tests on this machine.
# scripts/test-windows.sh [--no-build] [--only STEP]... [--skip STEP]... [ctest arguments]: --no-build tests the
# build that is there; --only runs only the steps named, --skip all but those: ctest (the test programs) or a
# check labelled wine (cli_locales, compare_with_linux, tls_under_wine, window_check, compare_code_page, pack,
# install_cycle). The same checks run by hand on a configured tree: ctest --test-dir build-windows/ARCH -L wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$SECONDS

if [ "${1:-}" = "--archs" ]; then
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then echo i686; else echo x86_64; fi
  exit 0
fi
build_first=1
only=()
skip=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) build_first=0; shift ;;
    --only) only+=("$2"); shift 2 ;;
    --skip) skip+=("$2"); shift 2 ;;
    *) break ;;
  esac
done
# True when step $1 is to run.
runs() {
  { [ ${#only[@]} -eq 0 ] || printf '%s\n' "${only[@]}" | grep -qx "$1"; } &&
    { [ ${#skip[@]} -eq 0 ] || ! printf '%s\n' "${skip[@]}" | grep -qx "$1"; }
}

# Packages first (the Linux side too: the checks build the Linux host, and the PostgreSQL tests need the server
# of scripts/install-deps.sh): which Wine loader runs here decides the architecture.
bash scripts/install-deps.sh >/dev/null
bash scripts/build-windows.sh --packages-only >/dev/null
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  arch=i686
else
  arch=x86_64
  echo "test-windows: this machine runs no 32-bit programs; testing the 64-bit build under 64-bit Wine"
fi
if [ $build_first -eq 1 ]; then
  bash scripts/build-windows.sh --arch "$arch"
  # The shipped 32-bit build is then only compiled, linked and packed. Its window needs a Qt of its own, half
  # an hour of building on two cores: it is built here only when that Qt is cached already.
  [ "$arch" = i686 ] || bash scripts/build-windows.sh --arch i686 --no-tests --window-if-cached
fi
build=$root/build-windows/$arch

# The Linux programs that drive the Windows ones and are compared with them come from the tree of
# DOORLOCK_LINUX_PRESET: "headless" (no Qt needed) unless it says "ci" or "default" (build/), as
# scripts/test.sh does, whose window build is there already.
linux_preset=${DOORLOCK_LINUX_PRESET:-headless}
case "$linux_preset" in
  headless) linux_build=$root/build-headless ;;
  ci | default) linux_build=$root/build ;;
  *) echo "test-windows: DOORLOCK_LINUX_PRESET is headless, ci or default, not $linux_preset" >&2; exit 2 ;;
esac
# An X display number free on this machine for the run's Xvfb.
display=$((100 + RANDOM % 500))
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
cmake "$build" -DDOORLOCK_LINUX_BUILD_DIR="$linux_build" -DDOORLOCK_WINE_DISPLAY=":$display" >/dev/null

# The tests of the steps asked for: the checks labelled wine by name, the test programs as the step ctest
# (the display's and the Wine server's fixtures come with whichever test needs them).
checks=$(ctest --test-dir "$build" -N -L wine | sed -n 's/^ *Test *#[0-9]*: //p' | grep -v '^wine_' || true)
selected=()
linux_needed=0
while read -r name; do
  [ -n "$name" ] || continue
  step=ctest
  if printf '%s\n' "$checks" | grep -qx "$name"; then step=$name; fi
  case "$name" in wine_*_start | wine_*_stop) continue ;; esac
  runs "$step" || continue
  selected+=("$name")
  case "$step" in ctest | pack) ;; *) linux_needed=1 ;; esac
done < <(ctest --test-dir "$build" -N | sed -n 's/^ *Test *#[0-9]*: //p')
if [ ${#selected[@]} -eq 0 ]; then
  echo "test-windows: no test to run"
  exit 0
fi
if [ $linux_needed -eq 1 ]; then
  cmake --preset "$linux_preset" >/dev/null
  cmake --build --preset "$linux_preset" --target doorlock-host doorlock-cli fakecardenc codepage-table >/dev/null
fi

status=0
# One program at a time: Wine is slow enough that a loaded machine stretches the end-to-end tests' waits.
# The record store's PostgreSQL half and the desks sharing a server run against the private server that
# scripts/with-postgres.sh starts here, which the Windows programs reach over 127.0.0.1. The test that stops
# and starts its server under a running host, and the failover, are left to Linux: their controls are programs
# of this machine.
regex="^($(printf '%s|' "${selected[@]}" | sed 's/[.+]/\\&/g; s/|$//'))\$"
bash scripts/with-postgres.sh --fast env -u DOORLOCK_TEST_PG_RESTART_CONTROL -u DOORLOCK_TEST_PG_FAILOVER_CONTROL \
  ctest --test-dir "$build" --output-on-failure --timeout 600 -R "$regex" "$@" || status=$?
# Each program runs all its tests in one go under Wine: their counts are in the programs' own output; each
# check labelled wine counts as one test.
awk -v checks="$(printf '%s\n' "$checks" | tr '\n' ' ')" '
  BEGIN { n = split(checks, names, " "); for (i = 1; i <= n; i++) check[names[i]] = 1 }
  /^[0-9]+\/[0-9]+ Test: / { name = $3; program = !(name in check) }
  program && /^\[  PASSED  \] [0-9]+ test/ { passed += $4 } program && /^\[  SKIPPED \] [0-9]+ test/ { skipped += $4 }
  program && /^\[  FAILED  \] [A-Za-z].* \([0-9]+ ms\)/ { failed++ }
  !program && /^Test Passed\./ { passed++ } !program && /^Test Failed\./ { failed++ }
  !program && /^Skip regular expression found/ { skipped++ }
  END { printf "test-windows: %d tests passed, %d skipped, %d failed under Wine\n", passed, skipped, failed }' \
  "$build/Testing/Temporary/LastTest.log" || true

echo "test-windows: $((SECONDS - started)) s"
exit "$status"
