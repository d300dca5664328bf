#!/usr/bin/env bash
# Runs every test three times: a normal build, one under AddressSanitizer
# with UndefinedBehaviorSanitizer, one under ThreadSanitizer. Then each fuzz
# target runs for 15 seconds, and the cross builds (32-bit ARM Linux under
# qemu-arm, Windows under wine) run the end-to-end tests against their own
# programs.
set -euo pipefail
cd "$(dirname "$0")"
bash tools/setup.sh --test

jobs=$(nproc)
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1

run_suite() {
  local dir=$1; shift
  echo "=== $dir"
  cmake -S . -B "$dir" -G Ninja -DBUILD_TESTING=ON "$@" >/dev/null
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

run_suite build
run_suite build-asan -DTINKERPOT_SANITIZE=address
run_suite build-tsan -DTINKERPOT_SANITIZE=thread
echo "=== fuzz"
bash fuzz/run.sh 15

# A cross build from its preset; ctest runs what the build registers (its
# end-to-end tests, the Windows import check), or what the arguments select.
run_cross_suite() {
  local preset=$1; shift
  echo "=== build-$preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j "$jobs" "$@"
}

# wine's 32-bit loader is itself a 32-bit x86 program: a kernel that runs no
# such code (booted with ia32_emulation off) cannot start it.
wine32_runs() { [[ -x /usr/lib/wine/wine ]] && /usr/lib/wine/wine --version >/dev/null 2>&1; }

run_cross_suite arm
if wine32_runs; then
  run_cross_suite windows
else
  echo "this kernel runs no 32-bit x86 code, so wine cannot start the 32-bit Windows build:"
  echo "it is built and its imports checked; the end-to-end tests run against the same"
  echo "sources built for 64-bit Windows, under wine64"
  run_cross_suite windows -L build
  run_cross_suite windows64
fi
echo "all test suites passed"
