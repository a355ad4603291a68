#!/usr/bin/env bash
# Cross-builds the Windows programs with MinGW-w64 (posix threads) into build-windows/ARCH/: doorlock-host.exe
# (console: --headless, or the window with a console behind it), doorlock-hostw.exe (the window, no console),
# doorlock-cli.exe and the test programs, and packs them: a zip and an NSIS installer
# (doorlock-host-VERSION-win32.zip and .exe), which for the shipped i686 build are left in build-windows/,
# for x86_64 (win64, for the tests only) in build-windows/x86_64/. Installs what it needs first.
#
# Usage: scripts/build-windows.sh [--arch i686|x86_64] [--packages-only] [--deps-only] [--no-tests]
#                                 [--no-window | --window-if-cached] [cmake arguments...]
#   i686 (the default) is what ships: the vendor's encoder library is a 32-bit DLL. x86_64 builds the same
#   code for machines whose Wine runs no 32-bit programs (scripts/test-windows.sh picks it there).
#
# SOCI, SQLite, OpenSSL, libpq and GoogleTest have no MinGW builds in Debian: SOCI (with its SQLite and
# PostgreSQL back ends), SQLite, OpenSSL (3.0 series) and libpq (PostgreSQL 15) are built from Debian's own
# source packages (fetched through an apt configuration of this script's own, which adds the deb-src
# entries and leaves the system's sources alone), GoogleTest from /usr/src/googletest. They are built
# statically, once per version and architecture, into DOORLOCK_WINDOWS_CACHE, a cache of the machine's
# (default ${XDG_CACHE_HOME:-~/.cache}/doorlock-host/windows), so that every clone on the machine (CI's
# too) builds them once; a step whose stamp is there is skipped. Builds of several clones at once take turns
# on the cache: on each architecture's libraries, on Qt, and on fetching sources, each under a lock of its own.
# OpenSSL and libpq are built as libraries only (no programs, no tests).
#
# Qt (Core, Gui, Widgets, Test, the windows and offscreen platform plugins, the JPEG image plugin) is built the
# same way, statically, from Debian's qt6-base source package of the version installed here, whose tools (moc,
# rcc, uic) serve as the host tools. Its cache stamp holds the version and a digest of the configure options,
# so a change of either builds it anew. This is the long step: about 1,050 build steps, 20 to 30 minutes on
# two cores, once per machine and architecture. --no-window skips it and builds the headless programs only;
# --window-if-cached builds the window where this architecture's Qt is in the cache already, and the headless
# programs only (saying so) where it is not.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

SOCI_VERSION=4.0.3
SQLITE_VERSION=3.40.1

arch=i686
packages_only=0
deps_only=0
tests=ON
window=ON
cmake_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=$2; shift 2 ;;
    --packages-only) packages_only=1; shift ;;
    --deps-only) deps_only=1; shift ;;
    --no-tests) tests=OFF; shift ;;
    --no-window) window=OFF; shift ;;
    --window-if-cached) window=IF_CACHED; shift ;;
    *) cmake_args+=("$1"); shift ;;
  esac
done
case "$arch" in
  i686 | x86_64) ;;
  *) echo "build-windows: unknown architecture $arch (i686 or x86_64)" >&2; exit 2 ;;
esac
triple=$arch-w64-mingw32
toolchain=$root/cmake/mingw-w64-$arch.cmake
cache=${DOORLOCK_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/doorlock-host/windows}
prefix=$cache/$arch
sources=$cache/src
jobs=$(nproc)
mkdir -p "$prefix" "$sources"

log() { echo "build-windows: $*"; }

# True when this machine runs 32-bit x86 programs (a kernel without IA-32 emulation does not): a 91-byte
# static i386 program that only exits with 0.
runs_32bit() {
  local probe
  probe=$(mktemp)
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\050\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\133\000\000\000\133\000\000\000\005\000\000\000\000\020\000\000\061\333\061\300\100\315\200' >"$probe"
  chmod +x "$probe"
  local status=0
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  return "$status"
}

