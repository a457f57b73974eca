#!/usr/bin/env bash
# Installs what is missing, builds Kalvex, runs every test, then the sanitizer builds' tests:
# address + undefined behaviour for everything, thread sanitizer for the engine and threading,
# and a short fuzzing run of every reader.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
jobs=$(nproc)

build() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" --parallel "$jobs"
}

echo "== normal build"
# Line tables are all that a failing test's backtrace needs; full debug information makes the
# build about a fifth slower.
build build "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
(cd build && ctest --output-on-failure --parallel "$jobs")

# The sanitizer builds use clang: gcc's undefined-behaviour instrumentation builds several times
# slower, and clang's address-sanitizer build also holds the fuzz harnesses.
echo "== address and undefined-behaviour sanitizer build (with the fuzz harnesses)"
CC=clang CXX=clang++ build build-asan -DKALVEX_SANITIZE=address -DKALVEX_BUILD_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure --parallel "$jobs")

echo "== thread sanitizer build without the window (platform, engine, threading, cli)"
CC=clang CXX=clang++ cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALVEX_SANITIZE=thread \
      -DKALVEX_BUILD_BENCH=OFF -DKALVEX_BUILD_GUI=OFF >/dev/null
cmake --build build-tsan --parallel "$jobs"
# Without the window nothing links QtWidgets (so the file-dialog tests, whose QFileDialog starts an
# uninstrumented thread of Qt's own, are not part of this build).
if ldd build-tsan/kalvex | grep -q libQt6Widgets; then
  echo "kalvex without the window links QtWidgets" >&2
  exit 1
fi
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
   ctest --output-on-failure --parallel "$jobs" -L 'platform|engine|threading|cli')

echo "== fuzzing every reader (20 s each)"
FUZZ_BUILD=build-asan bash scripts/fuzz.sh 20
