#!/usr/bin/env bash
# Cross-builds the Windows programs (scripts/build-windows.sh) and checks them under Wine, in a Wine prefix of
# its own (build-windows/wineprefix), on an X display of its own (Xvfb): every core, end-to-end and forms test
# program (arguments go to ctest), one IssueCard served by doorlock-host.exe to a Linux client compared with
# the Linux host's, the window program serving an IssueCard with its window up and asking for the password
# when closed, the code page conversion compared with Linux's, the zip, and the installer's install,
# reinstall and uninstall.
#
# The tests run on the 32-bit build where this machine runs 32-bit programs; where it runs 64-bit user
# code only (its kernel has no 32-bit emulation), on the 64-bit build of the same code, and the shipped
# 32-bit build is then only compiled, linked and packed.
#
# scripts/test-windows.sh --archs prints the architecture it tests on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$SECONDS

if [ "${1:-}" = "--archs" ]; then
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then echo i686; else echo x86_64; fi
  exit 0
fi

# Packages first (the Linux side too: the comparison below builds the Linux host, and the PostgreSQL tests
# need the server of scripts/install-deps.sh): which Wine loader runs
# here decides the architecture.
bash scripts/install-deps.sh >/dev/null
bash scripts/build-windows.sh --packages-only >/dev/null
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  arch=i686
else
  arch=x86_64
  echo "test-windows: this machine runs no 32-bit programs; testing the 64-bit build under 64-bit Wine"
fi
bash scripts/build-windows.sh --arch "$arch"
# The shipped 32-bit build is then only compiled, linked and packed. Its window needs a Qt of its own, half an
# hour of building on two cores: it is built here only when that Qt is cached already.
[ "$arch" = i686 ] || bash scripts/build-windows.sh --arch i686 --no-tests --window-if-cached

# No question about Mono or Gecko, no Wine messages.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=$root/build-windows/wineprefix
unset WAYLAND_DISPLAY
# An X display of our own for the windows (Wine draws them through X), stopped at the end.
xvfb_pid=
stop_xvfb() { [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true; }
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for ((i = 0; i < 100; i++)); do
  [ -s "$display_file" ] && break
  sleep 0.1
done
if [ ! -s "$display_file" ]; then
  echo "test-windows: Xvfb did not start" >&2
  stop_xvfb
  exit 1
fi
export DISPLAY=:$(head -n 1 "$display_file")
rm -f "$display_file"
trap stop_xvfb EXIT
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver32
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "test-windows: setting up the Wine prefix $WINEPREFIX"
  if ! timeout 300 scripts/wine-run.sh wineboot --init >"$root/build-windows/wineboot.log" 2>&1; then
    cat "$root/build-windows/wineboot.log" >&2
    echo "test-windows: the Wine prefix could not be set up" >&2
    exit 1
  fi
  # The set-up's own server ends a few seconds after it.
  timeout 60 "$wineserver" -w || true
fi
# One Wine server for the whole run, so that each program starts quickly. A server already running for the
# prefix (status 2) is used as it is and left running.
server_status=0
"$wineserver" -p </dev/null >/dev/null 2>&1 || server_status=$?
case $server_status in
  0)
    trap '"$wineserver" -k 2>/dev/null || true; stop_xvfb' EXIT
    # The first program of a new server starts Wine's own services, which would hold on to the output of
    # that program (and ctest would wait for them): a program of no interest starts them.
    timeout 120 scripts/wine-run.sh cmd /c exit </dev/null >/dev/null 2>&1 || true
    ;;
  2) echo "test-windows: using the Wine server already running for $WINEPREFIX" ;;
  *) echo "test-windows: the Wine server did not start (status $server_status)" >&2; exit 1 ;;
esac

build=$root/build-windows/$arch
status=0
# One program at a time: Wine is slow enough that a loaded machine stretches the end-to-end tests' waits.
# The record store's PostgreSQL half and the desks sharing a server run against the private server that
# scripts/with-postgres.sh starts here, which the Windows programs reach over 127.0.0.1. The test that stops
# and starts its server under a running host is left to Linux: its control is a program of this machine.
bash scripts/with-postgres.sh --fast env -u DOORLOCK_TEST_PG_RESTART_CONTROL \
  ctest --test-dir "$build" --output-on-failure --timeout 600 "$@" || status=$?
