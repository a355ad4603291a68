#!/usr/bin/env bash
# Installs what is needed, builds with warnings as errors and runs every test (beside a private PostgreSQL
# server).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh -DDOORLOCK_WERROR=ON
# The record-store tests run on SQLite and on a private PostgreSQL server started for them.
bash scripts/with-postgres.sh --fast ctest --test-dir build --output-on-failure --parallel "$(nproc)" --timeout 600
