#!/usr/bin/env bash
# Builds the libFuzzer targets with AddressSanitizer and UndefinedBehaviorSanitizer (preset "fuzz", clang) into
# build-fuzz/ and runs each for SECONDS (default 30) from its seed corpus in fuzz/corpus/. Inputs that reach new code are kept in
# build-fuzz/corpus/; a crash, leak or sanitizer report fails the script and leaves its input in
# build-fuzz/findings/. Reproduce one with: build-fuzz/bin/TARGET FILE
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
targets=(XmlFuzz Utf8Fuzz FramingFuzz HttpFuzz IniFuzz DateTimeFuzz)

bash scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --parallel "$(nproc)" --target "${targets[@]}"

mkdir -p build-fuzz/findings
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TMPDIR="${TMPDIR:-/tmp}"
for target in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$target"
  echo "fuzz: $target for ${seconds}s"
  if ! "build-fuzz/bin/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/findings/$target-" "build-fuzz/corpus/$target" "fuzz/corpus/$target" \
    >"build-fuzz/$target.log" 2>&1; then
    tail -n 60 "build-fuzz/$target.log"
    echo "fuzz: $target FAILED (input in build-fuzz/findings/)"
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)' "build-fuzz/$target.log" | tr '\n' ' '
  echo
done
echo "fuzz: no findings"
