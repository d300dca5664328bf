#!/usr/bin/env bash
# Builds tinkerpot and starts it: ./run.sh [ADDRESS [PORT]] (default 0.0.0.0 8880).
set -euo pipefail
cd "$(dirname "$0")"
bash tools/setup.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-release --target tinkerpot
exec build-release/tinkerpot "$@"
