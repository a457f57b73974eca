#!/usr/bin/env bash
# The streaming measurement against the decode alone, side by side in one run:
#   1. kalvex --measure of a 24 MP JPEG against `djpeg -outfile /dev/null` on the same file: wall
#      time (at most 1.5 x), CPU time (at most 2.5 x) and peak resident memory (at most 64 MB);
#   2. the same with --regions and 6 regions;
#   3. a 24 MP BMP: wall time against the JPEG's (at most 1 x) and peak memory (at most 64 MB);
#   4. 10,000 regions of 100 x 100 on the 24 MP JPEG (at most 3 s).
# Times are medians of RUNS runs (default 7) after one warm-up run.
#
#   bash bench/bench_stream.sh [RUNS] [KALVEX]
# Without KALVEX a Release tree is built in build-bench.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${1:-7}
build="$root/build-bench"
if [ -n "${2:-}" ]; then
  kalvex=$2
  picture=${BENCH_PICTURE:-$(dirname "$kalvex")/bench/bench_picture}
else
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
  cmake --build "$build" --target kalvex bench_picture > /dev/null
  kalvex="$build/kalvex"
  picture="$build/bench/bench_picture"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$picture" "$work/big.jpg" 6000 4000 90 12345 0.28
djpeg -bmp -outfile "$work/big.bmp" "$work/big.jpg"
cp "$root/data/sample.KalvexRegions" "$work/six.KalvexRegions" # 6 regions
python3 - "$work/tenk.KalvexRegions" <<'EOF'
import sys
with open(sys.argv[1], 'w') as f:
    f.write('[Program]\nFileType=2\nRegionCount=10000\n')
    for i in range(10000):
        x, y = (i % 100) * 59, (i // 100) * 39
        f.write('\n[Region.%08x]\nX1=%d\nY1=%d\nX2=%d\nY2=%d\n' % (i, x, y, x + 100, y + 100))
EOF
echo "24 MP JPEG: $(stat -c %s "$work/big.jpg") bytes; BMP $(stat -c %s "$work/big.bmp") bytes"

# Median wall ms, median CPU ms (user + system) and the largest peak resident KB of "$@".
measure() {
  "$@" > /dev/null 2>&1
  local r out=""
  for ((r = 0; r < runs; r++)); do
    out+="$(/usr/bin/time -f '%e %U %S %M' "$@" 2>&1 > /dev/null | tail -1)"$'\n'
  done
  med() { grep . <<< "$out" | awk "$1" | sort -n | awk '{v[NR] = $1} END {printf "%.0f", v[int((NR + 1) / 2)]}'; }
  echo "$(med '{print $1 * 1000}') $(med '{print ($2 + $3) * 1000}') $(awk '$4 > m {m = $4} END {print m}' <<< "$out")"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
verdict() { awk -v v="$1" -v t="$2" 'BEGIN {print (v <= t ? "met" : "NOT met")}'; }

read -r dw dc dm < <(measure djpeg -outfile /dev/null "$work/big.jpg")
echo "djpeg -outfile /dev/null: ${dw} ms wall, ${dc} ms CPU"
show() { # label wall cpu rss
  local rw rc
  rw=$(ratio "$2" "$dw")
  rc=$(ratio "$3" "$dc")
  echo "$1: $2 ms wall = $rw x djpeg ($(verdict "$rw" 1.5), at most 1.5); $3 ms CPU = $rc x ($(verdict "$rc" 2.5), at most 2.5); peak $(($4 / 1024)) MB ($(verdict "$(($4 / 1024))" 64), at most 64)"
}
read -r jw jc jm < <(measure "$kalvex" --measure "$work/big.jpg" --format json)
show "1. kalvex --measure 24 MP JPEG" "$jw" "$jc" "$jm"
read -r rw rc rm < <(measure "$kalvex" --measure "$work/big.jpg" --regions "$work/six.KalvexRegions" --format json)
show "2. the same with 6 regions" "$rw" "$rc" "$rm"
read -r bw bc bm < <(measure "$kalvex" --measure "$work/big.bmp" --format json)
b=$(ratio "$bw" "$jw")
echo "3. 24 MP BMP: $bw ms wall = $b x the JPEG's ($(verdict "$b" 1.0), at most 1.0); peak $((bm / 1024)) MB ($(verdict "$((bm / 1024))" 64), at most 64)"
read -r tw tc tm < <(runs=1 measure "$kalvex" --measure "$work/big.jpg" --regions "$work/tenk.KalvexRegions" --format csv)
t=$(awk -v v="$tw" 'BEGIN {printf "%.2f", v / 1000}')
echo "4. 10,000 regions of 100 x 100: $t s ($(verdict "$t" 3.0), at most 3 s), ${tc} ms CPU, peak $((tm / 1024)) MB"
