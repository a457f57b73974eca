#!/usr/bin/env bash
# Starts Kalvex on a virtual screen and saves a screenshot of the whole screen, to check the window
# by eye (high-density scaling, window size against the screen).
#   bash scripts/screenshot.sh OUT.png [WIDTHxHEIGHT] [SCALE] [DELAY_SECONDS] [-- kalvex arguments]
# e.g. bash scripts/screenshot.sh /tmp/k2.png 1600x1000 2 6 -- data/sample.jpg
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$1; size=${2:-1600x1000}; scale=${3:-1}; delay=${4:-6}
shift $(( $# < 4 ? $# : 4 ))
[ "${1:-}" = "--" ] && shift
kalvex=${KALVEX:-$top/build/kalvex}
display=:$(( 90 + RANDOM % 100 ))
Xvfb "$display" -screen 0 "${size}x24" -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true' EXIT
sleep 1
# A configuration folder of its own, so no remembered window of the user's interferes.
config=$(mktemp -d "${TMPDIR:-/tmp}/kalvex-shot-XXXXXX")
DISPLAY=$display QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=$scale XDG_CONFIG_HOME=$config "$kalvex" "$@" &
app=$!
sleep "$delay"
DISPLAY=$display import -window root "$out"
kill "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true
rm -rf "$config"
echo "screenshot: $out"
