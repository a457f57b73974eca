#!/usr/bin/env bash
# Compares the figures of two kalvex builds on many pictures: every JPEG layout the decoder meets
# (sizes, qualities, subsamplings, grayscale, progressive, restart markers, odd and one-pixel
# sides), BMPs (24 and 32 bits, 8-bit palette, bottom-up and top-down, odd widths), the whole
# picture, regions at the edges, overlapping, of one pixel, outside, regions files and projects,
# and damaged files (their messages). JSON, CSV and text must be byte for byte the same.
#
#   bash bench/compare_measure.sh OLD_KALVEX NEW_KALVEX [WORKDIR]
set -euo pipefail
old=$1
new=$2
work=${3:-$(mktemp -d)}
mkdir -p "$work"
cd "$work"

# Base pictures: plasma with noise, deterministic by seed.
base() { # name width height seed
  [ -f "$1.ppm" ] || convert -size "$2x$3" -seed "$4" plasma:fractal -attenuate 0.6 +noise Gaussian "$1.ppm"
}
base big 3001 2003 7
base mid 641 479 3
base odd 17 13 5
base tall 1 300 6
base wide 300 1 8
base dot 1 1 9
base two 2 2 10
base clip 400 300 11
convert clip.ppm -level 20%,80% clip.ppm # many clipped pixels

pics=()
jpeg() { # out source options...
  local out=$1 src=$2
  shift 2
  [ -f "$out" ] || cjpeg "$@" -outfile "$out" "$src.ppm"
  pics+=("$out")
}
for q in 50 90 100; do jpeg "mid-q$q-420.jpg" mid -quality $q -sample 2x2; done
jpeg mid-444.jpg mid -quality 90 -sample 1x1
jpeg mid-422.jpg mid -quality 90 -sample 2x1
jpeg mid-440.jpg mid -quality 90 -sample 1x2
jpeg mid-gray.jpg mid -quality 90 -grayscale
jpeg mid-prog.jpg mid -quality 90 -progressive
jpeg mid-prog-gray.jpg mid -quality 80 -progressive -grayscale
jpeg mid-restart.jpg mid -quality 90 -restart 1
jpeg mid-restart-rows.jpg mid -quality 85 -restart 3B -sample 2x1
jpeg mid-arith.jpg mid -quality 90 -arithmetic
jpeg big-420.jpg big -quality 90
jpeg big-444-prog.jpg big -quality 95 -sample 1x1 -progressive
for p in odd tall wide dot two clip; do
  jpeg "$p-420.jpg" $p -quality 90
  jpeg "$p-444.jpg" $p -quality 95 -sample 1x1
done
jpeg odd-gray.jpg odd -grayscale

# BMPs from the PPMs: 24 and 32 bits, bottom-up and top-down (written here, byte by byte).
python3 - mid odd tall wide dot two clip big <<'EOF'
import struct, sys, os
def ppm(name):
    d = open(name + '.ppm', 'rb').read()
    parts, pos = [], 0
    while len(parts) < 4:
        while d[pos:pos+1].isspace(): pos += 1
        if d[pos:pos+1] == b'#':
            while d[pos:pos+1] != b'\n': pos += 1
            continue
        s = pos
        while not d[pos:pos+1].isspace(): pos += 1
        parts.append(d[s:pos])
    pos += 1
    w, h, mx = int(parts[1]), int(parts[2]), int(parts[3])
    bpp = 1 if mx < 256 else 2
    px = d[pos:]
    if bpp == 2: px = bytes(px[i] for i in range(0, len(px), 2))
    return w, h, px
for name in sys.argv[1:]:
    w, h, px = ppm(name)
    for bits in (24, 32):
        for topdown in (False, True):
            out = '%s-%d%s.bmp' % (name, bits, '-td' if topdown else '')
            if os.path.exists(out): continue
            rowbytes = (w * bits + 31) // 32 * 4
            rows = []
            for y in range(h):
                src = px[3 * w * y: 3 * w * (y + 1)]
                r = bytearray()
                for x in range(w):
                    r += bytes((src[3*x+2], src[3*x+1], src[3*x]))
                    if bits == 32: r.append(0x7f)
                r += b'\0' * (rowbytes - len(r))
                rows.append(bytes(r))
            if not topdown: rows.reverse()
            data = b''.join(rows)
            hdr = struct.pack('<IiiHHIIiiII', 40, w, -h if topdown else h, 1, bits, 0, len(data), 2835, 2835, 0, 0)
            open(out, 'wb').write(b'BM' + struct.pack('<IHHI', 14 + 40 + len(data), 0, 0, 54) + hdr + data)
EOF
for p in mid odd tall wide dot two clip big; do
  for v in 24 32 24-td 32-td; do pics+=("$p-$v.bmp"); done
