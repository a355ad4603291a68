#!/usr/bin/env bash
# Runs a command beside private PostgreSQL servers: clusters in a temporary directory owned by the
# unprivileged user postgres (when run as root), each listening on a free loopback port and on a socket in
# that directory, all stopped and removed whatever the command does.
# The command sees DOORLOCK_TEST_PG, a postgresql:// URI of the server the tests share, and
# DOORLOCK_TEST_PG_RESTART with DOORLOCK_TEST_PG_RESTART_CONTROL: a second server, for the one test that
# stops and starts its server under a running host, and a program that takes "stop" or "start" for it; and
# DOORLOCK_TEST_PG_PRIMARY with DOORLOCK_TEST_PG_STANDBY: the ports of a primary and of its streaming standby
# (synchronous replication: a commit returns once the standby has it), for the failover test, whose program
# DOORLOCK_TEST_PG_FAILOVER_CONTROL takes "stop-primary" or "promote".
# --fast turns fsync off (tests); without it the servers sync as a production server does (benchmarks).
# Usage: scripts/with-postgres.sh [--fast] COMMAND [ARGS...]
set -euo pipefail

fsync=on
if [ "${1:-}" = "--fast" ]; then
  fsync=off
  shift
fi
bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
if [ -z "$bindir" ]; then
  echo "with-postgres: no PostgreSQL server installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

dir=$(mktemp -d /tmp/doorlock-pg.XXXXXX)
as_owner=()
if [ "$(id -u)" -eq 0 ]; then
  chown postgres: "$dir"
  as_owner=(runuser -u postgres --)
fi
cleanup() {
  for data in "$dir"/*/PG_VERSION; do
    [ -e "$data" ] || continue
    "${as_owner[@]}" "$bindir/pg_ctl" -D "$(dirname "$data")" -m immediate stop >/dev/null 2>&1 || true
  done
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"${as_owner[@]}" "$bindir/initdb" -D "$dir/shared" -U postgres --auth=trust -E UTF8 --locale=C \
  >"$dir/initdb.log" || { cat "$dir/initdb.log" >&2; exit 1; }
"${as_owner[@]}" cp -a "$dir/shared" "$dir/restart"
"${as_owner[@]}" cp -a "$dir/shared" "$dir/primary"

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# start_cluster NAME [SETTINGS]: starts the cluster in $dir/NAME on a free port, which it leaves in $port;
# SETTINGS are more lines of its configuration.
start_cluster() {
  local data="$dir/$1"
  for _ in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 40000))
    port_in_use "$port" && continue
    cat >"$data/postgresql.auto.conf" <<CONF
port = $port
listen_addresses = '127.0.0.1'
unix_socket_directories = '$dir'
fsync = $fsync
max_connections = 200
${2:-}
CONF
    if "${as_owner[@]}" "$bindir/pg_ctl" -D "$data" -l "$dir/$1.log" -w -t 60 start >/dev/null; then
      return 0
    fi
  done
  echo "with-postgres: the server did not start" >&2
  cat "$dir/$1.log" >&2 || true
  exit 1
}

start_cluster shared
export DOORLOCK_TEST_PG="postgresql://postgres@127.0.0.1:$port/postgres"
start_cluster restart
export DOORLOCK_TEST_PG_RESTART="postgresql://postgres@127.0.0.1:$port/postgres"
printf '#!/bin/sh\nexec %s -D %q -l %q -w -t 60 -m fast "$1" >/dev/null\n' "$(printf '%q ' "${as_owner[@]}" "$bindir/pg_ctl")" \
  "$dir/restart" "$dir/restart.log" >"$dir/control"
chmod 755 "$dir/control"
export DOORLOCK_TEST_PG_RESTART_CONTROL="$dir/control"

# The failover pair: the standby is a base backup of the primary that streams from it under the name
# "standby", which the primary waits for at every commit.
start_cluster primary "synchronous_standby_names = 'standby'"
primary_port=$port
"${as_owner[@]}" "$bindir/pg_basebackup" -D "$dir/standby" -h 127.0.0.1 -p "$primary_port" -U postgres \
  -X stream >"$dir/basebackup.log" 2>&1 || { cat "$dir/basebackup.log" >&2; exit 1; }
"${as_owner[@]}" touch "$dir/standby/standby.signal"
start_cluster standby "primary_conninfo = 'host=127.0.0.1 port=$primary_port user=postgres application_name=standby'"
export DOORLOCK_TEST_PG_PRIMARY=$primary_port DOORLOCK_TEST_PG_STANDBY=$port
printf '#!/bin/sh\ncase "$1" in\nstop-primary) exec %s -D %q -w -t 60 -m immediate stop >/dev/null ;;\npromote) exec %s -D %q -w -t 60 promote >/dev/null ;;\n*) exit 2 ;;\nesac\n' \
  "$(printf '%q ' "${as_owner[@]}" "$bindir/pg_ctl")" "$dir/primary" \
  "$(printf '%q ' "${as_owner[@]}" "$bindir/pg_ctl")" "$dir/standby" >"$dir/failover"
chmod 755 "$dir/failover"
export DOORLOCK_TEST_PG_FAILOVER_CONTROL="$dir/failover"
echo "with-postgres: PostgreSQL $("$bindir/postgres" --version | awk '{print $3}') on $DOORLOCK_TEST_PG and $DOORLOCK_TEST_PG_RESTART, failover pair on ports $DOORLOCK_TEST_PG_PRIMARY and $DOORLOCK_TEST_PG_STANDBY"
status=0
"$@" || status=$?
exit "$status"
