#!/usr/bin/env bash
# Builds tinkerpot and starts it: ./run.sh [ADDRESS [PORT]] (default 0.0.0.0 8880).
set -euo pipefail
cd "$(dirname "$0")"
bash tools/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target tinkerpot
exec build/tinkerpot "$@"