done
[ -f mid-8.bmp ] || convert mid.ppm -colors 200 -type Palette BMP3:mid-8.bmp
[ -f odd-8.bmp ] || convert odd.ppm -type Palette BMP3:odd-8.bmp
[ -f mid-16.bmp ] || convert mid.ppm -define bmp:subtype=RGB565 BMP3:mid-16.bmp
pics+=(mid-8.bmp odd-8.bmp mid-16.bmp)

# Regions files and projects.
cat > some.KalvexRegions <<'EOF'
[Program]
FileType=2
RegionCount=5

[Region.00000000]
X1=0
Y1=0
X2=50
Y2=40

[Region.00000001]
X1=700
Y1=500
X2=590
Y2=430

[Region.00000002]
X1=10
Y1=10
X2=11
Y2=11

[Region.00000003]
X1=-30
Y1=-30
X2=-10
Y2=-10

[Region.00000004]
X1=5
Y1=5
X2=5
Y2=50
EOF
printf '[Program]\r\nFileName=%s\r\nFileType=0\r\nRegionCount=1\r\n\r\n[Region.00000000]\r\nX1=3\r\nY1=4\r\nX2=300\r\nY2=200\r\n' \
  "$work/mid-444.jpg" > named.KalvexProject
printf '[Program]\r\nFileName=%s\r\nFileType=0\r\n' "$work/mid-24.bmp" > named-bmp.KalvexProject
# Many regions on the big picture, overlapping in a grid.
python3 - <<'EOF'
with open('grid.KalvexRegions', 'w') as f:
    f.write('[Program]\nFileType=2\nRegionCount=600\n')
    for i in range(600):
        x, y = (i % 30) * 97 - 20, (i // 30) * 101 - 10
        f.write('\n[Region.%08x]\nX1=%d\nY1=%d\nX2=%d\nY2=%d\n' % (i, x, y, x + 150 + i % 7, y + 120 + i % 5))
EOF
# Damaged files: their messages must stay the same.
head -c 20000 mid-q90-420.jpg > cut.jpg
python3 -c "
d = bytearray(open('mid-q90-420.jpg','rb').read()); d[3000:3100] = b'\xff' * 100; open('junk.jpg','wb').write(d)
d = bytearray(open('mid-24.bmp','rb').read()); open('cut.bmp','wb').write(d[:len(d)//2])
d = bytearray(open('mid-24.bmp','rb').read()); d[18:26] = (40000).to_bytes(4,'little') * 2; open('huge.bmp','wb').write(d)
open('empty.jpg','wb').write(b'')
"
bad=(cut.jpg junk.jpg cut.bmp huge.bmp empty.jpg missing.jpg)

edge() { # the region arguments for a picture of W x H
  local w=$1 h=$2
  echo "--region 0,0,$w,$h --region 0,0,1,1 --region $((w - 1)),$((h - 1)),1,1 --region $((w / 3)),$((h / 4)),$((w / 2 + 1)),$((h / 2 + 1))"
  echo "--region $((w / 4)),$((h / 3)),$((w / 2)),$((h / 3 + 1)) --region $((w - 5)),$((h - 5)),20,20 --region 0,$((h / 2)),$w,1"
  echo "--region $((w + 5)),0,10,10 --region 2,2,0,5"
}

fails=0
runs=0
check() { # label args...
  local label=$1
  shift
  for fmt in json csv text; do
    local extra=()
    [ "$fmt" = text ] && extra=(--histogram)
    local a b sa sb
    set +e
    a=$("$old" --measure "$@" --format $fmt "${extra[@]}" 2>&1)
    sa=$?
    b=$("$new" --measure "$@" --format $fmt "${extra[@]}" 2>&1)
    sb=$?
    set -e
    runs=$((runs + 1))
    if [ "$a" != "$b" ] || [ $sa != $sb ]; then
      echo "DIFFERENT ($fmt, status $sa/$sb): $label"
      diff <(echo "$a") <(echo "$b") | head -5
      fails=$((fails + 1))
    fi
  done
}

for p in "${pics[@]}"; do
  read -r w h < <(identify -format '%w %h\n' "$p" 2>/dev/null | head -1)
  check "$p" "$p"
  # shellcheck disable=SC2046
  check "$p with edge regions" "$p" $(edge "$w" "$h")
done
check "regions file" mid-444.jpg --regions some.KalvexRegions --region 600,400,100,100
check "regions file on a BMP" mid-24-td.bmp --regions some.KalvexRegions
check "grid of regions" big-420.jpg --regions grid.KalvexRegions
check "grid of regions on a BMP" big-24.bmp --regions grid.KalvexRegions
check "projects" named.KalvexProject named-bmp.KalvexProject --region 1,1,5,5
check "several files" mid-q50-420.jpg odd-32.bmp dot-420.jpg mid-8.bmp
for b in "${bad[@]}"; do check "damaged $b" "$b" mid-gray.jpg; done
echo "$runs comparisons, $fails different"
[ $fails = 0 ]
