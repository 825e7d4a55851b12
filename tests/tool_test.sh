#!/usr/bin/env bash
# End-to-end checks of the qorimg tool: exit codes and messages, and pixels of its outputs
# compared with Pillow's decoding of the same inputs.
set -u
: "${QORIMG:?path of the qorimg binary}"
here="$(cd "$(dirname "$0")" && pwd)"
examples="$here/../examples"
py=/usr/bin/python3
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_exit() {  # expect_exit CODE DESCRIPTION -- command...
  local want=$1 what=$2; shift 3
  "$@" >"$work/out" 2>"$work/err"; local got=$?
  [ "$got" = "$want" ] || fail "$what: exit $got, wanted $want ($(head -c 300 "$work/err"))"
}
same_pixels() {  # same_pixels A B: Pillow decodes both (first frame) to the same RGBA pixels
  "$py" - "$1" "$2" <<'PY' || fail "pixels differ: $1 vs $2"
import sys
from PIL import Image
def load(p):
    im = Image.open(p)
    im.seek(0)
    # Transparency is compared separately; compare colours only.
    return im.convert("RGB")
a, b = load(sys.argv[1]), load(sys.argv[2])
if a.size != b.size:
    sys.exit(f"size {a.size} != {b.size}")
if a.tobytes() != b.tobytes():
    sys.exit("pixels differ")
PY
}

# Usage and refusals.
expect_exit 0 "--help" -- "$QORIMG" --help
expect_exit 2 "no arguments" -- "$QORIMG"
expect_exit 2 "unknown option" -- "$QORIMG" --frobnicate info x.gif
expect_exit 2 "bad output extension" -- "$QORIMG" convert "$examples/plasma256.gif" "$work/x.jpg"
expect_exit 2 "transparent index out of range" -- "$QORIMG" convert --transparent 300 a.png b.gif
expect_exit 1 "missing input" -- "$QORIMG" convert "$work/missing.gif" "$work/x.png"
grep -q "missing.gif" "$work/err" && grep -q "status 201" "$work/err" ||
  fail "missing input: message must name the file and the status: $(cat "$work/err")"
head -c 400 /dev/zero | tr '\0' 'x' >"$work/text.gif"  # long enough for both signature checks
expect_exit 1 "not a GIF" -- "$QORIMG" convert -q "$work/text.gif" "$work/x.png"
grep -q "status 304" "$work/err" || fail "not a GIF: $(cat "$work/err")"
[ ! -e "$work/x.png" ] || fail "a refused read must not leave an output file"

