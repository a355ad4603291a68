#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the benchmarks need.
# Idempotent: packages already present are left alone. Run as root (or with sudo).
set -euo pipefail

packages=(
  cmake ninja-build pkg-config g++ git
  qt6-base-dev qt6-translations-l10n libqt6svg6
  libgtest-dev libgmock-dev libbenchmark-dev
  libsoci-dev libboost-dev libsqlite3-dev libpq-dev postgresql
  xvfb xauth x11-utils fonts-noto-cjk
  clang libclang-rt-14-dev clang-format
  dpkg-dev file systemd libsystemd-dev
  libssl-dev openssl stunnel4 libasio-dev
  prometheus
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
