# What the benchmark scripts share: installing their tools and building the
# release program they measure. Sourced with $root set to the project.

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

build_release() {
  bash "$root/tools/setup.sh"
  cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build-bench" --target tinkerpot >/dev/null
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
