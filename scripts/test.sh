#!/usr/bin/env bash
# Installs what is needed, builds with warnings as errors and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh -DDOORLOCK_WERROR=ON
cd build
ctest --output-on-failure --parallel "$(nproc)" --timeout 600
