#!/usr/bin/env bash
# Runs every test three times: a normal build, one under AddressSanitizer
# with UndefinedBehaviorSanitizer, one under ThreadSanitizer. Then each fuzz
# target runs for 15 seconds, and the cross builds (32-bit ARM Linux under
# qemu-arm, Windows under wine) run the end-to-end tests against their own
# programs; the macOS build is made and its program checked as a file, since
# nothing here can run it. Each build but the fuzz one is a preset of
# CMakePresets.json, where its settings and its tests' sanitizer options are
# kept.
set -euo pipefail
cd "$(dirname "$0")"
bash tools/setup.sh --test

jobs=$(nproc)

# A build from its preset; ctest runs what the build registers (for a cross
# build its end-to-end tests and the checks of its program), or what the
# arguments select.
run_suite() {
  local preset=$1; shift
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j "$jobs" "$@"
}

run_suite native
run_suite asan
run_suite tsan

echo "=== fuzz"
bash fuzz/run.sh 15

# wine's 32-bit loader is itself a 32-bit x86 program: a kernel that runs no
# such code (booted with ia32_emulation off) cannot start it.
wine32_runs() { [[ -x /usr/lib/wine/wine ]] && /usr/lib/wine/wine --version >/dev/null 2>&1; }

run_suite arm
run_suite macos
if wine32_runs; then
  run_suite windows
else
  echo "this kernel runs no 32-bit x86 code, so wine cannot start the 32-bit Windows build:"
  echo "it is built and its imports checked; the end-to-end tests run against the same"
  echo "sources built for 64-bit Windows, under wine64"
  run_suite windows -L build
  run_suite windows64
fi
echo "all test suites passed"
