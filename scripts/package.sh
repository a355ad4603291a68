#!/usr/bin/env bash
# Builds the Debian package build-release/doorlock-host_<version>_<arch>.deb: the host (window and headless),
# doorlock-cli, Qt's zh_CN translation and the systemd unit doorlock-host.service. Reuses build-release/
# (the benchmarks' Release build, preset "package") and builds only the two programs. Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset package >/dev/null
cmake --build --preset package --parallel "$(nproc)" --target doorlock-host doorlock-cli
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-release/CMakeCache.txt)
arch=$(dpkg --print-architecture)
deb="build-release/doorlock-host_${version}_${arch}.deb"
rm -f "$deb"
(cd build-release && cpack -G DEB >/dev/null)
test -f "$deb"
echo "$PWD/$deb"
