#!/usr/bin/env bash
# Installs what is missing, builds Kalvex and starts it on the bundled sample picture: the window
# when a display is there, the headless measurement otherwise.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --parallel "$(nproc)" --target kalvex
./build/kalvex --version
