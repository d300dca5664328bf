#!/usr/bin/env bash
# Runs every test three times: a normal build, one under AddressSanitizer
# with UndefinedBehaviorSanitizer, one under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
bash tools/setup.sh

jobs=$(nproc)
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1

run_suite() {
  local dir=$1; shift
  echo "=== $dir"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

run_suite build
run_suite build-asan -DTINKERPOT_SANITIZE=address
run_suite build-tsan -DTINKERPOT_SANITIZE=thread
echo "all test suites passed"
