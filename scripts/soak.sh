#!/usr/bin/env bash
# Soak (not part of CI): builds Release into build-release/ and runs the real headless host for MINUTES
# (default 20) under mixed requests from 16 clients at 200 requests per second, printing its resident memory,
# descriptors and threads every minute. Fails when memory grew in the second half (caches fill in the first
# minutes; a leak keeps growing), descriptors or threads stayed behind, or a request failed.
# Further arguments go to doorlock-loadgen (--soak-clients N, --soak-rate R).
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-20}
shift || true
cmake --preset release >/dev/null
cmake --build --preset release --parallel "$(nproc)" --target doorlock-host doorlock-loadgen
build-release/bin/doorlock-loadgen --soak "$minutes" "$@"
