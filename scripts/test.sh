#!/usr/bin/env bash
# Installs what is needed, builds with warnings as errors and runs every test (the record-store tests on
# SQLite and on a private PostgreSQL server started for them), then the Debian package's test (as root: it
# installs and removes the package).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh -DDOORLOCK_WERROR=ON
bash scripts/with-postgres.sh --fast ctest --test-dir build --output-on-failure --parallel "$(nproc)" --timeout 600
bash scripts/test-package.sh
