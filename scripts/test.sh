#!/usr/bin/env bash
# Installs what is needed, builds with warnings as errors and runs every test, then the Debian package's
# test (as root: it installs and removes the package), then the Windows build's tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh -DDOORLOCK_WERROR=ON
(cd build && ctest --output-on-failure --parallel "$(nproc)" --timeout 600)
bash scripts/test-package.sh
bash scripts/test-windows.sh
