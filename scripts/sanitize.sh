#!/usr/bin/env bash
# Builds the headless host and its tests with AddressSanitizer and UndefinedBehaviorSanitizer (preset
# "sanitize", into build-sanitize/) and runs every test there. Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh sanitize
ctest --preset sanitize --parallel "$(nproc)" "$@"
