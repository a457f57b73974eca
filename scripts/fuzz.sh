#!/usr/bin/env bash
# Fuzzes every reader for SECONDS each: installs what is missing, builds the libFuzzer harnesses
# of fuzz/ with clang (build-fuzz, address and undefined-behaviour sanitizers), writes their seed
# corpus and runs them one after the other on all cores. Inputs found to crash, run out of memory
# or time out are kept in the build's artifacts/. The last line is the summary
# "N harnesses, M executions, C crashes"; the exit status is 0 only when C is 0.
#
# Usage: scripts/fuzz.sh SECONDS [HARNESS...]   (default: all harnesses)
# FUZZ_JOBS=N sets the worker processes per harness (default: one per processor), so that long
# runs of several harnesses can share the machine.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]] || [ "$1" -lt 1 ]; then
  echo "usage: scripts/fuzz.sh SECONDS [HARNESS...]" >&2
  exit 2
fi
seconds=$1; shift
jobs=${FUZZ_JOBS:-$(nproc)}
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "scripts/fuzz.sh: FUZZ_JOBS must be a positive number" >&2; exit 2; }
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(jpeg bmp ini regions project measure_args measure_file)

bash scripts/install-deps.sh >&2
# FUZZ_BUILD=DIR uses a build that already has the harnesses (the clang address-sanitizer build
# of scripts/test.sh); by default they get a build of their own.
build=${FUZZ_BUILD:-build-fuzz}
if [ -z "${FUZZ_BUILD:-}" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKALVEX_SANITIZE=fuzzer -DKALVEX_BUILD_GUI=OFF -DKALVEX_BUILD_BENCH=OFF >/dev/null
elif ! grep -q '^KALVEX_BUILD_FUZZ:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "scripts/fuzz.sh: $build is not a build with the fuzz harnesses" >&2
  exit 2
fi
targets=(fuzz_make_corpus)
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]}" >&2

corpus=$build/corpus
artifacts=$build/artifacts
mkdir -p "$corpus" "$artifacts"
"$build/fuzz/fuzz_make_corpus" "$corpus"

dict_of() { # harness -> dictionary
  case $1 in
    jpeg) echo fuzz/jpeg.dict ;;
    bmp) echo fuzz/bmp.dict ;;
    measure_args) echo fuzz/measure_args.dict ;;
    *) echo fuzz/ini.dict ;;
  esac
}
maxlen_of() { case $1 in jpeg|bmp|project|measure_file) echo 65536 ;; *) echo 8192 ;; esac; }

total_runs=0
total_crashes=0
for h in "${harnesses[@]}"; do
  log=$build/fuzz-$h.log
  before=$(find "$artifacts" -name "$h-*" | wc -l)
  set +e
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/fuzz_$h" -fork="$jobs" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len="$(maxlen_of "$h")" -dict="$(dict_of "$h")" -print_funcs=0 \
    -artifact_prefix="$artifacts/$h-" "$corpus/$h" >"$log" 2>&1
  status=$?
  set -e
  stats=$(grep -E '^#[0-9]+: cov: ' "$log" | tail -n 1 || true)
  runs=$(sed -E 's/^#([0-9]+):.*/\1/' <<<"$stats")
  edges=$(sed -E 's/.* cov: ([0-9]+).*/\1/' <<<"$stats")
  features=$(sed -E 's/.* ft: ([0-9]+).*/\1/' <<<"$stats")
  bad=$(sed -E 's|.*oom/timeout/crash: ([0-9]+)/([0-9]+)/([0-9]+).*|\1 \2 \3|' <<<"$stats")
  read -r ooms timeouts crashes <<<"${bad:-0 0 0}"
  [ -n "$runs" ] || { runs=0; edges=0; features=0; ooms=0; timeouts=0; crashes=0; }
  found=$(( ooms + timeouts + crashes ))
  after=$(find "$artifacts" -name "$h-*" | wc -l)
  [ $(( after - before )) -le "$found" ] || found=$(( after - before ))
  [ "$status" -eq 0 ] || [ "$found" -gt 0 ] || found=1
  echo "$h: $runs executions, $edges edges, $features features, $found crashes (oom $ooms, timeout $timeouts) [$log]"
  total_runs=$(( total_runs + runs ))
  total_crashes=$(( total_crashes + found ))
done
echo "${#harnesses[@]} harnesses, $total_runs executions, $total_crashes crashes"
[ "$total_crashes" -eq 0 ]
