#!/usr/bin/env bash
# Installs what is needed and runs every check: the formatting, the window build with warnings as errors and
# its tests (the record store also on a private PostgreSQL server), the tests under the sanitizers
# (scripts/sanitize.sh; that build has no Qt at all, so it also shows that the programs build and pass without
# it), the fuzz targets for 20 s each (scripts/fuzz.sh), then the Debian package's test (as root: it installs
# and removes the package), and the Windows build under Wine (scripts/test-windows.sh: its tests, an IssueCard
# against the Linux host's, the zip). One build tree per kind: build/, build-sanitize/, build-fuzz/,
# build-package/, build-windows/. Each step says when it started and how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

timings=()
step() {
  local name=$1 start=$SECONDS
  shift
  echo "== test.sh: $name (at $(date +%T))"
  "$@"
  timings+=("$(printf '%-22s %4d s' "$name" $((SECONDS - start)))")
}

check_format() {
  git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
}

# The record-store tests run on SQLite and on private PostgreSQL servers started for them.
window_build() {
  bash scripts/build.sh ci
  bash scripts/with-postgres.sh --fast ctest --test-dir build --output-on-failure --parallel "$(nproc)" --timeout 600
}

# Qt and the other libraries for Windows take long to build the first time on a machine (they are cached per
# machine afterwards): they build in the background, at the lowest priority, on what the Linux steps leave
# of the processors, and so do the Windows programs. First the architecture tested under Wine, with its tests;
# then, where that is another, the shipped 32-bit build (its window only where its Qt is cached), which goes
# on while the Windows programs are tested under Wine and is awaited only for its zip.
bash scripts/build-windows.sh --packages-only
windows_log=build-windows/background.log
windows_tested_built=build-windows/.tested-architecture-built
mkdir -p build-windows
rm -f "$windows_tested_built"
windows_background() {
  local arch
  arch=$(bash scripts/test-windows.sh --archs)
  nice -n 19 bash scripts/build-windows.sh --arch "$arch" || return 1
  touch "$windows_tested_built"
  [ "$arch" = i686 ] || nice -n 19 bash scripts/build-windows.sh --arch i686 --no-tests --window-if-cached
}
export -f windows_background
export windows_tested_built
# A process group of its own, ended with the script if a step fails first.
setsid bash -c windows_background >"$windows_log" 2>&1 &
windows_pid=$!
trap 'kill -- -$windows_pid 2>/dev/null || true' EXIT
windows_failed() {
  cat "$windows_log" >&2
  echo "test.sh: building for Windows failed" >&2
  return 1
}
windows_step() {
  local status=0 begun=$SECONDS
  # The Linux programs it drives and compares with are the window build's, built already.
  export DOORLOCK_LINUX_PRESET=ci
  while [ ! -f "$windows_tested_built" ] && kill -0 $windows_pid 2>/dev/null; do sleep 2; done
  [ -f "$windows_tested_built" ] || { wait $windows_pid || true; windows_failed; return 1; }
  echo "test.sh: waited $((SECONDS - begun)) s for the Windows build of the tested architecture"
  bash scripts/test-windows.sh --no-build --skip pack || status=1
  begun=$SECONDS
  wait $windows_pid || { windows_failed; return 1; }
  echo "test.sh: waited $((SECONDS - begun)) s more for the shipped 32-bit build"
  cat "$windows_log"
  bash scripts/test-windows.sh --no-build --only pack || status=1
  return $status
}

step "format" check_format
step "window build + tests" window_build
step "sanitizers" bash scripts/sanitize.sh --timeout 600
step "fuzz (20 s each)" bash scripts/fuzz.sh 20
step "package" bash scripts/test-package.sh
step "windows (wine)" windows_step

echo "== test.sh: all steps passed"
printf '%s\n' "${timings[@]}"
