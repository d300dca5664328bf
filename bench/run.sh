#!/usr/bin/env bash
# Compares tinkerpot with nginx on what a classroom does to it: many browsers
# fetching the page and the editor script at once, each request on a new
# connection. Usage: bench/run.sh [CSV]  (default bench/results.csv)
#
# Knobs, from the environment:
#   SECONDS_PER_CASE  length of each measured run (default 4)
#   CLIENT_PROCS      ab processes per run; ab has one thread (default 16)
#   CONCURRENCY       client counts to measure (default "1 64 512")
#   SERVERS           which servers to measure (default "nginx tinkerpot")
#   TINKERPOT_BIN     another tinkerpot program to measure, for trying a change
#                     (default: the release build this script makes)
#
# Every measurement runs in a private network namespace on 127.0.0.1, so no
# other traffic mixes in; both servers are stopped on any exit.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

SECONDS_PER_CASE=${SECONDS_PER_CASE:-4}
CLIENT_PROCS=${CLIENT_PROCS:-16}
CONCURRENCY=${CONCURRENCY:-"1 64 512"}
SERVERS=${SERVERS:-"nginx tinkerpot"}
TINKERPOT_BIN=${TINKERPOT_BIN:-$root/build-bench/tinkerpot}
TINKERPOT_PORT=8880
NGINX_PORT=8881

# ---- outside the namespace: build and install -----------------------------------

source "$here/common.sh"

# A practice page of exactly 3,000 bytes, the size of a learner's first pages.
make_page() {
  local footer=$'</p></body></html>\n' text line
  text=$'<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>A practice page</title></head><body><p>\n'
  for i in $(seq 1 100); do
    printf -v line 'Practice line %03d: headings, paragraphs, lists and links.\n' "$i"
    text+=$line
  done
  printf '%s%s' "${text:0:$((3000 - ${#footer}))}" "$footer" >"$1"
}

# nginx as a plain peer: one worker per core, no keep-alive, no access log,
# and every path it writes inside the temporary folder.
write_nginx_conf() {
  local dir=$1
  cat >"$dir/nginx.conf" <<EOF
worker_processes $(nproc);
pid $dir/nginx.pid;
error_log $dir/nginx-error.log warn;
daemon off;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_timeout 0;
  sendfile on;
  tcp_nopush on;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  types { text/html html; text/javascript js; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$NGINX_PORT backlog=4096;
    root $dir/www;
  }
}
EOF
}

prepare() {
  local dir=$1
  mkdir -p "$dir/www" "$dir/tmp"
  make_page "$dir/www/page.html"
  cp "$root/node_modules/ace-builds/src-min/ace.js" "$dir/www/ace.js"
  write_nginx_conf "$dir"
}

# ---- inside the namespace: servers -------------------------------------------------

tinkerpot_pid=""
nginx_pid=""

# nginx takes SIGQUIT as its graceful stop, as tinkerpot takes Ctrl+C.
stop_servers() {
  stop_tinkerpot
  if [[ -n $nginx_pid ]]; then
    stop_process QUIT "$nginx_pid"
    nginx_pid=""
  fi
}

start_nginx() {
  local dir=$1 nginx_bin
  nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
  # The worker user is whoever we are in this namespace, so the temporary
  # folder is readable by the workers without changing its mode.
  sed -i "1i user $(id -un) $(id -gn);" "$dir/nginx.conf"
  "$nginx_bin" -p "$dir" -e "$dir/nginx-error.log" -c "$dir/nginx.conf" &
  nginx_pid=$!
  wait_for_port "$NGINX_PORT"
}

start_tinkerpot() {
  "$TINKERPOT_BIN" 127.0.0.1 "$TINKERPOT_PORT" >/dev/null &
  tinkerpot_pid=$!
  wait_for_port "$TINKERPOT_PORT"
}

put_file() {
  local file=$1 path=$2 type=$3
  curl -s -f -o /dev/null --max-time 10 -H 'Expect:' -H "Content-Type: $type" -T "$file" \
    "http://127.0.0.1:$TINKERPOT_PORT$path"
}

# Both servers must hand out the very bytes of the file, or the race is void.
check_same_bytes() {
  local dir=$1 path=$2 port
  for port in "$NGINX_PORT" "$TINKERPOT_PORT"; do
    curl -s -f --max-time 10 -o "$dir/got" "http://127.0.0.1:$port$path"
    if ! cmp -s "$dir/got" "$dir/www$path"; then
      echo "port $port serves other bytes for $path" >&2
      return 1
    fi
  done
  rm -f "$dir/got"
}

