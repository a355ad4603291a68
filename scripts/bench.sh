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
