#!/usr/bin/env bash
# Installs what is needed, builds the host and doorlock-cli (only these two, no tests or benchmarks: the
# README's walk-throughs use the client) and starts the host on the embedded defaults (port 8886, password
# "mirvek") in the local program directory run/, with the simulated encoder and a blank card.
# Without a display (or in a build without the window) the host runs headless; Ctrl+C stops it. Extra
# arguments go to doorlock-host (e.g. --headless).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# An existing build/ (perhaps configured by scripts/test.sh) is reused as it is.
[ -f build/CMakeCache.txt ] || cmake --preset default
cmake --build build --parallel "$(nproc)" --target doorlock-host doorlock-cli
mkdir -p run
# A blank card on the simulated encoder: 256 bytes 0xFF.
[ -f run/SimCard.bin ] || head -c 256 /dev/zero | tr '\0' '\377' > run/SimCard.bin
args=(--dir "$PWD/run")
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || ! grep -q 'DOORLOCK_GUI:BOOL=ON' build/CMakeCache.txt; then
  args+=(--headless)
fi
echo "doorlock-host ${args[*]} $* (program directory: $PWD/run)"
exec build/bin/doorlock-host "${args[@]}" "$@"
