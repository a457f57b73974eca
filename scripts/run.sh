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

# The six patch rectangles of the sample chart, from its regions file.
measure() { ./build/kalvex --measure data/sample.jpg --regions data/sample.KalvexRegions; }

if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
  # A build without the window answers a picture argument with its usage text (status 2).
  status=0
  ./build/kalvex data/sample.jpg || status=$?
  if [[ $status -eq 2 ]]; then measure; else exit "$status"; fi
else
  measure
fi
