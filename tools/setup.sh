#!/usr/bin/env bash
# Installs what building and testing tinkerpot needs on Debian 12, skipping
# what is already there, then the pinned npm packages (Ace, test tools).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build libgtest-dev curl chromium)
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

if [[ ! -d node_modules/ace-builds ]] || [[ package-lock.json -nt node_modules/.package-lock.json ]]; then
  npm ci --no-audit --no-fund
fi
