#!/usr/bin/env bash
# Installs what is needed, builds with warnings as errors (preset "ci", into build/) and runs every test,
# then the Debian package's test (as root: it installs and removes the package). Arguments go to ctest
# (e.g. -L unit, -L e2e, -L gui).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh ci
ctest --preset ci --parallel "$(nproc)" --timeout 600 "$@"
bash scripts/test-package.sh
