#!/usr/bin/env bash
# Form posts to one target, and what they cost everyone else: POSTS posts of
# POST_BYTES bytes each to one target from parallel clients, while GETs of
# "/" are timed one after another. Prints the time the posts took and the
# GETs' latencies. Usage: bench/posts.sh
#
# Knobs, from the environment:
#   POSTS          how many posts (default 2000)
#   POST_BYTES     bytes of each form body (default 10000)
#   POST_CLIENTS   posts in flight at once (default 16)
#   TINKERPOT_BIN  the program to measure; unset, the release build is made
#                  in build-bench/, as run.sh makes it
#
# The run is in a private network namespace on 127.0.0.1, like run.sh's, and
# the server is stopped on any exit.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

POSTS=${POSTS:-2000}
POST_BYTES=${POST_BYTES:-10000}
POST_CLIENTS=${POST_CLIENTS:-16}
PORT=8880
TARGET=/bench/posts

# ---- outside the namespace: build and install -----------------------------------

source "$here/common.sh"

# One form body of exactly POST_BYTES bytes, which decodes to a record of
# POST_BYTES + 5: the = becomes a colon and the separator follows.
make_body() {
  { printf 'text='; head -c $((POST_BYTES - 5)) /dev/zero | tr '\0' x; } >"$1"
}

# ---- inside the namespace ------------------------------------------------------------

tinkerpot_pid=""

# GETs of "/" one after another until the flag file goes, each one's time in
# seconds on a line of its own.
time_gets() {
  local out=$1 flag=$2
  while [[ -e $flag ]]; do
    curl -s -o /dev/null --max-time 300 -w '%{time_total}\n' "http://127.0.0.1:$PORT/" || echo timeout
  done >"$out"
}

# "count median p99 max", in milliseconds.
latencies() {
  sort -g "$1" | awk '{ ms[NR] = $1 * 1000 }
    END {
      if (NR == 0) { print "0 0 0 0"; exit }
      p99 = int(NR * 0.99); if (p99 < NR * 0.99) p99++
      printf "%d %.1f %.1f %.1f", NR, ms[int((NR + 1) / 2)], ms[p99], ms[NR]
    }'
}

inside() {
  local dir=$1
  trap stop_tinkerpot EXIT
  trap 'exit 130' INT TERM
  ip link set lo up
  "$TINKERPOT_BIN" 127.0.0.1 "$PORT" >/dev/null &
  tinkerpot_pid=$!
  wait_for_port "$PORT"

  touch "$dir/timing"
  time_gets "$dir/gets" "$dir/timing" &
  local timer=$! started ended
  started=$(date +%s.%N)
  ab -q -r -s 300 -n "$POSTS" -c "$POST_CLIENTS" -p "$dir/body" -T application/x-www-form-urlencoded \
    "http://127.0.0.1:$PORT$TARGET" >"$dir/ab" 2>&1 || true
  ended=$(date +%s.%N)
  rm -f "$dir/timing"
  wait "$timer"

  # Every post must have been answered and stored, or the figures are void.
  local answered failed stored
  answered=$(awk '/^Complete requests:/ { print $3 }' "$dir/ab")
  failed=$(awk '/^Failed requests:/ { print $3 }' "$dir/ab")
  stored=$(curl -s --max-time 300 "http://127.0.0.1:$PORT$TARGET" | wc -c)
  if [[ ${answered:-0} != "$POSTS" || ${failed:-1} != 0 || $stored != $((POSTS * (POST_BYTES + 5))) ]]; then
    echo "posts not all stored: $answered answered, $failed failed, $stored bytes stored" >&2
    cat "$dir/ab" >&2
    return 1
  fi
  if grep -q timeout "$dir/gets"; then
    echo "a GET of / took more than 300 s" >&2
    return 1
  fi

  local count median p99 max
  read -r count median p99 max <<<"$(latencies "$dir/gets")"
  awk -v n="$POSTS" -v s="$POST_BYTES" -v c="$POST_CLIENTS" -v a="$started" -v b="$ended" -v bytes="$stored" 'BEGIN {
    printf "posts: %d of %d bytes, %d at once, to one target: %.2f s (%.0f posts/s), %d bytes stored\n",
      n, s, c, b - a, n / (b - a), bytes }'
  echo "GET / meanwhile: $count requests; median $median ms, p99 $p99 ms, max $max ms"
}

main() {
  install_missing ab:apache2-utils curl:curl ip:iproute2
  if [[ -z ${TINKERPOT_BIN:-} ]]; then
    build_release
    TINKERPOT_BIN=$root/build-bench/tinkerpot
  fi
  export TINKERPOT_BIN
  work_dir=$(mktemp -d)
  trap 'rm -rf "$work_dir"' EXIT
  make_body "$work_dir/body"
  local isolate=(unshare -n)
  [[ $(id -u) -eq 0 ]] || isolate=(unshare -r -n)
  timeout --foreground 3600 "${isolate[@]}" bash "$0" --inside "$work_dir"
}

if [[ ${1:-} == --inside ]]; then
  inside "$2"
else
  main "$@"
fi
