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
# scripts/test-windows.sh [--no-build] [--only STEP]... [--skip STEP]... [ctest arguments]: --no-build tests the
# build that is there; --only runs only the steps named, --skip all but those (ctest, cli_locales,
# compare_with_linux, tls_under_wine, window_check, compare_code_page, pack, install_cycle). A Windows program
# run in the foreground has a time limit, so that a program Wine holds up fails its step instead of the run.
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
if [ $build_first -eq 1 ]; then
  bash scripts/build-windows.sh --arch "$arch"
  # The shipped 32-bit build is then only compiled, linked and packed. Its window needs a Qt of its own, half
  # an hour of building on two cores: it is built here only when that Qt is cached already.
  [ "$arch" = i686 ] || bash scripts/build-windows.sh --arch i686 --no-tests --window-if-cached
fi

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
# and starts its server under a running host, and the failover, are left to Linux: their controls are programs
# of this machine.
if runs ctest; then
  bash scripts/with-postgres.sh --fast env -u DOORLOCK_TEST_PG_RESTART_CONTROL -u DOORLOCK_TEST_PG_FAILOVER_CONTROL \
    ctest --test-dir "$build" --output-on-failure --timeout 600 "$@" || status=$?
  # Each program runs all its tests in one go under Wine: their counts are in the programs' own output.
  awk '/^\[  PASSED  \] [0-9]+ test/ { passed += $4 } /^\[  SKIPPED \] [0-9]+ test/ { skipped += $4 }
    /^\[  FAILED  \] [A-Za-z].* \([0-9]+ ms\)/ { failed++ }
    END { printf "test-windows: %d tests passed, %d skipped, %d failed under Wine\n", passed, skipped, failed }' \
    "$build/Testing/Temporary/LastTest.log" || true
fi

# doorlock-cli.exe with a Chinese guest's name under a Chinese (ANSI code page 936) and a Western (1252)
# locale: Wine takes the code page from LANG. Wine's own messages show which locale a run got.
cli_locales() {
  local lang failed=0 english
  for lang in zh_CN.UTF-8 en_US.UTF-8; do
    english=no
    LANG=$lang LC_ALL= timeout 120 scripts/wine-run.sh cmd /c chcp </dev/null 2>/dev/null | grep -q '^Active code page' && english=yes
    if [ "$english" != "$([ $lang = en_US.UTF-8 ] && echo yes || echo no)" ]; then
      echo "test-windows: Wine did not take the locale $lang (is it generated?)" >&2
      failed=1
      continue
    fi
    LANG=$lang LC_ALL= timeout 600 scripts/wine-run.sh "$build/bin/e2e_tests.exe" --gtest_brief=1 --gtest_filter='*Cli*' \
      </dev/null || { echo "test-windows: the client tests failed under LANG=$lang" >&2; failed=1; }
  done
  [ $failed -eq 0 ] && echo "test-windows: doorlock-cli.exe sends a Chinese guest name under code pages 936 and 1252"
  return $failed
}
! runs cli_locales || cli_locales || status=1

# One IssueCard from the Linux client to doorlock-host.exe under Wine and to the Linux host, each with the
# fake vendor library of its build: the card bytes written (the library's calls), the log lines without
# their times and the rows of Client.db must be the same.
sed_text() { printf '%s' "$1" | sed 's/[\\|.]/\\&/g'; }
# The Linux programs that drive the Windows ones and are compared with them come from the tree of
# DOORLOCK_LINUX_PRESET: "headless" (no Qt needed) unless it says "ci" or "default" (build/), as
# scripts/test.sh does, whose window build is there already. A step builds what it uses of them.
linux_preset=${DOORLOCK_LINUX_PRESET:-headless}
case "$linux_preset" in
  headless) linux_build=$root/build-headless ;;
  ci | default) linux_build=$root/build ;;
  *) echo "test-windows: DOORLOCK_LINUX_PRESET is headless, ci or default, not $linux_preset" >&2; exit 2 ;;
