#!/usr/bin/env bash
# Installs what tinkerpot needs on Debian 12, skipping what is already there,
# then the pinned npm packages (Ace, test tools).
#   tools/setup.sh          what building and running the server needs
#   tools/setup.sh --test   also what the tests need: GoogleTest, Chromium,
#                           clang with libFuzzer, the cross tool chains,
#                           qemu-user and wine
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build)
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

want_i386=0
if [[ ${1:-} == --test ]]; then
  packages+=(libgtest-dev curl iproute2 chromium)
  # clang and its libFuzzer runtime for the fuzz targets (fuzz/run.sh).
  packages+=(clang libclang-rt-14-dev)
  # The cross builds and what runs them here: 32-bit ARM Linux under qemu-arm;
  # 32-bit Windows under wine's 32-bit loader (i386 packages), and the same
  # sources for 64-bit Windows under wine64 where the kernel runs no 32-bit
  # x86 code (test.sh).
  packages+=(g++-arm-linux-gnueabihf qemu-user)
  packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64-win32 wine wine64 wine32:i386)
  want_i386=1
fi

sudo=""
[[ $(id -u) -eq 0 ]] || sudo=sudo

added_i386=0
if ((want_i386)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "adding the i386 architecture for wine32"
  $sudo dpkg --add-architecture i386
  added_i386=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})) || ((added_i386)); then
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

if [[ ! -d node_modules/ace-builds ]] || [[ package-lock.json -nt node_modules/.package-lock.json ]]; then
  npm ci --no-audit --no-fund
fi
