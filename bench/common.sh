# What the benchmark scripts share: installing their tools, building the
# release program they measure, and stopping it. Sourced with
# $root set to the project.

as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages named, each given as COMMAND:PACKAGE, whose
# command is not found.
install_missing() {
  local missing=() wanted
  for wanted in "$@"; do
    command -v "${wanted%%:*}" >/dev/null || [[ -x /usr/sbin/${wanted%%:*} ]] || missing+=("${wanted#*:}")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  fi
}

# The program alone, as run.sh builds it: the tests' GoogleTest is installed
# only by setup.sh --test.
build_release() {
  bash "$root/tools/setup.sh"
  cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$root/build-bench" --target tinkerpot >/dev/null
}

# Stops the server started as $tinkerpot_pid, if any: Ctrl+C, then up to
# 10 s for it to end on its own before it is killed.
stop_tinkerpot() {
  if [[ -n ${tinkerpot_pid:-} ]]; then
    stop_process INT "$tinkerpot_pid"
    tinkerpot_pid=""
  fi
}

# Sends the signal to the process, waits up to 10 s for it to end, and kills
# it if it has not.
stop_process() {
  local signal=$1 pid=$2
  kill -"$signal" "$pid" 2>/dev/null || true
  timeout 10 tail --pid="$pid" -f /dev/null 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true
}

# Waits up to about five seconds for an HTTP answer on 127.0.0.1:PORT.
wait_for_port() {
  local port=$1
  for _ in $(seq 1 100); do
    curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/" && return 0
    sleep 0.05
  done
  echo "nothing answers on port $port" >&2
  return 1
}
