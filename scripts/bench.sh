#!/usr/bin/env bash
# Builds Release into build-release/ (preset "release": headless, no tests) and runs the benchmarks: the load generator against
# the real host first (records on Client.db and on a private PostgreSQL server), then the Google Benchmark
# programs of the code page, the XML reader and the record store.
# Arguments go to doorlock-loadgen (e.g. --seconds 5, --report-only; see --help). The exit status is the load
# generator's: non-zero when one of its targets failed (unless --report-only).
# The figures depend on the machine's load: the load generator prints /proc/loadavg with them.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release
cmake --build --preset release --parallel "$(nproc)" \
  --target doorlock-host doorlock-loadgen codepage_bench xml_bench store_bench records_bench

status=0
# IssueCard with records runs on Client.db and, in the same run, on a private PostgreSQL server (which syncs
# every commit, as Client.db does).
# BENCH_BEFORE_HOST=path/to/an/older/doorlock-host: the PostgreSQL IssueCard at 8 clients also with that host,
# beside the same server in the same run, this build and that one in turns (twice each), to compare the two
# (e.g. a release build of main in a worktree of its own).
if [ -n "${BENCH_BEFORE_HOST:-}" ]; then
  bash scripts/with-postgres.sh bash -c '
    for round in 1 2; do
      for host in build-release/bin/doorlock-host "$BENCH_BEFORE_HOST"; do
        echo "== IssueCard on PostgreSQL, round $round, host $host"
        build-release/bin/doorlock-loadgen --host "$host" --clients 8 --report-only "$@" |
          grep -E "host IssueCard, PostgreSQL|issue records stored" || true
      done
    done' bench "$@" || status=$?
fi
bash scripts/with-postgres.sh build-release/bin/doorlock-loadgen "$@" || status=$?
# ReadCard over TLS with client certificates at 8 clients, with and without resumption, beside plain TCP.
echo
echo "== doorlock-loadgen --tls"
build-release/bin/doorlock-loadgen --tls "$@" || status=$?
for bench in codepage_bench xml_bench store_bench; do
  echo
  echo "== $bench"
  build-release/bin/$bench
done
# The issued-card list on a million rows, on Client.db and on a private PostgreSQL server.
echo
echo "== records_bench"
bash scripts/with-postgres.sh build-release/bin/records_bench
exit "$status"