esac
linux_programs() {
  cmake --preset "$linux_preset" >/dev/null
  cmake --build --preset "$linux_preset" --target "$@" >/dev/null
}
linux_cli=$linux_build/bin/doorlock-cli
# Waits until the host started as process $2 answers a request on port $1 (the client's status 2: none);
# arguments after the fourth go to the client (TLS options).
wait_listening() {
  local port=$1 pid=$2 out=$3 what=$4 waited=0 answered
  shift 4
  for ((;;)); do
    answered=0
    "$linux_cli" --port "$port" "$@" read >/dev/null 2>&1 || answered=$?
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
  local port_word
  port_word=$(printf '端口' | iconv -f UTF-8 -t GBK)
  linux_programs doorlock-host doorlock-cli fakecardenc
  local linux=$linux_build
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
      library='Z:'$(echo "$build/bin/cardenc.dll" | tr / '\\')
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
    # The log without the time stamps, the paths of the library and the directory (with either separator)
    # and the ports (the listener's in the open-door warning, the client's in the peer line); the rows
    # without the time of the operation.
    LC_ALL=C sed -e 's/^[0-9-]* [0-9:]* //' -e "s|$(sed_text "$library")|LIBRARY|" \
      -e "s|$(sed_text "$shown_dir")[/\\]|DIR/|" -e "s/$port_word [0-9]* /$port_word PORT /" \
      -e 's/127\.0\.0\.1:[0-9]*/127.0.0.1:PORT/' "$dir"/*.LOG >"$dir/log.txt"
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
! runs compare_with_linux || compare_with_linux || status=1

# TLS under Wine: doorlock-host.exe with client certificates serves the Linux client that shows the hotel
# system's certificate, closes one without it, and logs the certificate's subject.
tls_under_wine() {
  local dir=$build/tls port=$((20000 + RANDOM % 10000)) pid failed=0 refused=0
  linux_programs doorlock-cli
  rm -rf "$dir"
  mkdir -p "$dir"
  bash "$root/scripts/make-certs.sh" "$dir" 127.0.0.1 >/dev/null
  printf '[SysOption]\r\nDoorlockPortNo=%d\r\nTlsCertificate=host.pem\r\nTlsPrivateKey=host.key\r\nTlsClientCA=ca.pem\r\n' \
    $port >"$dir/Option.ini"
  "$root/scripts/wine-run.sh" "$build/bin/doorlock-host.exe" --headless --dir "$dir" >"$dir/out.txt" 2>&1 &
  pid=$!
  local tls=(--tls-ca "$dir/ca.pem" --tls-cert "$dir/client.pem" --tls-key "$dir/client.key")
  wait_listening $port $pid "$dir/out.txt" "the Windows host with TLS" "${tls[@]}" || return 1
  "$linux_cli" --port $port --tls-ca "$dir/ca.pem" read >/dev/null 2>&1 || refused=$?
  # No card lies on the simulated encoder: an answer (status 0 or 1) is what counts.
  "$linux_cli" --port $port "${tls[@]}" read >"$dir/response.txt" || [ $? -eq 1 ] || failed=1
  kill -INT $pid
  wait $pid || true
  [ $refused -eq 2 ] || { echo "test-windows: a client without a certificate got status $refused" >&2; failed=1; }
  grep -q '<ResultCode>' "$dir/response.txt" || failed=1
  iconv -f GBK -t UTF-8 "$dir"/*.LOG | grep -q '客户端：127\.0\.0\.1:[0-9]* \[CN=hotel-system,O=Hotel\]' || {
    echo "test-windows: the Windows host's log does not name the client certificate" >&2
    failed=1
  }
  [ $failed -eq 0 ] && echo "test-windows: doorlock-host.exe over TLS served the Linux client with its certificate only"
  return $failed
}
! runs tls_under_wine || tls_under_wine || status=1

# The window program as a desk starts it: its window opens on the X display under the windows platform, it
# serves an IssueCard while the window is up, and closing the window asks for the administrator password.
# windowdriver.exe finds, closes and types into the windows through the Windows API; titles go to it as the
# bytes of their UTF-8 in hexadecimal, past any code page.
hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
window_check() {
  local work=$build/window-check
  local title=VantrelTovra门锁接口 prompt=请输入管理员密码
  local driver=("$root/scripts/wine-run.sh" "$build/bin/windowdriver.exe")
  linux_programs doorlock-cli
  local cli=$linux_cli
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
! runs window_check || window_check || status=1

# Code page 936: the Linux conversion (iconv and our own additions) of every one- and two-byte sequence and
# of every UTF-16 unit must be what the Windows build gets from the code page API under Wine.
compare_code_page() {
  linux_programs codepage-table
  local work=$build/codepage
  rm -rf "$work"
  mkdir -p "$work"
  "$linux_build/bin/codepage-table" "$work/linux.txt"
  timeout 300 scripts/wine-run.sh "$build/bin/codepage-table.exe" "Z:$(echo "$work/windows.txt" | tr / '\\')" </dev/null
  if ! cmp -s "$work/linux.txt" "$work/windows.txt"; then
    echo "test-windows: code page 936 converts differently on Linux (<) and Windows (>):" >&2
    diff "$work/linux.txt" "$work/windows.txt" | head -40 >&2 || true
    return 1
  fi
  echo "test-windows: code page 936 converts on Linux as on Windows (every one- and two-byte sequence, every UTF-16 unit)"
}
! runs compare_code_page || compare_code_page || status=1

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
! runs pack || pack || status=1

# The installer's whole cycle, silent: the programs under Program Files and the data under ProgramData, the
# shortcuts with --dir; the installed host serves an IssueCard with the fake cardenc.dll copied beside it and
# its row lands in the data folder; a reinstall keeps Option.ini byte for byte and Client.db with its row; the
# uninstaller removes the programs, the shortcuts and the firewall rule and keeps the desk's data. Wine has no
# access control and no firewall: stand-ins for icacls.exe and netsh.exe record what setup asks of them. Where
# this machine runs no 32-bit programs the shipped 32-bit installer cannot run here: the 64-bit build's
# installer, made from the same script and install rules, runs instead.
# A service an earlier run left: Wine starts such a service with every program of the prefix.
remove_service() {
  local deadline=$((SECONDS + 60))
  timeout 60 "$root/scripts/wine-run.sh" sc stop DoorlockHost </dev/null >/dev/null 2>&1 || true
  timeout 60 "$root/scripts/wine-run.sh" sc delete DoorlockHost </dev/null >/dev/null 2>&1 || true
  # Deleted once it has stopped.
  while timeout 60 "$root/scripts/wine-run.sh" reg query 'HKLM\SYSTEM\CurrentControlSet\Services\DoorlockHost' \
    </dev/null >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || { echo "test-windows: the service DoorlockHost could not be removed" >&2; return 1; }
    sleep 0.5
  done
}

# The service instead of the shortcuts (/SERVICE): the installer registers and starts it through Wine's own
# sc.exe, it serves with the desk's Option.ini, a reinstall keeps it, the uninstaller removes it and keeps the
# data. Wine ends a service once no other program of the prefix runs: one waits meanwhile. Runs inside
# install_cycle, on its installed program folder, data folder and port.
service_cycle() {
  local keeper state
  "$root/scripts/wine-run.sh" cmd /c "ping -n 600 127.0.0.1 >nul" </dev/null >/dev/null 2>&1 &
  keeper=$!
  service_state() { timeout 60 "$root/scripts/wine-run.sh" sc query DoorlockHost </dev/null 2>/dev/null | tr -d '\r'; }
  service_running() {
    local deadline=$((SECONDS + 60))
    until service_state | grep -q 'RUNNING'; do
      [ $SECONDS -lt $deadline ] || { fail "the service is not running: $(service_state)"; return 1; }
      sleep 0.5
    done
    wait_listening $port $keeper "$work/out.txt" "the service's host"
  }
  local grant="$icacls \"$data_folder\" /grant:r *S-1-5-19:(OI)(CI)M"
  service_steps() {
    # What the uninstall before asked.
    asked >/dev/null
    setup_run /SERVICE || { fail "install with /SERVICE exited with $?"; return 1; }
    expect_asked "$delete_rule" "$netsh $rule localport=$port remoteip=localsubnet" "$grant" || return 1
    service_running || return 1
    for link in "${links[@]}"; do
      [ ! -e "$link" ] || { fail "the service's installation made the shortcut $link"; return 1; }
    done
    # A reinstall stops it for the new programs and starts it again.
    setup_run || { fail "reinstall of the service exited with $?"; return 1; }
    expect_asked "$delete_rule" "$netsh $rule localport=$port remoteip=localsubnet" "$grant" || return 1
    service_running || return 1
    uninstall_wait "$folder" "$dir" || return 1
    local deadline=$((SECONDS + 60))
    while timeout 60 "$root/scripts/wine-run.sh" reg query 'HKLM\SYSTEM\CurrentControlSet\Services\DoorlockHost' \
      </dev/null >/dev/null 2>&1; do
      [ $SECONDS -lt $deadline ] || { fail "uninstall left the service registered"; return 1; }
      sleep 0.5
    done
    [ "$(rows)" = 张三 ] || { fail "after the service's uninstall Client.db holds '$(rows)'"; return 1; }
    asked >/dev/null
  }
  local result=0
  service_steps || { result=1; remove_service || true; }
  kill $keeper 2>/dev/null || true
  wait $keeper 2>/dev/null || true
  [ $result -eq 0 ] && echo "test-windows: the installer's service starts, serves, survives a reinstall and is removed"
  return $result
}

install_cycle() {
  local begun=$SECONDS setup programs
  linux_programs doorlock-cli
  if [ "$arch" = i686 ]; then
    setup=$(ls "$root"/build-windows/doorlock-host-*-win32.exe)
    programs='Program Files'
    [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ] || programs='Program Files (x86)'
  else
    setup=$(ls "$build"/doorlock-host-*-win64.exe)
    programs='Program Files'
    echo "test-windows: the shipped 32-bit installer is not run (no 32-bit programs here); the install" \
      "test runs the 64-bit installer made from the same script"
  fi
  local folder="C:\\$programs\\Doorlock Host" dir="$WINEPREFIX/drive_c/$programs/Doorlock Host"
  local data_folder='C:\ProgramData\DoorlockHost' data=$WINEPREFIX/drive_c/ProgramData/DoorlockHost
  local menu=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs
  local links=("$menu/Doorlock Host/Doorlock Host.lnk" "$menu/StartUp/Doorlock Host.lnk")
  local work=$build/install-check host_exe=doorlock-hostw.exe file link installed=("${shipped_files[@]}")
  # A build without the window (no Qt in the cache) installs the headless programs, and its shortcuts start
  # the console program.
  if ! grep -q 'DOORLOCK_GUI:BOOL=ON' "$build/CMakeCache.txt"; then
    host_exe=doorlock-host.exe
    installed=(Option.ini README.txt doorlock-cli.exe doorlock-host.exe)
  fi
  rm -rf "$dir" "$data" "$work" "$WINEPREFIX"/drive_c/doorlock-{foreign,elsewhere}
  mkdir -p "$work"
  # No installation before this one, whatever an earlier run left.
  local key
  for key in 'HKLM\Software\DoorlockHost' 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\DoorlockHost'; do
    "$root/scripts/wine-run.sh" reg delete "$key" /f </dev/null >/dev/null 2>&1 || true
  done
  remove_service
  fail() { echo "test-windows: installer: $*" >&2; }
  # The stand-ins replace Wine's own tools in the prefix (the native file, not Wine's built-in one).
  local sysdir
  for sysdir in system32 syswow64; do
    [ -d "$WINEPREFIX/drive_c/windows/$sysdir" ] || continue
    for file in icacls.exe netsh.exe; do
      cp "$build/bin/commandrecorder.exe" "$WINEPREFIX/drive_c/windows/$sysdir/$file"
    done
  done
  local commands=$work/commands.txt
  export DOORLOCK_COMMAND_LOG='Z:'$(echo "$commands" | tr / '\\')
  local overrides=$WINEDLLOVERRIDES
  export WINEDLLOVERRIDES="$overrides;icacls.exe,netsh.exe=n"
  setup_run() { timeout 300 "$root/scripts/wine-run.sh" "$setup" /S "$@"; }
  # What setup asked since the last look, one command a line.
  asked() { [ -f "$commands" ] && tr -d '\r' <"$commands"; : >"$commands"; }
  local icacls='"C:\windows\system32\icacls.exe"' netsh='"C:\windows\system32\netsh.exe"'
  local rights='/inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)M'
  local rule='advfirewall firewall add rule name="Doorlock Host" dir=in action=allow protocol=TCP'
  local delete_rule="$netsh advfirewall firewall delete rule name=\"Doorlock Host\""
  expect_asked() {
    local got
    got=$(asked)
    [ "$got" = "$(printf '%s\n' "$@")" ] && return 0
    fail "setup asked"$'\n'"$got"$'\n'"instead of"$'\n'"$(printf '%s\n' "$@")"
    return 1
  }

  # Refused, with status 2 and nothing done: a program folder made by something else, a bad /PMS.
  mkdir -p "$WINEPREFIX/drive_c/doorlock-foreign"
  local refused=0
  setup_run '/D=C:\doorlock-foreign' || refused=$?
  [ $refused -eq 2 ] || { fail "a program folder of something else gave status $refused, not 2"; return 1; }
  [ -z "$(ls -A "$WINEPREFIX/drive_c/doorlock-foreign")" ] || { fail "setup wrote into a folder of something else"; return 1; }
  refused=0
  setup_run /PMS=192.0.2.256 || refused=$?
  [ $refused -eq 2 ] || { fail "/PMS=192.0.2.256 gave status $refused, not 2"; return 1; }
  [ ! -e "$data" ] && [ -z "$(asked)" ] || { fail "a refused setup did something"; return 1; }

  # A data folder made before setup (by anyone): its owner and rights are reset.
  mkdir -p "$data"
  setup_run /AUTOSTART /PMS=192.0.2.7 || { fail "install exited with $?"; return 1; }
  expect_asked "$icacls \"$data_folder\" /setowner *S-1-5-32-544 /T /C /L" "$icacls \"$data_folder\" $rights" \
    "$icacls \"$data_folder\\*\" /reset /T /C /L" "$delete_rule" "$netsh $rule localport=8886 remoteip=192.0.2.7" ||
    return 1
  for file in "${installed[@]}" Uninstall.exe; do
    [ "$file" = Option.ini ] || [ -f "$dir/$file" ] || { fail "$file not installed in $folder"; return 1; }
  done
  [ ! -e "$dir/Option.ini" ] || { fail "Option.ini installed beside the programs"; return 1; }
  for link in "${links[@]}"; do
    # The link names its target and its arguments in UTF-16.
    strings -el "$link" 2>/dev/null | grep -qiF "$folder\\$host_exe" ||
      { fail "no shortcut $link to $host_exe"; return 1; }
    strings -el "$link" 2>/dev/null | grep -qiF -- "--dir \"$data_folder\"" ||
      { fail "the shortcut $link does not name the data folder"; return 1; }
  done
  grep -qxF "EncoderLibrary=$folder\cardenc.dll"$'\r' "$data/Option.ini" ||
    { fail "Option.ini does not name the program folder's cardenc.dll"; return 1; }
  grep -qxF 'AllowedClients=192.0.2.7'$'\r' "$data/Option.ini" ||
    { fail "/PMS=192.0.2.7 did not give AllowedClients=192.0.2.7"; return 1; }
  grep -qxF 'LogRollover=Daily'$'\r' "$data/Option.ini" && grep -qxF 'LogRetentionDays=180'$'\r' "$data/Option.ini" ||
    { fail "the new Option.ini does not keep daily log files for 180 days"; return 1; }

  # The vendor's library goes beside the program, where the installed Option.ini already looks for it. The
  # host runs as the shortcut starts it.
  cp "$build/bin/cardenc.dll" "$dir/"
  local port=$((20000 + RANDOM % 10000)) pid
  sed -i -e "s/^DoorlockPortNo=.*\r\$/DoorlockPortNo=$port\r/" -e 's/^AllowedClients=.*\r$/AllowedClients=127.0.0.1\r/' \
    "$data/Option.ini"
  "$root/scripts/wine-run.sh" "$folder\\doorlock-host.exe" --headless --dir "$data_folder" >"$work/out.txt" 2>&1 &
  pid=$!
  wait_listening $port $pid "$work/out.txt" "the installed host" || return 1
  local issued=0
  "$linux_cli" --port $port issue 0816 --checkin '2026-12-29 12:00:00' --checkout '2026-12-31 14:30:00' \
    --guest 张三 >/dev/null || issued=$?
  kill -INT $pid
  wait $pid || true
  [ $issued -eq 0 ] || { fail "the installed host did not issue the card (client status $issued)"; return 1; }
  rows() { sqlite3 "$data/Client.db" 'select GuestName from T_IssueCardRecord'; }
  [ "$(rows)" = 张三 ] || { fail "the data folder's Client.db holds '$(rows)', not the one card"; return 1; }
  [ ! -e "$dir/Client.db" ] || { fail "Client.db written beside the programs"; return 1; }
  cp "$data/Option.ini" "$work/option.ini"
  local data_files
  data_files=$(cd "$data" && ls | LC_ALL=C sort)

  # A reinstall: the desk's Option.ini stays (its port is what the rule opens now, the new address what it
  # lets in); the data folder is setup's own already.
  setup_run /PMS=192.0.2.0/24 || { fail "reinstall exited with $?"; return 1; }
  expect_asked "$delete_rule" "$netsh $rule localport=$port remoteip=192.0.2.0/24" || return 1
  cmp -s "$data/Option.ini" "$work/option.ini" || { fail "reinstall changed Option.ini"; return 1; }
  [ "$(rows)" = 张三 ] || { fail "after reinstall Client.db holds '$(rows)'"; return 1; }
  [ -f "${links[1]}" ] || { fail "reinstall dropped the log-on shortcut"; return 1; }

  # The uninstaller runs as a copy of itself that it starts and does not wait for: wait for what it removes.
  uninstall_wait() {
    timeout 300 "$root/scripts/wine-run.sh" "$1\\Uninstall.exe" /S || { fail "uninstall exited with $?"; return 1; }
    local deadline=$((SECONDS + 120))
    while [ -e "$2/Uninstall.exe" ] || ! grep -q 'delete rule' "$commands" 2>/dev/null; do
      [ $SECONDS -lt $deadline ] || { fail "the uninstaller did not finish"; return 1; }
      sleep 0.2
    done
  }
  uninstall_wait "$folder" "$dir" || return 1
  local removed=("${links[@]}")
  for file in "${installed[@]}" Uninstall.exe; do
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
  expect_asked "$delete_rule" || return 1
  [ "$(cd "$data" && ls | LC_ALL=C sort)" = "$data_files" ] || { fail "uninstall changed the data folder's files"; return 1; }
  cmp -s "$data/Option.ini" "$work/option.ini" || { fail "uninstall changed Option.ini"; return 1; }
  [ -f "$dir/cardenc.dll" ] || { fail "uninstall removed the vendor's cardenc.dll"; return 1; }
  # The program folder kept for the vendor's library is still this product's for the next installation,
  # which without an address lets the local subnet in.
  setup_run || { fail "install over the kept program folder exited with $?"; return 1; }
  expect_asked "$delete_rule" "$netsh $rule localport=$port remoteip=localsubnet" || return 1
  uninstall_wait "$folder" "$dir" || return 1
  service_cycle || return 1
  # A new program folder outside Program Files gets the rights of Program Files, not those of its drive.
  setup_run '/D=C:\doorlock-elsewhere' || { fail "install into C:\doorlock-elsewhere exited with $?"; return 1; }
  asked | grep -qxF "$icacls \"C:\doorlock-elsewhere\" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX" ||
    { fail "a program folder outside Program Files kept the rights of its drive"; return 1; }
  uninstall_wait 'C:\doorlock-elsewhere' "$WINEPREFIX/drive_c/doorlock-elsewhere" || return 1
  export WINEDLLOVERRIDES=$overrides
  unset DOORLOCK_COMMAND_LOG
  rm -rf "$work" "$WINEPREFIX"/drive_c/doorlock-{foreign,elsewhere}
  echo "test-windows: install, reinstall and uninstall under Wine passed in $((SECONDS - begun)) s"
}
! runs install_cycle || install_cycle || status=1

echo "test-windows: $((SECONDS - started)) s"
exit "$status"
