#!/usr/bin/env bash
# Builds the Debian package build-package/doorlock-host_<version>_<arch>.deb: the host (window and headless),
# doorlock-cli, Qt's zh_CN translation and the systemd unit doorlock-host.service. Builds only the two programs
# of the Release preset "package" (a tree of its own, so that the benchmarks' build-release/ stays as it is).
# Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset package >/dev/null
cmake --build --preset package --parallel "$(nproc)" --target doorlock-host doorlock-cli
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-package/CMakeCache.txt)
arch=$(dpkg --print-architecture)
deb="build-package/doorlock-host_${version}_${arch}.deb"
rm -f "$deb"
(cd build-package && cpack -G DEB >/dev/null)
test -f "$deb"
echo "$PWD/$deb"
