#!/usr/bin/env bash
# Configures and builds one preset of CMakePresets.json (default: "default", into build/; programs in
# build/bin/). Usage: scripts/build.sh [PRESET] [cmake configure arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=default
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  preset=$1
  shift
fi
cmake --preset "$preset" "$@"
cmake --build --preset "$preset" --parallel "$(nproc)"
