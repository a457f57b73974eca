#!/usr/bin/env bash
# Whole-process speed and memory of Kalvex, side by side in one run:
#   1. kalvex --measure of a 24 MP JPEG against djpeg decoding the same file (wall time ratio),
#      with kalvex's peak resident memory and page faults;
#   2. the window opening that picture (load command to figures shown, offscreen) against the
#      headless measurement;
#   3. kalvex --measure over 20 pictures in one process against one process per picture
#      (pictures per second, and how many cores were busy).
# Builds a Release tree in build-bench. Times are medians of RUNS runs (default 9).
#
#   bash bench/bench_process.sh [RUNS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${1:-9}
bash "$root/scripts/install-deps.sh"
build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" --parallel "$(nproc)" --target kalvex bench_picture bench_window > /dev/null
kalvex="$build/kalvex"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "making the pictures in $work"
"$build/bench/bench_picture" "$work/big.jpg" 6000 4000 90 12345 0.28
for i in $(seq -w 1 20); do
  "$build/bench/bench_picture" "$work/many$i.jpg" 3000 2000 90 "$i" 0.28
done
echo "24 MP picture: $(stat -c %s "$work/big.jpg") bytes; 20 pictures of 6 MP"

# The median wall time in ms of running "$@" $runs times (after one warm-up run).
median_ms() {
  "$@" > /dev/null 2>&1
  local t=()
  for ((r = 0; r < runs; r++)); do
    local a b
    a=$(date +%s%N)
    "$@" > /dev/null 2>&1
    b=$(date +%s%N)
    t+=($(((b - a) / 1000)))
  done
  printf '%s\n' "${t[@]}" | sort -n | awk '{v[NR]=$1} END {printf "%.1f", v[int((NR+1)/2)]/1000}'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

echo
echo "1. kalvex --measure against djpeg (24 MP JPEG)"
djpeg_ms=$(median_ms djpeg -bmp -outfile /dev/null "$work/big.jpg")
measure_ms=$(median_ms "$kalvex" --measure "$work/big.jpg" --format json)
read -r rss_kb < <(/usr/bin/time -f '%M' "$kalvex" --measure "$work/big.jpg" 2>&1 > /dev/null | tail -1)
echo "   djpeg ${djpeg_ms} ms, kalvex --measure ${measure_ms} ms: ratio $(ratio "$measure_ms" "$djpeg_ms") (target at most 2.0)"
echo "   peak resident memory $((rss_kb / 1024)) MB (target at most 160 MB)"
if command -v perf > /dev/null && perf stat -e page-faults true > /dev/null 2>&1; then
  faults=$(perf stat -x, -e page-faults "$kalvex" --measure "$work/big.jpg" 2>&1 > /dev/null | awk -F, '/page-faults/ {print $1}')
  echo "   page faults: $faults"
fi

echo
echo "2. the window opening the same picture against the headless measurement"
window_ms=$(QT_QPA_PLATFORM=offscreen "$build/bench/bench_window" "$work/big.jpg" "$runs" | awk '/^median/ {print $2}')
echo "   window, load command to figures shown: ${window_ms} ms (median of $runs loads in one window)"
echo "   ratio to kalvex --measure: $(ratio "$window_ms" "$measure_ms") (target at most 2.0)"

echo
echo "3. 20 pictures: one process against one process per picture"
files=("$work"/many*.jpg)
one_by_one() { for f in "${files[@]}"; do "$kalvex" --measure "$f" --format json > /dev/null; done; }
together_ms=$(median_ms "$kalvex" --measure "${files[@]}" --format json)
single_ms=$(median_ms one_by_one)
busy=$(/usr/bin/time -f '%U %S %e' "$kalvex" --measure "${files[@]}" --format json 2>&1 > /dev/null | tail -1 |
  awk '{printf "%.2f", ($1 + $2) / $3}')
echo "   one process: ${together_ms} ms, $(ratio "20000" "$together_ms") pictures/s, $busy cores busy on average"
echo "   one by one:  ${single_ms} ms, $(ratio "20000" "$single_ms") pictures/s"