# ---- inside the namespace: what is read around a run ------------------------------

server_pids() {
  if [[ $1 == nginx ]]; then
    # The master and its workers, on one line.
    echo "$nginx_pid" "$(pgrep -P "$nginx_pid" | tr '\n' ' ')"
  else
    echo "$tinkerpot_pid"
  fi
}

# Connections that completed the handshake in this namespace so far.
passive_opens() {
  awk '/^Tcp:/ { if (!col) { for (i = 1; i <= NF; i++) if ($i == "PassiveOpens") col = i }
                 else print $col }' /proc/net/snmp
}

# Restarts each process's peak resident size from its current size.
reset_peaks() {
  local pid
  for pid in "$@"; do echo 5 >"/proc/$pid/clear_refs"; done
}

sum_status_kib() {
  local field=$1 pid total=0 v
  shift
  for pid in "$@"; do
    v=$(awk -v f="$field:" '$1 == f { print $2 }' "/proc/$pid/status")
    total=$((total + ${v:-0}))
  done
  echo "$total"
}

# Proportional resident size (shared pages split among their users), sampled
# until the flag file goes; nginx's workers share most of their pages.
sample_pss() {
  local out=$1 flag=$2 max=0 now pid
  shift 2
  while [[ -e $flag ]]; do
    now=0
    for pid in "$@"; do
      now=$((now + $(awk '$1 == "Pss:" { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null || echo 0)))
    done
    ((now > max)) && max=$now
    sleep 0.2
  done
  echo "$max" >"$out"
}

# Times the server's threads gave up or lost their CPU: with every worker
# woken by each new connection, this is what the herd costs.
context_switches() {
  local pid
  for pid in "$@"; do cat "/proc/$pid"/task/*/status; done |
    awk '/^(non)?voluntary_ctxt_switches:/ { total += $2 } END { print total + 0 }'
}

cpu_ticks() {
  local pid total=0
  for pid in "$@"; do
    total=$((total + $(awk '{ print $14 + $15 }' "/proc/$pid/stat")))
  done
  echo "$total"
}

# Runs ab as several processes at once, the clients split among them, and
# leaves each one's report and percentile table in the folder. The last line
# of the folder's cpu file is the clients' CPU time in ticks.
run_clients() {
  local dir=$1 url=$2 clients=$3 procs share extra i c
  procs=$((clients < CLIENT_PROCS ? clients : CLIENT_PROCS))
  share=$((clients / procs))
  extra=$((clients % procs))
  (
    for ((i = 0; i < procs; i++)); do
      c=$((share + (i < extra ? 1 : 0)))
      timeout $((SECONDS_PER_CASE + 30)) ab -r -q -t "$SECONDS_PER_CASE" -n 2000000 -c "$c" \
        -e "$dir/pct.$i" "$url" >"$dir/out.$i" 2>&1 &
    done
    wait || true
    awk '{ print $16 + $17 }' "/proc/$BASHPID/stat" >"$dir/cpu"
  )
  echo "$procs"
}

# The 99th percentile of all requests of a run, from each process's table of
# percentiles weighted by the requests it completed: ab processes that got
# less CPU complete fewer requests and would dominate a plain maximum.
pooled_p99() {
  local dir=$1 f i n
  for f in "$dir"/pct.*; do
    i=${f##*.}
    n=$(awk '/^Complete requests:/ { print $3 }' "$dir/out.$i")
    awk -F, -v n="${n:-0}" -v id="$i" 'NR > 1 { print id, n, $1, $2 }' "$f"
  done >"$dir/tables"
  awk '{ print $4 }' "$dir/tables" | sort -g -u >"$dir/candidates"
  awk '
    # The share of process i'"'"'s requests done within x: its table read as
    # a curve, straight between neighbouring percentiles.
    function share_within(i, x,   q, lo, hi) {
      if (x >= t[i "," 100]) return 1
      if (x < t[i "," 0]) return 0
      for (q = 0; q < 100 && t[i "," (q + 1)] <= x; q++) ;
      lo = t[i "," q]; hi = t[i "," (q + 1)]
      return (q + (hi > lo ? (x - lo) / (hi - lo) : 0)) / 100
    }
    FNR == NR { n[$1] = $2 + 0; t[$1 "," $3] = $4 + 0; next }
    FNR == 1 { for (i in n) total += n[i] }
    total > 0 {
      below = 0
      for (i in n) below += n[i] * share_within(i, $1 + 0)
      if (below >= 0.99 * total) { printf "%.3f", $1; found = 1; exit }
    }
    END { if (!found) printf "0.000" }' "$dir/tables" "$dir/candidates"
}

# One CSV line: file,clients,server,rps,kib_s,completed,failed,non2xx,aborted,
# p99_ms,p99_worst_client_ms,peak_rss_kib,peak_pss_kib,server_cpu_s,
# client_cpu_s,opens,check,switches
measure() {
  local server=$1 port=$2 path=$3 clients=$4 dir=$5
  local pids opens0 opens1 cpu0 cpu1 switches0 switches1 procs tick report p99 worst hwm pss check
  rm -rf "$dir/run" && mkdir -p "$dir/run"
  read -r -a pids <<<"$(server_pids "$server")"
  reset_peaks "${pids[@]}"
  touch "$dir/run/sampling"
  sample_pss "$dir/run/pss" "$dir/run/sampling" "${pids[@]}" &
  local sampler=$!
  opens0=$(passive_opens)
  cpu0=$(cpu_ticks "${pids[@]}")
  switches0=$(context_switches "${pids[@]}")
  procs=$(run_clients "$dir/run" "http://127.0.0.1:$port$path" "$clients")
  cpu1=$(cpu_ticks "${pids[@]}")
  switches1=$(context_switches "${pids[@]}")
  opens1=$(passive_opens)
  hwm=$(sum_status_kib VmHWM "${pids[@]}")
  rm -f "$dir/run/sampling"
  wait "$sampler"
  pss=$(cat "$dir/run/pss")
  tick=$(getconf CLK_TCK)

  report=$(awk -v procs="$procs" '
    /^Complete requests:/ { done += $3 }
    /^Failed requests:/ { failed += $3 }
    /^Non-2xx responses:/ { non2xx += $3 }
    /^Requests per second:/ { rps += $4; finished++ }
    /^Transfer rate:/ { kib += $3 }
    END { printf "%.0f,%.0f,%d,%d,%d,%d", rps, kib, done, failed, non2xx, procs - finished }
  ' "$dir"/run/out.*)
  p99=$(pooled_p99 "$dir/run")
  worst=$(awk -F, '$1 == "99" && $2 > max { max = $2 } END { printf "%.3f", max }' "$dir"/run/pct.*)

  # Every connection the server accepted should be a request ab counted,
  # but for those still open when the time ran out (at most one per client).
  local done_count failed_count opens
  done_count=$(cut -d, -f3 <<<"$report")
  failed_count=$(cut -d, -f4 <<<"$report")
  opens=$((opens1 - opens0))
  if ((opens >= done_count && opens <= done_count + failed_count + clients)); then check=ok; else check=MISMATCH; fi

  echo "$path,$clients,$server,$report,$p99,$worst,$hwm,$pss,$(awk -v t="$tick" -v a="$cpu0" -v b="$cpu1" 'BEGIN { printf "%.2f", (b - a) / t }'),$(awk -v t="$tick" -v c="$(tail -n1 "$dir/run/cpu")" 'BEGIN { printf "%.2f", c / t }'),$opens,$check,$((switches1 - switches0))"
}

# ---- inside the namespace: report --------------------------------------------------

csv_head="file,clients,server,requests_per_s,transfer_kib_s,completed,failed,non2xx,clients_aborted,p99_ms,p99_worst_client_ms,peak_rss_kib,peak_pss_kib,server_cpu_s,client_cpu_s,passive_opens,connections_check,context_switches"

print_table() {
  local csv=$1
  echo
  awk -F, 'NR == 1 || $1 == "(idle)" || $3 == "tinkerpot/nginx" { next } {
    if (!h++) printf "%-10s %7s %-9s %8s %8s %6s %8s %8s %8s %8s %8s %8s %8s %s\n",
      "file", "clients", "server", "req/s", "MiB/s", "errors", "p99 ms", "RSS MiB", "PSS MiB",
      "srv cpu", "cli cpu", "us/req", "csw/req", "conns"
    printf "%-10s %7s %-9s %8s %8.1f %6s %8.2f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %s\n",
      $1, $2, $3, $4, $5 / 1024, $7 + $8 + $9, $10, $12 / 1024, $13 / 1024, $14, $15,
      ($6 > 0 ? $14 * 1e6 / $6 : 0), ($6 > 0 ? $18 / $6 : 0), $17 }' "$csv"
  echo
  awk -F, '$3 == "tinkerpot/nginx" {
    if (!h++) printf "%-10s %7s %12s %12s %12s %12s\n", "file", "clients", "req/s ratio", "MiB/s ratio", "p99 ratio", "RSS ratio"
    printf "%-10s %7s %12s %12s %12s %12s\n", $1, $2, $4, $5, $10, $12 }' "$csv"
}

ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "" }'
}

# Appends one line per case: tinkerpot's figure over nginx's, for the
# columns where a ratio means something.
append_ratios() {
  local csv=$1 file clients
  while IFS=, read -r file clients; do
    local t n
    t=$(awk -F, -v f="$file" -v c="$clients" '$1 == f && $2 == c && $3 == "tinkerpot"' "$csv")
    n=$(awk -F, -v f="$file" -v c="$clients" '$1 == f && $2 == c && $3 == "nginx"' "$csv")
    [[ -n $t && -n $n ]] || continue
    IFS=, read -r -a tv <<<"$t"
    IFS=, read -r -a nv <<<"$n"
    echo "$file,$clients,tinkerpot/nginx,$(ratio "${tv[3]}" "${nv[3]}"),$(ratio "${tv[4]}" "${nv[4]}"),,,,,$(ratio "${tv[9]}" "${nv[9]}"),$(ratio "${tv[10]}" "${nv[10]}"),$(ratio "${tv[11]}" "${nv[11]}"),$(ratio "${tv[12]}" "${nv[12]}"),,,,,$(ratio "${tv[17]}" "${nv[17]}")" >>"$csv"
  done < <(awk -F, 'NR > 1 && $3 == "tinkerpot" { print $1 "," $2 }' "$csv")
}

inside() {
  local dir=$1 csv=$2
  trap stop_servers EXIT
  trap 'exit 130' INT TERM
  ip link set lo up

  start_nginx "$dir"
  start_tinkerpot
  local idle_kib
  idle_kib=$(sum_status_kib VmRSS "$tinkerpot_pid")
  echo "tinkerpot resident after start, four built-ins: $((idle_kib / 1024)).$(((idle_kib % 1024) * 10 / 1024)) MiB ($idle_kib KiB)"
  put_file "$dir/www/page.html" /page.html text/html
  put_file "$dir/www/ace.js" /ace.js text/javascript
  check_same_bytes "$dir" /page.html
  check_same_bytes "$dir" /ace.js
  echo "both servers serve identical bytes; $SECONDS_PER_CASE s per case, $CLIENT_PROCS ab processes"

  echo "$csv_head" >"$csv"
  echo "(idle),0,tinkerpot,,,,,,,,,$idle_kib,,,,,," >>"$csv"
  local path clients server port line
  for path in /page.html /ace.js; do
    for clients in $CONCURRENCY; do
      # Alternating the two servers case by case spreads any slow spell of
      # the machine over both of them.
      for server in $SERVERS; do
        port=$NGINX_PORT
        [[ $server == tinkerpot ]] && port=$TINKERPOT_PORT
        line=$(measure "$server" "$port" "$path" "$clients" "$dir")
        echo "$line" >>"$csv"
        echo "  $line"
      done
    done
  done
  append_ratios "$csv"
  print_table "$csv"
}

main() {
  local csv=${1:-$here/results.csv}
  [[ $csv == /* ]] || csv=$PWD/$csv
  install_missing nginx:nginx ab:apache2-utils curl:curl ip:iproute2 pgrep:procps
  build_release
  work_dir=$(mktemp -d)
  trap 'rm -rf "$work_dir"' EXIT
  prepare "$work_dir"

  local cases=$((2 * 2 * $(wc -w <<<"$CONCURRENCY")))
  local limit=$((cases * (SECONDS_PER_CASE + 40) + 120))
  local isolate=(unshare -n)
  [[ $(id -u) -eq 0 ]] || isolate=(unshare -r -n)
  timeout --foreground "$limit" "${isolate[@]}" bash "$0" --inside "$work_dir" "$csv"
  echo "results: $csv"
}

if [[ ${1:-} == --inside ]]; then
  inside "$2" "$3"
else
  main "$@"
fi