# Each program runs all its tests in one go under Wine: their counts are in the programs' own output.
awk '/^\[  PASSED  \] [0-9]+ test/ { passed += $4 } /^\[  SKIPPED \] [0-9]+ test/ { skipped += $4 }
  /^\[  FAILED  \] [A-Za-z].* \([0-9]+ ms\)/ { failed++ }
  END { printf "test-windows: %d tests passed, %d skipped, %d failed under Wine\n", passed, skipped, failed }' \
  "$build/Testing/Temporary/LastTest.log" || true

# One IssueCard from the Linux client to doorlock-host.exe under Wine and to the Linux host, each with the
# fake vendor library of its build: the card bytes written (the library's calls), the log lines without
# their times and the rows of Client.db must be the same.
sed_text() { printf '%s' "$1" | sed 's/[\\|.]/\\&/g'; }
linux_cli=$root/build-headless/bin/doorlock-cli
# Waits until the host started as process $2 answers a request on port $1 (the client's status 2: none).
wait_listening() {
  local port=$1 pid=$2 out=$3 what=$4 waited=0 answered
  for ((;;)); do
    answered=0
    "$linux_cli" --port "$port" read >/dev/null 2>&1 || answered=$?
    [ $answered -ne 2 ] && return 0
    waited=$((waited + 1))
    if [ $waited -gt 600 ] || ! kill -0 "$pid" 2>/dev/null; then
      cat "$out" >&2
      echo "test-windows: $what did not start" >&2
      return 1
    fi
    sleep 0.1
  done
}
compare_with_linux() {
  cmake --preset headless >/dev/null
  cmake --build --preset headless --target doorlock-host doorlock-cli fakecardenc >/dev/null
  local linux=$root/build-headless
  local work=$build/compare
  rm -rf "$work"
  mkdir -p "$work/linux" "$work/windows"
  local port side pid
  # Below the ports the system hands out, one for each host.
  port=$((10000 + RANDOM % 10000))
  for side in linux windows; do
    port=$((port + 1))
    local dir=$work/$side library host shown_dir
    if [ $side = linux ]; then
      library=$(ls "$linux"/lib/*fakecardenc.so)
      host=("$linux/bin/doorlock-host")
      shown_dir=$dir
    else
      library='Z:'$(echo "$build/lib/cardenc.dll" | tr / '\\')
      host=("$root/scripts/wine-run.sh" "$build/bin/doorlock-host.exe")
      shown_dir='Z:'$(echo "$dir" | tr / '\\')
    fi
    printf '[SysOption]\r\nDoorlockPortNo=%d\r\n[DoorlockOption]\r\nEncoderLibrary=%s\r\nSaveDoorlockRecord=1\r\n' \
      $port "$library" >"$dir/Option.ini"
    FAKE_CARDENC_CALLS_FILE=$dir/calls.txt "${host[@]}" --headless --dir "$dir" >"$dir/out.txt" 2>&1 &
    pid=$!
    wait_listening $port $pid "$dir/out.txt" "the $side host" || return 1
    "$linux/bin/doorlock-cli" --port $port issue 0816 --building 01 --floor 08 --checkin '2026-12-29 12:00:00' \
      --checkout '2026-12-31 14:30:00' --guest 张三 --register R1 >"$dir/response.txt"
    # Under Wine SIGINT is Ctrl+C, the console's stop.
    kill -INT $pid
    wait $pid
    # The log without the time stamps and the paths of the library and the directory (with either
    # separator); the rows without the time of the operation.
    sed -e 's/^[0-9-]* [0-9:]* //' -e "s|$(sed_text "$library")|LIBRARY|" -e "s|$(sed_text "$shown_dir")[/\\]|DIR/|" \
      "$dir"/*.LOG >"$dir/log.txt"
    sqlite3 "$dir/Client.db" 'select RegisterId, CardNo, RoomNo, CardType, CheckInTime, CheckOutTime, IsCopy,
      GuestName from T_IssueCardRecord; select RoomNo, LastCheckInTime from T_Room' >"$dir/rows.txt"
  done
  local file failed=0
  for file in response.txt calls.txt log.txt rows.txt; do
    if ! cmp -s "$work/linux/$file" "$work/windows/$file"; then
      echo "test-windows: $file differs between the Linux and the Windows host:" >&2
      diff "$work/linux/$file" "$work/windows/$file" >&2 || true
      failed=1
    fi
  done
  grep -q 'swr_24c02 77 0 6 11 08 16 12 31 14' "$work/windows/calls.txt" || failed=1
  [ $failed -eq 0 ] && echo "test-windows: the IssueCard under Wine matches the Linux host's"
  return $failed
}
compare_with_linux || status=1

# The window program as a desk starts it: its window opens on the X display under the windows platform, it
# serves an IssueCard while the window is up, and closing the window asks for the administrator password.
# windowdriver.exe finds, closes and types into the windows through the Windows API; titles go to it as the
# bytes of their UTF-8 in hexadecimal, past any code page.
hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
window_check() {
  local work=$build/window-check
  local title=VantrelTovra门锁接口 prompt=请输入管理员密码
  local driver=("$root/scripts/wine-run.sh" "$build/bin/windowdriver.exe")
  local cli=$root/build-headless/bin/doorlock-cli
  rm -rf "$work"
  mkdir -p "$work"
  local port=$((20000 + RANDOM % 10000))
  printf '[SysOption]\r\nDoorlockPortNo=%d\r\n' $port >"$work/Option.ini"
  head -c 256 /dev/zero | tr '\0' '\377' >"$work/SimCard.bin"
  "$root/scripts/wine-run.sh" "$build/bin/doorlock-hostw.exe" --dir "$work" >"$work/out.txt" 2>&1 &
  local pid=$! failed=0
  if ! "${driver[@]}" wait "$(hex "$title")" 120; then
    echo "test-windows: doorlock-hostw.exe showed no window titled $title" >&2
    cat "$work/out.txt" >&2
    kill $pid 2>/dev/null || true
    wait $pid 2>/dev/null || true
    return 1
  fi
  if ! LC_ALL=C.UTF-8 xwininfo -root -tree | grep -qF "\"$title\""; then
    echo "test-windows: no X window titled $title on the display" >&2
    failed=1
  fi
  if ! "$cli" --port $port issue 0816 --checkout '2026-12-31 14:30:00' >"$work/response.txt" ||
    ! grep -q '<ResultCode>200</ResultCode>' "$work/response.txt"; then
    echo "test-windows: the window program did not serve the IssueCard:" >&2
    cat "$work/response.txt" >&2
    failed=1
  fi
  "${driver[@]}" close "$(hex "$title")" || failed=1
  if ! "${driver[@]}" wait "$(hex "$prompt")" 30; then
    echo "test-windows: closing the window asked for no password" >&2
    failed=1
  elif ! kill -0 $pid 2>/dev/null; then
    echo "test-windows: the window program ended before the password was given" >&2
    failed=1
  fi
  # The right password ends the program.
  "${driver[@]}" type "$(hex "$prompt")" mirvek || failed=1
  local waited=0
  while kill -0 $pid 2>/dev/null && [ $waited -lt 300 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if kill -0 $pid 2>/dev/null; then
    echo "test-windows: the window program did not end after the password" >&2
    kill $pid 2>/dev/null || true
    failed=1
  fi
  wait $pid 2>/dev/null || true
  [ $failed -eq 0 ] && echo "test-windows: doorlock-hostw.exe opened its window, served an IssueCard and closed with the password"
  return $failed
}
window_check || status=1

# Code page 936: the Linux conversion (iconv and our own additions) of every one- and two-byte sequence and
# of every UTF-16 unit must be what the Windows build gets from the code page API under Wine.
compare_code_page() {
  cmake --preset headless >/dev/null
  cmake --build --preset headless --target codepage-table >/dev/null
  local work=$build/codepage
  rm -rf "$work"
  mkdir -p "$work"
  "$root/build-headless/bin/codepage-table" "$work/linux.txt"
  scripts/wine-run.sh "$build/bin/codepage-table.exe" "Z:$(echo "$work/windows.txt" | tr / '\\')" </dev/null
  if ! cmp -s "$work/linux.txt" "$work/windows.txt"; then
    echo "test-windows: code page 936 converts differently on Linux (<) and Windows (>):" >&2
    diff "$work/linux.txt" "$work/windows.txt" | head -40 >&2 || true
    return 1
  fi
  echo "test-windows: code page 936 converts on Linux as on Windows (every one- and two-byte sequence, every UTF-16 unit)"
}
compare_code_page || status=1

# What the shipped 32-bit build installs: the zip and the installer hold these files (the installer writes
# Option.ini itself and adds Uninstall.exe).
shipped_files=(Option.ini README.txt doorlock-cli.exe doorlock-host.exe doorlock-hostw.exe licenses/GPL-3.txt
  licenses/LGPL-3.txt translations/qtbase_zh_CN.qm)

# The zip of the shipped 32-bit build (made by build-windows.sh): the files, the texts with CR LF.
pack() {
  local i686=$root/build-windows/i686
  local zip listing
  zip=$(ls "$root"/build-windows/doorlock-host-*-win32.zip)
  listing=$(cmake -E tar tf "$zip" | sed 's|^[^/]*/||' | grep -v '/$' | grep . | LC_ALL=C sort | tr '\n' ' ')
  local expected=("${shipped_files[@]}")
  if ! grep -q 'DOORLOCK_GUI:BOOL=ON' "$i686/CMakeCache.txt"; then
    expected=(Option.ini README.txt doorlock-cli.exe doorlock-host.exe)
    echo "test-windows: the 32-bit build has no window here (no 32-bit Qt in the cache): its zip holds the headless programs"
  fi
  if [ "$listing" != "$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort | tr '\n' ' ')" ]; then
    echo "test-windows: $zip holds $listing" >&2
    return 1
  fi
  local unpacked=$i686/zip-check
  rm -rf "$unpacked"
  mkdir -p "$unpacked"
  (cd "$unpacked" && cmake -E tar xf "$zip")
  local text
  for text in "$unpacked"/*/Option.ini "$unpacked"/*/README.txt; do
    if grep -q $'[^\r]$' "$text" || grep -qx '' "$text"; then
      echo "test-windows: $(basename "$text") in the zip has lines without CR LF" >&2
      return 1
    fi
  done
  rm -rf "$unpacked"
  echo "test-windows: $(basename "$zip"): $listing"
}
pack || status=1

# The installer's whole cycle, silent, in a fresh folder: the files and the shortcuts; the installed host
# serves an IssueCard with the fake cardenc.dll copied beside it; a reinstall keeps Option.ini byte for byte
# and Client.db with its row; the uninstaller removes the programs and the shortcuts and keeps the desk's
# data. Where this machine runs no 32-bit programs the shipped 32-bit installer cannot run here: the 64-bit
# build's installer, made from the same script and install rules, runs instead.
install_cycle() {
  local begun=$SECONDS setup
  if [ "$arch" = i686 ]; then
    setup=$(ls "$root"/build-windows/doorlock-host-*-win32.exe)
  else
    setup=$(ls "$build"/doorlock-host-*-win64.exe)
    echo "test-windows: the shipped 32-bit installer is not run (no 32-bit programs here); the install" \
      "test runs the 64-bit installer made from the same script"
  fi
  local folder='C:\doorlock-install-test' dir=$WINEPREFIX/drive_c/doorlock-install-test
  local menu=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs
  local links=("$menu/Doorlock Host/Doorlock Host.lnk" "$menu/StartUp/Doorlock Host.lnk")
  local file link
  rm -rf "$dir"
  fail() { echo "test-windows: installer: $*" >&2; }

  "$root/scripts/wine-run.sh" "$setup" /S /AUTOSTART "/D=$folder" || { fail "install exited with $?"; return 1; }
  for file in "${shipped_files[@]}" Uninstall.exe; do
    [ -f "$dir/$file" ] || { fail "$file not installed"; return 1; }
  done
  for link in "${links[@]}"; do
    # The link names its target in UTF-16.
    strings -el "$link" 2>/dev/null | grep -qi 'doorlock-install-test\\doorlock-hostw.exe' ||
      { fail "no shortcut $link to doorlock-hostw.exe"; return 1; }
  done
  grep -qxF "EncoderLibrary=$folder\cardenc.dll"$'\r' "$dir/Option.ini" ||
    { fail "Option.ini does not name the folder's cardenc.dll"; return 1; }

  # The vendor's library goes beside the program, where the installed Option.ini already looks for it.
  cp "$build/lib/cardenc.dll" "$dir/"
  local port=$((20000 + RANDOM % 10000)) pid
  sed -i "s/^DoorlockPortNo=.*\r\$/DoorlockPortNo=$port\r/" "$dir/Option.ini"
  "$root/scripts/wine-run.sh" "$folder\doorlock-host.exe" --headless >"$dir/../doorlock-install-out.txt" 2>&1 &
  pid=$!
  wait_listening $port $pid "$dir/../doorlock-install-out.txt" "the installed host" || return 1
  local issued=0
  "$linux_cli" --port $port issue 0816 --checkin '2026-12-29 12:00:00' --checkout '2026-12-31 14:30:00' \
    --guest 张三 >/dev/null || issued=$?
  kill -INT $pid
  wait $pid || true
  [ $issued -eq 0 ] || { fail "the installed host did not issue the card (client status $issued)"; return 1; }
  rows() { sqlite3 "$dir/Client.db" 'select count(*) from T_IssueCardRecord'; }
  [ "$(rows)" = 1 ] || { fail "Client.db holds $(rows) issued cards, not 1"; return 1; }
  cp "$dir/Option.ini" "$dir/../doorlock-install-option.ini"

  "$root/scripts/wine-run.sh" "$setup" /S "/D=$folder" || { fail "reinstall exited with $?"; return 1; }
  cmp -s "$dir/Option.ini" "$dir/../doorlock-install-option.ini" || { fail "reinstall changed Option.ini"; return 1; }
  [ "$(rows)" = 1 ] || { fail "after reinstall Client.db holds $(rows) issued cards"; return 1; }
  [ -f "${links[1]}" ] || { fail "reinstall dropped the log-on shortcut"; return 1; }

  # The uninstaller runs as a copy of itself that it starts and does not wait for: wait for what it removes.
  "$root/scripts/wine-run.sh" "$folder\Uninstall.exe" /S || { fail "uninstall exited with $?"; return 1; }
  local removed=("${links[@]}")
  for file in "${shipped_files[@]}" Uninstall.exe; do
    [ "$file" = Option.ini ] || removed+=("$dir/$file")
  done
  left() {
    for file in "${removed[@]}"; do
      [ ! -e "$file" ] || { echo "$file"; return 0; }
    done
    return 1
  }
  local deadline=$((SECONDS + 120))
  while left >/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.2; done
  ! left >/dev/null || { fail "uninstall left $(left)"; return 1; }
  for file in Option.ini Client.db cardenc.dll "$(cd "$dir" && ls *.LOG | head -n 1)"; do
    [ -f "$dir/$file" ] || { fail "uninstall removed the desk's ${file:-log}"; return 1; }
  done
  cmp -s "$dir/Option.ini" "$dir/../doorlock-install-option.ini" || { fail "uninstall changed Option.ini"; return 1; }
  rm -rf "$dir" "$dir"/../doorlock-install-*
  echo "test-windows: install, reinstall and uninstall under Wine passed in $((SECONDS - begun)) s"
}
install_cycle || status=1

echo "test-windows: $((SECONDS - started)) s"
exit "$status"
