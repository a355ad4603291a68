#!/usr/bin/env bash
# Builds the headless host and its tests with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-sanitize/ and runs every test there. Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDOORLOCK_SANITIZE=ON -DDOORLOCK_GUI=OFF \
  -DDOORLOCK_BENCH=OFF -DDOORLOCK_WERROR=ON
cmake --build build-sanitize --parallel "$(nproc)"
cd build-sanitize
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --output-on-failure --parallel "$(nproc)" "$@"