# The 32-bit Wine (and the i386 architecture it comes from) only where 32-bit programs run.
install_packages() {
  local packages=(cmake ninja-build ccache tcl dpkg-dev xz-utils googletest sqlite3 libasio-dev
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 nsis
    qt6-base-dev qt6-base-dev-tools qt6-translations-l10n perl locales)
  local i386=0
  if runs_32bit; then
    i386=1
    packages+=(wine32:i386)
  fi
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if [ ${#missing[@]} -eq 0 ]; then
    make_locales
    return
  fi
  log "installing ${missing[*]}"
  [ $i386 -eq 0 ] || dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  make_locales
}

# Wine takes the system's ANSI code page from the locale: zh_CN.UTF-8 is a Chinese PC (936), en_US.UTF-8 a
# Western one (1252). The tests run the client under both.
make_locales() {
  local locale
  for locale in zh_CN en_US; do
    locale -a 2>/dev/null | grep -qx "$locale.utf8" && continue
    log "generating the locale $locale.UTF-8"
    $sudo localedef -i "$locale" -c -f UTF-8 "$locale.UTF-8"
  done
}

# An apt configuration of our own: the system's Debian entries of this release, as deb-src, with lists and
# cache under the cache directory.
apt_config() {
  local dir=$cache/apt
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/sources.list.d"
  : > "$dir/sources.list"
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    awk -v c="$codename" '$1 == "deb" && $0 ~ (" " c "([-/ ]|$)") { $1 = "deb-src"; print }' "$file" \
      >> "$dir/sources.list"
  done
  : > "$dir/sources.list.d/debian.sources"
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk -v c="$codename" 'BEGIN { RS = ""; ORS = "\n\n" }
      $0 ~ /(^|\n)Types:[^\n]*deb/ && $0 ~ ("(^|\n)Suites:[ \t]*" c "([- \t\n]|$)") {
        sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$file" \
      >> "$dir/sources.list.d/debian.sources"
  done
  if ! grep -q . "$dir/sources.list" "$dir/sources.list.d/debian.sources"; then
    echo "build-windows: no Debian $codename entry in the system's apt sources" >&2
    exit 1
  fi
  cat > "$dir/apt.conf" <<EOF
Dir::Etc::sourcelist "$dir/sources.list";
Dir::Etc::sourceparts "$dir/sources.list.d";
Dir::State::lists "$dir/lists";
Dir::Cache "$dir/cache";
Dir::Cache::archives "$dir/archives";
APT::Sandbox::User "root";
EOF
  echo "$dir/apt.conf"
}

apt_updated=0
# Runs "$@" holding the cache's fetch lock: the apt lists and the unpacked sources serve every architecture.
fetch_lock() {
  (
    exec 8>"$cache/.lock-fetch"
    flock 8
    "$@"
  )
}
# Whether $sources/$1 was unpacked whole: a fetch cut short (a build stopped meanwhile) leaves a folder
# without the mark, which the next fetch removes and unpacks again.
unpacked() {
  [ -f "$sources/.$1.unpacked" ] && [ -d "$sources/$1" ] && return 0
  rm -rf "${sources:?}/$1"
  return 1
}
# Fetches and unpacks Debian's source package $1 of upstream version $2 into $sources/$1-$2.
fetch_source() {
  local package=$1 version=$2
  unpacked "$package-$version" && return
  local conf
  conf=$(apt_config)
  if [ $apt_updated -eq 0 ]; then
    apt-get -c "$conf" update -qq
    apt_updated=1
  fi
  local debian_version
  debian_version=$(apt-cache -c "$conf" showsrc "$package" | awk -v v="$version" \
    '$1 == "Version:" && index($2, v "-") == 1 { print $2 }' | sort -V | tail -n 1)
  if [ -z "$debian_version" ]; then
    echo "build-windows: Debian has no source of $package $version" >&2
    exit 1
  fi
  log "fetching the source of $package $debian_version"
  (cd "$sources" && apt-get -c "$conf" source -qq "$package=$debian_version" >/dev/null)
  [ -d "$sources/$package-$version" ] || { echo "build-windows: $package-$version not unpacked" >&2; exit 1; }
  touch "$sources/.$package-$version.unpacked"
}

# Fetches and unpacks the newest of Debian's sources of package $1 in upstream series $2 (say 3.0) into
# $sources/$1-VERSION and prints VERSION. A source that the mirror does not serve (yet) gives way to the
# next older one.
fetch_newest() {
  local package=$1 series=$2 conf
  conf=$(apt_config)
  apt-get -c "$conf" update -qq
  local debian_version version
  for debian_version in $(apt-cache -c "$conf" showsrc "$package" | awk -v s="$series." \
    '$1 == "Version:" && index($2, s) == 1 { print $2 }' | sort -Vr); do
    version=${debian_version%-*}
    if ! unpacked "$package-$version"; then
      log "fetching the source of $package $debian_version" >&2
      (cd "$sources" && apt-get -c "$conf" source -qq "$package=$debian_version" >/dev/null 2>&1) &&
        [ -d "$sources/$package-$version" ] && touch "$sources/.$package-$version.unpacked"
    fi
    if unpacked "$package-$version"; then
      echo "$version"
      return
    fi
    log "the source of $package $debian_version could not be fetched" >&2
  done
  echo "build-windows: no source of $package $series could be fetched" >&2
  exit 1
}

# Static OpenSSL (libssl, libcrypto and their headers) from Debian's source of the 3.0 series: the TLS of
# the listeners and of the PostgreSQL client. Only the libraries are built; the stamp holds the series and a
# digest of the options (a newer upstream release of the series is taken when the options change).
build_openssl() {
  # Left out: what only the legacy provider offers (old ciphers and digests), engines, loadable modules,
  # protocols and algorithms nobody here speaks (SSL 3, DTLS, SCTP, SRP, GOST, the SM family, binary
  # curves), the certificate management, time-stamp, transparency and OCSP protocols, and the automatic
  # reading of openssl.cnf. Configure takes a Windows --openssldir as relative to the (Linux) prefix: the
  # directory it names then holds a drive colon inside, which no Windows folder can, so no openssl.cnf or
  # certificate file a desk's users might write is ever read from there.
  local options=(no-shared no-tests no-module no-engine no-legacy no-idea no-camellia no-seed no-bf no-cast
    no-rc2 no-rc4 no-rc5 no-md4 no-mdc2 no-whirlpool no-aria no-sm2 no-sm3 no-sm4 no-gost no-srp no-ssl3
    no-dtls no-sctp no-comp no-ts no-cmp no-ct no-ocsp no-ec2m no-rfc3779 no-srtp no-nextprotoneg
    no-siphash no-ocb no-scrypt no-blake2 no-ui-console no-autoload-config "--libdir=lib"
    "--openssldir=C:/Program Files/Common Files/SSL")
  # The 32-bit assembler modules come out position-independent in the ELF manner (GOTPC relocations), which
  # COFF cannot represent: the 32-bit build uses OpenSSL's C code.
  [ "$arch" = i686 ] && options+=(no-asm)
  local digest
  digest=$(printf '%s\n' "${options[@]}" | sha256sum | cut -c1-12)
  local stamp=$prefix/.openssl-3.0-$digest
  [ -f "$stamp" ] && return
  local version
  version=$(fetch_lock fetch_newest openssl 3.0)
  local target=mingw
  [ "$arch" = i686 ] || target=mingw64
  local work=$prefix/work-openssl
  rm -rf "$work"
  mkdir -p "$work"
  log "building OpenSSL $version for $triple (log: $work.log)"
  local begun=$SECONDS
  (cd "$work" && CC=gcc-posix nice -n 5 "$sources/openssl-$version/Configure" "$target" --cross-compile-prefix="$triple-" \
    --prefix="$prefix" "${options[@]}" >"$work.log" 2>&1) || { tail -50 "$work.log" >&2; exit 1; }
  nice -n 5 make -C "$work" -j"$jobs" build_libs >>"$work.log" 2>&1 || { tail -50 "$work.log" >&2; exit 1; }
  make -C "$work" install_dev >>"$work.log" 2>&1 || { tail -50 "$work.log" >&2; exit 1; }
  rm -rf "$work" "$work.log" "$prefix"/lib/*.dll.a "$prefix"/lib/engines-3 "$prefix"/lib/ossl-modules
  log "OpenSSL $version for $triple built in $((SECONDS - begun)) s"
  rm -f "$prefix"/.openssl-*
  echo "$version" >"$stamp"
}

# Static libpq from Debian's source of PostgreSQL 15, with the cached OpenSSL (sslmode=verify-full): only
# what libpq needs (src/port, src/common, src/interfaces/libpq), installed as libpq.a, libpgcommon.a,
# libpgport.a and the client headers.
build_libpq() {
  local options=(--without-readline --without-icu --without-zlib --without-lz4 --without-zstd --with-ssl=openssl
    --disable-nls)
  local digest
  # "static": the archive of libpq's own objects (a libpq.a the build leaves is the DLL's import library).
  digest=$(printf '%s\n' "${options[@]}" "$(cat "$prefix"/.openssl-*)" static | sha256sum | cut -c1-12)
  local stamp=$prefix/.libpq-15-$digest
  [ -f "$stamp" ] && return
  local version
  version=$(fetch_lock fetch_newest postgresql-15 15)
  local work=$prefix/work-libpq
  rm -rf "$work"
  mkdir -p "$work"
  log "building libpq $version for $triple (log: $work.log)"
  local begun=$SECONDS
  # Static OpenSSL needs the Windows libraries it calls wherever configure links against it.
  (cd "$work" && nice -n 5 "$sources/postgresql-15-$version/configure" --build="$(dpkg-architecture -qDEB_BUILD_GNU_TYPE)" \
    --host="$triple" CC="$triple-gcc-posix" \
    CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib" LIBS="-lcrypt32 -lws2_32" "${options[@]}" \
    >"$work.log" 2>&1) || { tail -50 "$work.log" >&2; exit 1; }
  # The headers that the source tree generates (errcodes.h ...) come first: a library target alone does not
  # make them.
  nice -n 5 make -C "$work/src/backend" generated-headers >>"$work.log" 2>&1 || { tail -50 "$work.log" >&2; exit 1; }
  local part
  for part in "src/port libpgport_shlib.a" "src/common libpgcommon_shlib.a" "src/interfaces/libpq libpq.a"; do
    # shellcheck disable=SC2086
    nice -n 5 make -C "$work"/$part -j"$jobs" >>"$work.log" 2>&1 || { tail -50 "$work.log" >&2; exit 1; }
  done
  mkdir -p "$prefix/include/libpq" "$prefix/lib"
  # On Windows the library's make gives libpq.dll and its import library: the programs link libpq's objects
  # themselves (all but the DLL's version resource), so that no libpq.dll has to sit beside them.
  rm -f "$prefix/lib/libpq.a"
  find "$work/src/interfaces/libpq" -maxdepth 1 -name '*.o' ! -name 'libpqrc.o' -print0 | sort -z |
    xargs -0 "$triple-ar" rcs "$prefix/lib/libpq.a"
  # libpq brings a small pthread of its own for Windows, whose names (and mutex type) clash with
  # winpthreads, the posix thread model the programs are built with: its functions take names of their own.
  # 32-bit C names carry a leading underscore.
  local symbol underscore="" renames=()
  [ "$arch" != i686 ] || underscore=_
  for symbol in pthread_self pthread_setspecific pthread_getspecific pthread_mutex_init pthread_mutex_lock \
    pthread_mutex_unlock; do
    renames+=(--redefine-sym "$underscore$symbol=${underscore}pq_$symbol")
  done
  "$triple-objcopy" "${renames[@]}" "$prefix/lib/libpq.a"
  cp "$work/src/common/libpgcommon_shlib.a" "$prefix/lib/libpgcommon.a"
  cp "$work/src/port/libpgport_shlib.a" "$prefix/lib/libpgport.a"
  local tree=$sources/postgresql-15-$version
  cp "$tree/src/interfaces/libpq/libpq-fe.h" "$tree/src/interfaces/libpq/libpq-events.h" \
    "$tree/src/include/postgres_ext.h" "$work/src/include/pg_config_ext.h" "$prefix/include/"
  cp "$tree/src/include/libpq/libpq-fs.h" "$prefix/include/libpq/"
  rm -rf "$work" "$work.log"
  log "libpq $version for $triple built in $((SECONDS - begun)) s"
  rm -f "$prefix"/.libpq-*
  echo "$version" >"$stamp"
}

build_sqlite() {
  local stamp=$prefix/.sqlite-$SQLITE_VERSION
  [ -f "$stamp" ] && return
  fetch_lock fetch_source sqlite3 "$SQLITE_VERSION"
  local tree=$sources/sqlite3-$SQLITE_VERSION
  # The amalgamation is generated by the source tree's own tools (with tclsh), on the build machine.
  if [ ! -f "$tree/bld/sqlite3.c" ]; then
    log "making the SQLite amalgamation"
    mkdir -p "$tree/bld"
    (cd "$tree/bld" && ../configure --disable-tcl >/dev/null && nice -n 5 make -s sqlite3.c >/dev/null)
  fi
  log "building SQLite $SQLITE_VERSION for $triple"
  local work=$prefix/work-sqlite
  mkdir -p "$work" "$prefix/include" "$prefix/lib"
  nice -n 5 "$triple-gcc-posix" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_DEFAULT_WAL_SYNCHRONOUS=1 \
    -c "$tree/bld/sqlite3.c" -o "$work/sqlite3.o"
  rm -f "$prefix/lib/libsqlite3.a"
  "$triple-ar" rcs "$prefix/lib/libsqlite3.a" "$work/sqlite3.o"
  cp "$tree/bld/sqlite3.h" "$tree/bld/sqlite3ext.h" "$prefix/include/"
  rm -rf "$work"
  touch "$stamp"
}

build_soci() {
  # With the PostgreSQL back end over the cached libpq; a SOCI built before that is built anew.
  local stamp=$prefix/.soci-$SOCI_VERSION-postgresql-$(cat "$prefix"/.libpq-*)
  [ -f "$stamp" ] && return
  fetch_lock fetch_source soci "$SOCI_VERSION"
  log "building SOCI $SOCI_VERSION for $triple"
  local work=$prefix/work-soci
  rm -rf "$work"
  cmake -S "$sources/soci-$SOCI_VERSION" -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DDOORLOCK_WINDOWS_DEPS="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DSOCI_CXX11=ON -DSOCI_STATIC=ON -DSOCI_SHARED=OFF -DSOCI_TESTS=OFF -DWITH_BOOST=OFF -DSOCI_EMPTY=OFF \
    -DWITH_SQLITE3=ON -DSQLITE3_INCLUDE_DIR="$prefix/include" -DSQLITE3_LIBRARY="$prefix/lib/libsqlite3.a" \
    -DWITH_POSTGRESQL=ON -DPOSTGRESQL_INCLUDE_DIR="$prefix/include" -DPOSTGRESQL_LIBRARY="$prefix/lib/libpq.a" \
    -DPOSTGRESQL_VERSION_STRING="$(cat "$prefix"/.libpq-*)" -DWITH_MYSQL=OFF -DWITH_ODBC=OFF -DWITH_ORACLE=OFF -DWITH_FIREBIRD=OFF \
    -DWITH_DB2=OFF >"$work.log" 2>&1 || { cat "$work.log" >&2; exit 1; }
  nice -n 5 cmake --build "$work" --parallel "$jobs" >>"$work.log" 2>&1 || { tail -50 "$work.log" >&2; exit 1; }
  cmake --install "$work" >>"$work.log" 2>&1
  rm -rf "$work" "$work.log"
  rm -f "$prefix"/.soci-*
  touch "$stamp"
}

build_googletest() {
  local version
  version=$(dpkg-query -W -f='${Version}' googletest)
  local stamp=$prefix/.googletest-$version
  [ -f "$stamp" ] && return
  log "building GoogleTest $version for $triple"
  local work=$prefix/work-googletest
  rm -rf "$work"
  cmake -S /usr/src/googletest -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DDOORLOCK_WINDOWS_DEPS="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -Dgtest_disable_pthreads=ON -DBUILD_SHARED_LIBS=OFF >"$work.log" 2>&1 || { cat "$work.log" >&2; exit 1; }
  nice -n 5 cmake --build "$work" --parallel "$jobs" >>"$work.log" 2>&1 || { tail -50 "$work.log" >&2; exit 1; }
  cmake --install "$work" >>"$work.log" 2>&1
  rm -rf "$work" "$work.log"
  touch "$stamp"
}

# Asio is header-only and the same for every system: Debian's headers, copied into the prefix, so that the
# cross build finds them there without seeing the rest of /usr/include.
install_asio() {
  local version
  version=$(dpkg-query -W -f='${Version}' libasio-dev)
  local stamp=$prefix/.asio-$version
  [ -f "$stamp" ] && return
  rm -rf "$prefix/include/asio" "$prefix/include/asio.hpp" "$prefix"/.asio-*
  mkdir -p "$prefix/include"
  cp -r /usr/include/asio /usr/include/asio.hpp "$prefix/include/"
  touch "$stamp"
}

# Static Qt for Windows from Debian's source of the installed Qt, with the installed Qt's tools as host tools.
# Left out: what the window does not use (SQL, network, D-Bus, OpenGL, printing, XML, Vulkan), the tablet
# support (Debian's source lacks wintab.h) and the Direct2D platform plugin. dynamicgl goes with OpenGL (it does
# not compile without it); direct2d itself stays, since the DirectWrite font database is built under it.
# Optimised for size (-Os), as Qt offers for small targets: a window of dialogs loses no speed that anyone
# sees, the programs come out smaller, and the build, which is most of a first run's time, takes less.
build_qt() {
  local version
  version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
  version=${version%-*}
  local options=(-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
    -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF
    -DFEATURE_tabletevent=OFF -DFEATURE_direct2d1_1=OFF -DFEATURE_openssl=OFF -DFEATURE_icu=OFF
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF
    -DFEATURE_system_freetype=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_optimize_size=ON)
  local digest
  digest=$(printf '%s\n' "${options[@]}" | sha256sum | cut -c1-12)
  local stamp=$prefix/.qt-$version-$digest
  [ -f "$stamp" ] && return
  if [ "$window" = IF_CACHED ]; then
    log "no Qt for $triple in the cache: building the headless programs only (scripts/build-windows.sh" \
      "--arch $arch builds Qt and the window)"
    window=OFF
    return
  fi
  fetch_lock fetch_source qt6-base "$version"
  local work=$prefix/work-qt
  rm -rf "$work"
  log "configuring Qt $version for $triple (log: $work.log)"
  cmake -S "$sources/qt6-base-$version" -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DDOORLOCK_WINDOWS_DEPS="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" "${options[@]}" >"$work.log" 2>&1 ||
    { tail -50 "$work.log" >&2; exit 1; }
  log "building Qt $version for $triple: about 1,050 steps, 20 to 30 minutes on two cores, once per machine"
  # Every hundredth step is shown, so that a long build is seen to go on.
  nice -n 5 cmake --build "$work" --parallel "$jobs" 2>&1 | tee -a "$work.log" |
    awk '/^\[[0-9]+\/[0-9]+\]/ { gsub(/[][]/, "", $1); split($1, n, "/");
      if (n[1] % 100 == 0) { print "build-windows: Qt " n[1] "/" n[2]; fflush() } }' ||
    { tail -50 "$work.log" >&2; exit 1; }
  cmake --install "$work" >>"$work.log" 2>&1 || { tail -50 "$work.log" >&2; exit 1; }
  rm -rf "$work" "$work.log"
  rm -f "$prefix"/.qt-*
  touch "$stamp"
}

install_packages
[ $packages_only -eq 0 ] || exit 0
# Builds take turns on the cache: one lock for this architecture's libraries, one for Qt (the long step), so
# that the libraries of one run are built while another run builds Qt. Sources are fetched under a third.
take_lock() {
  exec 9>"$1"
  if ! flock -n 9; then
    log "waiting for another build's use of $1"
    flock 9
  fi
}
release_lock() {
  flock -u 9
  exec 9>&-
}
take_lock "$prefix/.lock-libraries"
build_sqlite
build_openssl
build_libpq
build_soci
[ "$tests" = OFF ] || build_googletest
install_asio
release_lock
if [ "$window" != OFF ]; then
  take_lock "$cache/.lock"
  build_qt
  [ "$window" = OFF ] || window=ON
  release_lock
fi
[ $deps_only -eq 0 ] || exit 0

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
log "building the project for $triple in build-windows/$arch"
cmake --preset "windows-$arch" -DDOORLOCK_WINDOWS_DEPS="$prefix" -DDOORLOCK_TESTS="$tests" -DDOORLOCK_GUI="$window" \
  "${launcher[@]}" \
  "${cmake_args[@]}"
cmake --build --preset "windows-$arch" --parallel "$jobs"

log "packing build-windows/$arch"
build=build-windows/$arch
rm -f "$build"/doorlock-host-*.zip "$build"/doorlock-host-*.exe
(cd "$build" && cpack -G "ZIP;NSIS" >cpack.log 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
if [ "$arch" = i686 ]; then
  rm -f build-windows/doorlock-host-*.zip build-windows/doorlock-host-*.exe
  mv "$build"/doorlock-host-*.zip "$build"/doorlock-host-*.exe build-windows/
fi