# GIF to PNG and BMP: the pixels that Pillow decodes from the GIF.
for gif in "$examples"/*.gif; do
  name=$(basename "$gif" .gif)
  expect_exit 0 "convert $name to png" -- "$QORIMG" convert -q "$gif" "$work/$name.png"
  same_pixels "$gif" "$work/$name.png"
  expect_exit 0 "convert $name to bmp" -- "$QORIMG" convert -q "$gif" "$work/$name.bmp"
  same_pixels "$gif" "$work/$name.bmp"
  expect_exit 0 "info $name" -- "$QORIMG" info "$gif"
  grep -q "GIF version" "$work/out" || fail "info $name: $(cat "$work/out")"
done
"$QORIMG" info "$examples/frames-transparent.gif" | grep -q "transparent index 0" ||
  fail "info must report the transparent index"
"$py" -c "
import sys; from PIL import Image
im = Image.open('$work/frames-transparent.png')
sys.exit(0 if im.info.get('transparency') is not None else 'no tRNS in the PNG')" ||
  fail "a transparent GIF gives a PNG with tRNS"

# PNG and BMP to GIF, read back by Pillow.
"$py" - "$work" <<'PY'
import sys, random
from PIL import Image
w = sys.argv[1]
random.seed(5)
im = Image.new("P", (97, 61))
im.putpalette([random.randrange(256) for _ in range(768)])
im.putdata([random.randrange(256) for _ in range(97 * 61)])
im.save(f"{w}/pal8.png"); im.save(f"{w}/pal8.bmp")
g = Image.new("L", (33, 17)); g.putdata([(x * 37) % 256 for x in range(33 * 17)])
g.save(f"{w}/grey8.png")
# A 4-bit palette of 5 colours.
p4 = Image.new("P", (13, 7)); p4.putpalette([10, 20, 30, 200, 0, 0, 0, 200, 0, 0, 0, 200, 255, 255, 255])
p4.putdata([x % 5 for x in range(13 * 7)]); p4.save(f"{w}/pal4.png", bits=4)
b = Image.new("1", (45, 9)); b.putdata([(x * 7) % 3 == 0 for x in range(45 * 9)])
b.save(f"{w}/bilevel.png"); b.save(f"{w}/bilevel.bmp")
Image.new("RGB", (8, 8), (1, 2, 3)).save(f"{w}/rgb.png")
Image.new("RGB", (8, 8), (1, 2, 3)).save(f"{w}/rgb.bmp")
PY
convert -size 21x5 gradient: -colorspace Gray -depth 2 -define png:bit-depth=2 \
  -define png:color-type=0 "$work/grey2.png"
file "$work/grey2.png" | grep -q "2-bit grayscale" || fail "could not make a 2-bit grey PNG"
file "$work/pal4.png" | grep -q "4-bit colormap" || fail "could not make a 4-bit palette PNG"
for src in pal8.png pal8.bmp grey8.png grey2.png pal4.png bilevel.png bilevel.bmp; do
  expect_exit 0 "encode $src" -- "$QORIMG" convert -q "$work/$src" "$work/$src.gif"
  same_pixels "$work/$src" "$work/$src.gif"
  giftext "$work/$src.gif" >/dev/null 2>&1 || fail "giftext refuses $src.gif"
  expect_exit 0 "encode $src interlaced" -- "$QORIMG" convert -q --interlace "$work/$src" "$work/$src.i.gif"
  same_pixels "$work/$src" "$work/$src.i.gif"
done
expect_exit 0 "encode with transparency" -- "$QORIMG" convert -q --transparent 3 "$work/pal8.png" "$work/t.gif"
"$py" -c "
import sys; from PIL import Image
t = Image.open('$work/t.gif').info.get('transparency')
sys.exit(0 if t == 3 else f'transparency {t}')" || fail "GIF transparency index"
for src in rgb.png rgb.bmp; do
  expect_exit 1 "true-colour $src refused" -- "$QORIMG" convert -q "$work/$src" "$work/$src.gif"
  grep -q "quantise" "$work/err" || fail "true-colour refusal must say why: $(cat "$work/err")"
done

# TIFF to PNG.
for tif in "$examples"/*.tif; do
  name=$(basename "$tif" .tif)
  expect_exit 0 "convert $name" -- "$QORIMG" convert -q "$tif" "$work/$name.png"
  same_pixels "$tif" "$work/$name.png"
  expect_exit 0 "info $name" -- "$QORIMG" info "$tif"
  grep -q "page 1: 120 x 90" "$work/out" || fail "info $name: $(cat "$work/out")"
done
# Several pages: page N goes to OUT-N; a page that the reader refuses is skipped with a warning.
tiffcp "$examples/plasma-rgb.tif" "$examples/bilevel.tif" "$examples/plasma-rgb-packbits.tif" \
  "$work/three.tif" 2>/dev/null
expect_exit 0 "multi-page" -- "$QORIMG" convert -q "$work/three.tif" "$work/three.png"
same_pixels "$examples/plasma-rgb.tif" "$work/three.png"
same_pixels "$examples/bilevel.tif" "$work/three-2.png"
same_pixels "$examples/plasma-rgb-packbits.tif" "$work/three-3.png"
"$py" - "$examples/plasma-rgb.tif" "$work/planar.tif" <<'PY'
import sys
from PIL import Image
Image.open(sys.argv[1]).save(sys.argv[2], save_all=True,
    append_images=[Image.new("RGB", (5, 5), (9, 9, 9))], compression="raw")
PY
tiffcp -p separate "$work/planar.tif" "$work/sep.tif" 2>/dev/null
tiffcp "$examples/plasma-rgb.tif" "$work/sep.tif" "$work/mixed.tif" 2>/dev/null
expect_exit 0 "skipped page" -- "$QORIMG" convert -q "$work/mixed.tif" "$work/mixed.png"
grep -q "page 2 skipped" "$work/err" || fail "a refused page is named on stderr: $(cat "$work/err")"
[ -e "$work/mixed.png" ] && [ ! -e "$work/mixed-2.png" ] || fail "skipped page numbering"

if [ "$failures" -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "tool: all checks passed"
