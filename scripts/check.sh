#!/usr/bin/env bash
# The fast lane for a developer: builds the headless build (no Qt) incrementally and runs its unit tests.
# No root, no apt, no Wine, no package, no sanitizers: the packages of scripts/install-deps.sh must be there
# already. Use it while changing code; run scripts/test.sh (every check, as CI) before a change lands.
# Usage: scripts/check.sh [ctest arguments...]   e.g. scripts/check.sh -R DoorlockMessageHandler
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
fi
# Configure once; later runs only build what changed.
[ -f build-headless/build.ninja ] || cmake --preset headless
cmake --build --preset headless --parallel "$(nproc)"
ctest --test-dir build-headless -L unit --output-on-failure --parallel "$(nproc)" --timeout 300 "$@"
echo "check.sh: passed in $((SECONDS - start)) s"
