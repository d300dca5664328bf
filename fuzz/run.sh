#!/usr/bin/env bash
# Builds the fuzz targets in build-fuzz and runs each for a while, one after
# the other, from the checked-in seeds and what earlier runs found.
#   fuzz/run.sh [seconds-per-target] [target...]   (15 seconds, all targets)
# New inputs go to build-fuzz/corpus/<target>/, never to the seeds; crashes
# to build-fuzz/artifacts/; each run's output to build-fuzz/logs/. Exits
# non-zero when any target fails.
set -euo pipefail
cd "$(dirname "$0")/.."

# The targets carry AddressSanitizer and UndefinedBehaviorSanitizer: the
# first report ends the run, with its stack.
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

seconds=${1:-15}
if (($# > 0)); then shift; fi
targets=("$@")
((${#targets[@]})) || targets=(http_parse http_header ws_frame form_decode)

build=build-fuzz
if [[ ! -f $build/CMakeCache.txt ]]; then
  CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DTINKERPOT_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build "$build"
mkdir -p "$build/artifacts" "$build/logs"

# One read of a request head is 4096 bytes; the header lookup's input adds a
# name line, the frame reader's its six control bytes.
declare -A max_len=([http_parse]=4096 [http_header]=4160 [ws_frame]=4102 [form_decode]=4096)

# The figures libFuzzer prints at the end: executions, their rate, and the
# coverage of the last status line (the crash report replaces it on failure).
summarize() {
  local target=$1 status=$2 log=$3
  local execs rate cov
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*' "$log" | tail -n 1)
  printf '%-12s %-6s executions %-10s (%s/s)  %s\n' "$target" "$status" "${execs:-?}" "${rate:-?}" "${cov:-no coverage line}"
}

failed=()
for target in "${targets[@]}"; do
  scratch=$build/corpus/$target
  log=$build/logs/$target.log
  mkdir -p "$scratch"
  status=ok
  "$build/fuzz/$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" -timeout=10 \
    -print_final_stats=1 -dict="fuzz/$target.dict" -artifact_prefix="$build/artifacts/$target-" \
    "$scratch" "fuzz/corpus/$target" >"$log" 2>&1 || status=FAILED
  summarize "$target" "$status" "$log"
  if [[ $status != ok ]]; then
    failed+=("$target")
    tail -n 40 "$log"
  fi
done

if ((${#failed[@]})); then
  echo "fuzz targets failed: ${failed[*]} (inputs in $build/artifacts/, output in $build/logs/)"
  exit 1
fi
