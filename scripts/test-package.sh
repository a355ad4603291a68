#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get, checks the service unit with systemd-analyze (known
# keys only; an exposure of 2.0 or less), runs the installed host as the service would (user doorlock, group
# dialout, in /var/lib/doorlock-host), serves one IssueCard with the installed doorlock-cli, then removes the
# package and checks that the program directory stays. Undoes what it created (package, user, directory); in
# a program directory that was there before it puts back Option.ini and SimCard.bin and leaves its log lines.
# Needs root; a machine with the package installed is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=/var/lib/doorlock-host
if [ "$(id -u)" -ne 0 ]; then
  echo "test-package: SKIP (needs root)"
  exit 0
fi
# One package test at a time on a machine: they share the package, the user and the directory.
mkdir -p /run/lock
exec 9>/run/lock/doorlock-test-package.lock
flock 9
if dpkg-query -W -f='${Status}' doorlock-host 2>/dev/null | grep -q 'install ok installed'; then
  echo "test-package: SKIP (doorlock-host is installed here; not touching it)"
  exit 0
fi

fail() {
  echo "test-package: FAIL: $*" >&2
  exit 1
}

created_dir=1
[ -e "$dir" ] && created_dir=0
created_user=1
getent passwd doorlock >/dev/null && created_user=0
backup=$(mktemp -d)
host_pid=""
installed=0

cleanup() {
  [ -n "$host_pid" ] && kill -KILL "$host_pid" 2>/dev/null || true
  if [ "$installed" -eq 1 ]; then
    apt-get purge -y -qq -o DPkg::Lock::Timeout=300 doorlock-host >/dev/null 2>&1 || true
  fi
  if [ "$created_dir" -eq 1 ]; then
    rm -rf "$dir"
  else
    for f in Option.ini SimCard.bin; do
      rm -f "$dir/$f"
      [ -e "$backup/$f" ] && cp -p "$backup/$f" "$dir/$f"
    done
  fi
  if [ "$created_user" -eq 1 ] && getent passwd doorlock >/dev/null; then
    userdel doorlock
    getent group doorlock >/dev/null && groupdel doorlock
  fi
  rm -rf "$backup"
}
trap cleanup EXIT

deb=$(bash scripts/package.sh | tail -n 1)
echo "test-package: installing $deb"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq -o DPkg::Lock::Timeout=300 "$deb" >/dev/null
installed=1

# The maintainer scripts made the user and the directory.
getent passwd doorlock >/dev/null || fail "no user doorlock"
[ "$(stat -c %U "$dir")" = doorlock ] || fail "$dir is not owned by doorlock"
# A new directory gets an Option.ini with a log file per day, kept 180 days.
if [ "$created_dir" -eq 1 ]; then
  grep -qx 'LogRollover=Daily' "$dir/Option.ini" && grep -qx 'LogRetentionDays=180' "$dir/Option.ini" ||
    fail "the new Option.ini does not keep daily log files for 180 days"
  [ "$(stat -c %U:%G:%a "$dir/Option.ini")" = doorlock:doorlock:660 ] || fail "the new Option.ini's owner or mode"
fi
unit=$(dpkg -L doorlock-host | grep '/doorlock-host\.service$')
# A key this systemd does not know is only warned about: it must not be there.
verify=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify $unit: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify $unit: $verify"
# The confinement: an overall exposure of 2.0 or less (the threshold is in tenths).
security=$(systemd-analyze security --offline=yes --threshold=20 "$unit" 2>&1) ||
  fail "the unit's exposure is above 2.0: $(echo "$security" | grep -E '✗|Overall')"
echo "test-package: $(echo "$security" | grep 'Overall exposure')"
grep -q '^ExecStart=/usr/bin/doorlock-host --headless --dir /var/lib/doorlock-host$' "$unit" || fail "ExecStart"
# The monitoring examples load as the operations guide copies them.
examples=/usr/share/doorlock-host/prometheus
if command -v promtool >/dev/null; then
  rules=$(promtool check rules "$examples/doorlock-rules.yml" 2>&1) || fail "promtool check rules: $rules"
  config=$(promtool check config "$examples/prometheus-doorlock.yml" 2>&1) || fail "promtool check config: $config"
else
  [ -f "$examples/doorlock-rules.yml" ] && [ -f "$examples/prometheus-doorlock.yml" ] || fail "no $examples"
fi

# Started as the unit starts it.
for f in Option.ini SimCard.bin; do
  [ -e "$dir/$f" ] && cp -p "$dir/$f" "$backup/$f"
done
output=$(mktemp -p "$backup")
port=0
for attempt in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 40000))
  printf '[SysOption]\r\nDoorlockPortNo=%s\r\n' "$port" >"$dir/Option.ini"
  head -c 256 /dev/zero | tr '\0' '\377' >"$dir/SimCard.bin"
  chown doorlock:doorlock "$dir/Option.ini" "$dir/SimCard.bin"
  (cd "$dir" && umask 0007 && exec setpriv --reuid=doorlock --regid=doorlock --groups=dialout --no-new-privs \
    /usr/bin/doorlock-host --headless --dir "$dir") >"$output" 2>&1 &
  host_pid=$!
  for _ in $(seq 1 200); do
    grep -q '已经启动' "$output" && break
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$host_pid" 2>/dev/null && break
  wait "$host_pid" || true
  host_pid=""
  grep -q 'already in use' "$output" || fail "the host did not start: $(cat "$output")"
done
[ -n "$host_pid" ] || fail "no free port"

response=""
for _ in $(seq 1 100); do
  if response=$(/usr/bin/doorlock-cli --port "$port" --timeout 10 issue 0816 --checkin '2026-12-29 12:00:00' \
    --checkout '2026-12-31 14:30:00'); then
    break
  fi
  sleep 0.1
done
echo "$response" | grep -q '<ResultCode>200</ResultCode><ResultMessage>发卡成功</ResultMessage><CardNo>816123114</CardNo>' ||
  fail "IssueCard: $response"
[ "$(od -An -tx1 -N6 "$dir/SimCard.bin" | tr -d ' \n')" = 110816123114 ] || fail "card not written"
log=$(ls "$dir"/*.LOG)
[ "$(stat -c %U:%G "$log")" = doorlock:doorlock ] || fail "log owned by $(stat -c %U:%G "$log")"
[ "$(stat -c %U "/proc/$host_pid")" = doorlock ] || fail "host not running as doorlock"
kill -TERM "$host_pid"
status=0
wait "$host_pid" || status=$?
host_pid=""
[ "$status" -eq 0 ] || fail "the host exited $status on SIGTERM"
grep -q '接口监听服务器已经停止。' "$output" || fail "no stop line"

# Removed (purged where this test made the installation's directory): the directory and its records stay.
if [ "$created_dir" -eq 1 ]; then
  apt-get purge -y -qq -o DPkg::Lock::Timeout=300 doorlock-host >/dev/null
else
  apt-get remove -y -qq -o DPkg::Lock::Timeout=300 doorlock-host >/dev/null
fi
installed=0
[ ! -e /usr/bin/doorlock-host ] || fail "program left after removal"
[ -f "$log" ] && [ -f "$dir/Option.ini" ] || fail "$dir was not kept"
echo "test-package: PASS"
