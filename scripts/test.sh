#!/usr/bin/env bash
# Installs what is needed and runs every check: the formatting, the window build with warnings as errors and
# its tests (the record store also on a private PostgreSQL server), the headless build (no Qt) and its tests,
# the tests under the sanitizers (scripts/sanitize.sh), the fuzz targets for 30 s each (scripts/fuzz.sh), then
# the Debian package's test (as root: it installs and removes the package), and the Windows build under Wine
# (scripts/test-windows.sh: its tests, an IssueCard against the Linux host's, the zip). One build tree per kind:
# build/, build-headless/, build-sanitize/, build-fuzz/, build-package/, build-windows/. Each step says how long
# it took.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

timings=()
step() {
  local name=$1 start=$SECONDS
  shift
  echo "== test.sh: $name"
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

headless_build() {
  bash scripts/build.sh headless
  ctest --test-dir build-headless --output-on-failure --parallel "$(nproc)" --timeout 600
}

step "format" check_format
step "window build + tests" window_build
step "headless build + tests" headless_build
step "sanitizers" bash scripts/sanitize.sh --timeout 600
step "fuzz (30 s each)" bash scripts/fuzz.sh 30
step "package" bash scripts/test-package.sh
step "windows (wine)" bash scripts/test-windows.sh

echo "== test.sh: all steps passed"
printf '%s\n' "${timings[@]}"
