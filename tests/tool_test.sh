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
same_pixels() {  # same_pixels A B: Pillow decodes both (first frame) to the same colours and,
  # unless one is a BMP (which has none), the same transparent palette index: a TIFF has none.
  "$py" - "$1" "$2" <<'PY' || fail "decoded images differ: $1 vs $2"
import sys
from PIL import Image
a, b = Image.open(sys.argv[1]), Image.open(sys.argv[2])
if a.size != b.size:
    sys.exit(f"size {a.size} != {b.size}")
if a.convert("RGB").tobytes() != b.convert("RGB").tobytes():
    sys.exit("pixels differ")
ta, tb = a.info.get("transparency"), b.info.get("transparency")
if "BMP" not in (a.format, b.format) and ta != tb:
    sys.exit(f"transparency {ta} != {tb}")
PY
}

# Usage and refusals.
expect_exit 0 "--help" -- "$QORIMG" --help
expect_exit 2 "no arguments" -- "$QORIMG"
expect_exit 2 "unknown option" -- "$QORIMG" --frobnicate info x.gif
expect_exit 2 "bad output extension" -- "$QORIMG" convert "$examples/plasma256.gif" "$work/x.jpg"
expect_exit 2 "transparent index out of range" -- "$QORIMG" convert --transparent 300 a.png b.gif
head -c 400 /dev/zero | tr '\0' 'x' >"$work/text.gif"  # long enough for both signature checks
expect_exit 1 "not a GIF" -- "$QORIMG" convert -q "$work/text.gif" "$work/x.png"
grep -q "status 304" "$work/err" || fail "not a GIF: $(cat "$work/err")"
[ ! -e "$work/x.png" ] || fail "a refused read must not leave an output file"
# A QORIMG_THREADS that is no count is taken as unset, with a warning; a count is taken silently.
for threads in abc -1 " 2" 99999999999; do
  QORIMG_THREADS="$threads" "$QORIMG" info "$examples/plasma256.gif" >/dev/null 2>"$work/err" ||
    fail "QORIMG_THREADS='$threads': the read must go on"
  grep -q "warning: QORIMG_THREADS=" "$work/err" || fail "QORIMG_THREADS='$threads' needs a warning"
done
QORIMG_THREADS=2 "$QORIMG" info "$examples/plasma256.gif" >/dev/null 2>"$work/err"
[ ! -s "$work/err" ] || fail "QORIMG_THREADS=2 is a count: $(cat "$work/err")"

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
# RLE BMPs: ImageMagick's RLE8, and an RLE4 file made here with runs, an odd literal run, a move
# and the end codes, decode to the pixels that ImageMagick decodes.
convert -size 37x13 gradient:red-blue -colors 12 -type palette -compress RLE "$work/rle8.bmp"
"$py" - "$work/rle4.bmp" <<'PY'
import struct, sys
rows = [bytes([4, 0x12, 3, 0x34, 0, 0]), bytes([0, 5, 0x56, 0x78, 0x90, 0, 0, 0]),
        bytes([2, 0xAA, 0, 2, 3, 0, 2, 0xBB, 0, 0]), bytes([9, 0xCD, 0, 1])]
data = b"".join(rows)
palette = b"".join(bytes([i * 16, 255 - i * 16, (i * 77) % 256, 0]) for i in range(16))
at = 14 + 40 + len(palette)
head = struct.pack("<IiiHHIIiiII", 40, 9, 4, 1, 4, 2, len(data), 2835, 2835, 16, 0)
open(sys.argv[1], "wb").write(b"BM" + struct.pack("<IHHI", at + len(data), 0, 0, at) + head + palette + data)
PY
for src in rle8.bmp rle4.bmp; do
  expect_exit 0 "encode $src" -- "$QORIMG" convert -q "$work/$src" "$work/$src.gif"
  [ "$(compare -metric AE "$work/$src" "$work/$src.gif" null: 2>&1)" = 0 ] || fail "$src: pixels differ"
done
# What GIF output cannot take is refused with the GIF writer's status for such a bitmap, and info
# says so beforehand.
while IFS='|' read -r src says; do
  expect_exit 1 "$src refused" -- "$QORIMG" convert -q "$work/$src" "$work/$src.gif"
  grep -q "$says.* (status 101)$" "$work/err" || fail "$src refusal: $(cat "$work/err")"
  "$QORIMG" info "$work/$src" | grep -q "convert refuses it: $says" || fail "info $src: no hint"
done <<'ROWS'
rgb.png|true-colour PNG (RGB)
rgb.bmp|true-colour BMP (24 bits per pixel)
ROWS

# TIFF to PNG.
for tif in "$examples"/*.tif; do
  name=$(basename "$tif" .tif)
  expect_exit 0 "convert $name" -- "$QORIMG" convert -q "$tif" "$work/$name.png"
  same_pixels "$tif" "$work/$name.png"
  expect_exit 0 "info $name" -- "$QORIMG" info "$tif"
  size="120 x 90"
  [ "$name" = gradient-rgb-lzw-2pages ] && size="400 x 300"
  grep -q "page 1: $size" "$work/out" || fail "info $name: $(cat "$work/out")"
done
# Several pages: page N goes to OUT-N; a page that the reader refuses is skipped with a warning.
tiffcp "$examples/plasma-rgb.tif" "$examples/bilevel.tif" "$examples/plasma-rgb-packbits.tif" \
  "$work/three.tif" 2>/dev/null
expect_exit 0 "multi-page" -- "$QORIMG" convert -q "$work/three.tif" "$work/three.png"
[ ! -s "$work/out" ] && [ ! -s "$work/err" ] || fail "-q printed: $(cat "$work/out" "$work/err")"
expect_exit 0 "multi-page summary" -- "$QORIMG" convert "$work/three.tif" "$work/three.png"
grep -qx "$work/three.tif: wrote 3 files, $work/three.png to $work/three-3.png" "$work/out" ||
  fail "the files written: $(cat "$work/out")"
same_pixels "$examples/plasma-rgb.tif" "$work/three.png"
same_pixels "$examples/bilevel.tif" "$work/three-2.png"
same_pixels "$examples/plasma-rgb-packbits.tif" "$work/three-3.png"
# A batch of more files than are committed at once, through a read that fails: with --limit the
# one large page among 299 small ones is skipped, every other page is written, and no temporary
# file stays behind.
pages=()
for i in $(seq 300); do pages+=("$examples/$([ "$i" = 151 ] && echo plasma-rgb || echo bilevel).tif"); done
tiffcp "${pages[@]}" "$work/many.tif" 2>/dev/null
mkdir "$work/many"
expect_exit 0 "a batch of 300 pages" -- "$QORIMG" convert -q --limit 16K "$work/many.tif" "$work/many/"
grep -q "page 151 skipped: .*(status 102)" "$work/err" || fail "batch: $(cat "$work/err")"
[ ! -s "$work/out" ] && [ "$(ls -A "$work/many" | wc -l)" = 299 ] && [ ! -e "$work/many/many-151.png" ] ||
  fail "batch wrote: $(ls -A "$work/many" | head -3) ($(ls -A "$work/many" | wc -l) files)"
same_pixels "$examples/bilevel.tif" "$work/many/many-300.png"
# PNG output keeps every pixel and alpha value: noise, flat areas and gradients, so that rows take
# each of the row filters, RGB and RGBA, read back by Pillow.
"$py" - "$work" <<'PY' || fail "PNG test images"
import random, sys
from PIL import Image
random.seed(7)
w, h = 257, 131
im = Image.new("RGBA", (w, h))
px = im.load()
for y in range(h):
    for x in range(w):
        if y < 40:
            px[x, y] = tuple(random.randrange(256) for _ in range(4))
        elif y < 80:
            px[x, y] = (x % 256, y * 2, (x + y) % 256, 255 - x % 256)
        else:
            px[x, y] = (200, 10, 10, 128) if (x // 16 + y // 16) % 2 else (5, 250, 5, 255)
im.save(f"{sys.argv[1]}/photo-rgba.tif")
im.convert("RGB").save(f"{sys.argv[1]}/photo-rgb.tif", compression="tiff_lzw")
PY
for name in photo-rgb photo-rgba; do
  expect_exit 0 "convert $name" -- "$QORIMG" convert -q "$work/$name.tif" "$work/$name.png"
  "$py" - "$work/$name.tif" "$work/$name.png" <<'PY' || fail "$name: PNG pixels differ"
import sys
from PIL import Image
a, b = Image.open(sys.argv[1]), Image.open(sys.argv[2])
sys.exit(a.mode != b.mode or a.tobytes() != b.tobytes())
PY
done
# What info says of a page's layout and numbering, and of short files that are not GIFs.
tiffcp -t -w 16 -l 16 "$examples/plasma-rgb.tif" "$work/tiled.tif"
cp "$examples/plasma-rgb.tif" "$work/numbered.tif"
tiffset -s 297 2 0 "$work/numbered.tif"
tiffcp "$examples/plasma-rgb.tif" "$examples/plasma-rgb.tif" "$work/numbered2.tif"
tiffset -s 297 0 2 "$work/numbered2.tif"
"$py" - "$work" <<'PY' || fail "message test files"
import struct, sys
from PIL import Image
d = sys.argv[1]
# One pixel, a table of 2 colours and a colour resolution of 1 bit.
open(f"{d}/two.gif", "wb").write(b"GIF89a\x01\x00\x01\x00\x80\x00\x00" + bytes(3) + b"\xff" * 3 +
                                 b"\x2c" + bytes(4) + b"\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00\x3b")
open(f"{d}/short.gif", "wb").write(b"x" * 50)
open(f"{d}/cut.gif", "wb").write(b"GIF89a\x04\x00")
# TileWidth and TileLength of the tiled file set to 0, in place.
data = bytearray(open(f"{d}/tiled.tif", "rb").read())
assert data[:2] == b"II"
ifd = struct.unpack_from("<I", data, 4)[0]
for i in range(struct.unpack_from("<H", data, ifd)[0]):
    at = ifd + 2 + 12 * i
    tag, kind = struct.unpack_from("<HH", data, at)
    if tag in (322, 323):
        struct.pack_into("<I", data, at + 8, 0)
open(f"{d}/tile0.tif", "wb").write(data)
# 70,000 pages of one pixel, each directory naming the next.
n, entries = 70000, 8
size = 2 + 12 * entries + 4
out = bytearray(b"II*\x00" + struct.pack("<I", 16) + b"\x00" * 8)
for i in range(n):
    at = 16 + i * size
    nxt = at + size if i + 1 < n else 0
    tags = [(256, 3, 1, 1), (257, 3, 1, 1), (258, 3, 1, 1), (259, 3, 1, 1), (262, 3, 1, 1),
            (273, 4, 1, 8), (278, 3, 1, 1), (279, 4, 1, 1)]
    out += struct.pack("<H", entries)
    for tag, kind, count, value in tags:
        out += struct.pack("<HHII", tag, kind, count, value)
    out += struct.pack("<I", nxt)
open(f"{d}/70000.tif", "wb").write(out)
PY
while IFS='|' read -r file says; do
  "$QORIMG" info "$work/$file" >"$work/out" 2>&1
  grep -q -- "$says" "$work/out" || fail "info $file: wanted '$says': $(head -c 600 "$work/out")"
done <<'ROWS'
photo-rgba.tif|one extra sample (unassociated alpha)
tiled.tif|tiles of 16 x 16
tile0.tif|the tile size is missing or zero (TileWidth 0, TileLength 0)
numbered.tif|numbered page 3\($\|,\)
numbered2.tif|numbered page 1 of 2
two.gif|1 bit per pixel
70000.tif|at least 65535 pages; the pages after these are not read
short.gif|status 304
cut.gif|status 202
ROWS
# The pages asked for: --page N goes to OUT itself, --pages A-B to OUT-N; bad values are one-line
# usage errors that write nothing.
expect_exit 0 "--page" -- "$QORIMG" convert -q --page 2 "$work/three.tif" "$work/page.png"
same_pixels "$examples/bilevel.tif" "$work/page.png"
expect_exit 0 "--pages" -- "$QORIMG" convert -q --pages 2-3 "$work/three.tif" "$work/range.png"
same_pixels "$examples/plasma-rgb-packbits.tif" "$work/range-3.png"
[ -e "$work/range-2.png" ] && [ ! -e "$work/range.png" ] || fail "--pages 2-3: $(ls "$work")"
while IFS='|' read -r args says; do
  # shellcheck disable=SC2086
  expect_exit 2 "usage: $args" -- "$QORIMG" convert -q $args "$work/three.tif" "$work/bad.png"
  [ "$(wc -l <"$work/err")" = 1 ] && grep -q -- "$says" "$work/err" || fail "$args: $(cat "$work/err")"
done <<'ROWS'
--page 0|--page N takes a page number from 1, not '0'
--page 4|--page 4: .*three.tif has 3 pages
--pages 2-9|--pages 2-9: .*three.tif has 3 pages
--pages 3-2|A at most B, not '3-2'
--limit 5X|--limit SIZE takes bytes, or a number with K, M or G (such as 512M), not '5X'
ROWS
[ -z "$(ls "$work"/bad* 2>/dev/null)" ] || fail "a usage error wrote $(ls "$work"/bad*)"
# A limit below a page skips it; a page alone above the limit is refused with 102.
expect_exit 0 "--limit" -- "$QORIMG" convert -q --limit 4K "$work/three.tif" "$work/lim.png"
grep -q "page 1 skipped: .*--limit allows 4096 bytes) (status 102)" "$work/err" &&
  [ -e "$work/lim-2.png" ] && [ ! -e "$work/lim.png" ] || fail "--limit: $(cat "$work/err")"
expect_exit 1 "--limit one page" -- "$QORIMG" convert -q --limit 4K --page 1 "$work/three.tif" "$work/lim1.png"
grep -q "(status 102)$" "$work/err" || fail "--limit one page: $(cat "$work/err")"
# GIF output from pages of 1, 4 or 8 bits (fax, palette and grey TIFFs, GIFs); 24-bit pages are
# skipped, and a GIF keeps its transparent index.
for src in "$examples/bilevel-g4.tif" "$here/data/tiff/pil-palette8-none.tif" \
  "$here/data/tiff/im-palette4-packbits.tif" "$examples/frames-transparent.gif"; do
  expect_exit 0 "$(basename "$src") to GIF" -- "$QORIMG" convert -q "$src" "$work/re.gif"
  same_pixels "$src" "$work/re.gif"
done
expect_exit 0 "three pages to GIF" -- "$QORIMG" convert -q "$work/three.tif" "$work/three.gif"
grep -q "page 3 skipped: GIF output takes pages of 1, 4 or 8 bits" "$work/err" &&
  [ -e "$work/three-2.gif" ] && [ ! -e "$work/three.gif" ] || fail "three to GIF: $(cat "$work/err")"
# --all-frames: every frame as Pillow composes it, frame N > 1 to OUT-N; a frame that cannot be
# decoded ends them with a warning. Usage errors write nothing.
"$py" "$here/support/pillow_frames.py" "$work" >/dev/null || fail "pillow_frames.py"
for name in global local pillow; do
  expect_exit 0 "--all-frames $name" -- "$QORIMG" convert -q --all-frames "$work/$name.gif" "$work/all-$name.png"
  "$py" - "$work/$name.gif" "$work/all-$name" <<'PY' || fail "--all-frames $name: frames differ"
import os, sys
from PIL import Image
im, out = Image.open(sys.argv[1]), sys.argv[2]
for n in range(im.n_frames):
    im.seek(n)
    assert Image.open(out + (f"-{n + 1}" if n else "") + ".png").convert("RGB").tobytes() == im.convert("RGB").tobytes(), n
assert not os.path.exists(f"{out}-{im.n_frames + 1}.png")
PY
done
expect_exit 0 "--all-frames, a frame cut" -- "$QORIMG" convert -q --all-frames "$work/local-cut.gif" "$work/cut.bmp"
grep -q "frame 3 and those after it cannot be decoded; 2 frames are converted" "$work/err" &&
  [ -e "$work/cut-2.bmp" ] && [ ! -e "$work/cut-3.bmp" ] || fail "--all-frames, a frame cut: $(cat "$work/err")"
# A composed read that fails ends the input with its status, whether the GIF is named, comes on
# standard input or is one of a batch (the others are still written); it is never read again.
expect_exit 1 "--all-frames over the limit" -- timeout 20 "$QORIMG" convert -q --all-frames --limit 1K "$work/global.gif" "$work/over.png"
grep -q "global.gif: .*(status 102)" "$work/err" && [ ! -e "$work/over.png" ] ||
  fail "--all-frames over the limit: $(cat "$work/err")"
timeout 20 "$QORIMG" convert -q --all-frames --limit 1K --to png - "$work/over.png" <"$work/global.gif" 2>"$work/err"
[ $? = 1 ] && grep -q "standard input: .*(status 102)" "$work/err" ||
  fail "--all-frames from standard input over the limit: $(cat "$work/err")"
mkdir "$work/over"
# Every block of a read counts against the limit, working memory too: 256 KiB holds an 8 x 8
# image's read, and not one layer of 1000 x 1000.
"$py" -c "from PIL import Image; Image.new('P', (8, 8), 1).save('$work/tiny.gif')
Image.new('P', (1000, 1000), 1).save('$work/big.gif', save_all=True, append_images=[Image.new('P', (1000, 1000), 2)])"
expect_exit 1 "--all-frames batch, one over the limit" -- timeout 20 "$QORIMG" convert -q --all-frames --limit 256K "$work/big.gif" "$work/tiny.gif" "$work/over/"
[ "$(grep -c "status 102" "$work/err")" = 1 ] && [ -e "$work/over/tiny.png" ] ||
  fail "--all-frames batch, one over the limit: $(cat "$work/err"); $(ls "$work/over")"
for bad in "--page 2" "--to gif" "--classic"; do
  # shellcheck disable=SC2086
  expect_exit 2 "--all-frames $bad" -- "$QORIMG" convert -q --all-frames $bad "$work/global.gif" "$work/bad.png"
  [ ! -e "$work/bad.png" ] || fail "--all-frames $bad wrote a file"
done

# 65535 Group 4 pages of 1024 x 1024 (8 GB of images together): info describes them and
# --page 60000 decodes one, each in a fraction of a second where reading them all takes minutes.
"$py" "$here/../bench/many_fax_pages.py" "$work/many.tif"
timeout 10 "$QORIMG" info "$work/many.tif" >"$work/out" && grep -q "TIFF (little-endian), 65535 pages" "$work/out" ||
  fail "info of 65535 pages: $(head -c 300 "$work/out")"
timeout 10 "$QORIMG" convert -q --page 60000 "$work/many.tif" "$work/p60000.png" ||
  fail "--page 60000 of 65535"
# What tiffinfo users look for, as tiffinfo reads it, and a GIF's animation as Pillow reads it.
convert "$examples/plasma-rgb.tif" -density 150x75 -units PixelsPerCentimeter -orient BottomLeft \
  -define tiff:rows-per-strip=7 "$work/tags.tif"
tiffset -s 305 "a writer whose name runs on past the record's field" "$work/tags.tif"
tiffset -s 306 "2024:01:02 03:04:05" "$work/tags.tif"
"$QORIMG" info --json "$work/tags.tif" "$work/three.tif" >"$work/out"
for f in tags three; do tiffinfo "$work/$f.tif" >"$work/$f.info" 2>/dev/null; done
"$py" - "$work" <<'PY' || fail "info tags"
import json, re, sys
w = sys.argv[1]
for line, name in zip(open(f"{w}/out"), ("tags", "three")):
    o = json.loads(line)
    ti = open(f"{w}/{name}.info").read().split("TIFF Directory")[1:]
    assert o["byteOrder"] == ("big-endian" if open(f"{w}/{name}.tif", "rb").read(2) == b"MM" else "little-endian")
    assert len(ti) == len(o["pages"]), (name, len(ti))
    for page, d in zip(o["pages"], ti):
        m = re.search(r"Resolution: ([\d.]+), ([\d.]+)( pixels/(inch|cm))?", d)
        assert (m is None) == (page["xResolution"] is None), (name, page)
        if m:
            assert (float(m[1]), float(m[2])) == (page["xResolution"], page["yResolution"]), page
            assert {"inch": 2, "cm": 3, None: 1}[m[4]] == page["resolutionUnit"], page
        m = re.search(r"Rows/Strip: (\d+)", d)
        assert page["rowsPerStrip"] == (int(m[1]) if m else 0), page
        assert ("Orientation: row 0 bottom, col 0 lhs" in d) == (page["orientation"] == 4), page
        m = re.search(r"Software: (.*)", d)
        assert page["software"] == (m[1][:39] if m else ""), page
        m = re.search(r"DateTime: (.*)", d)
        assert page["dateTime"] == (m[1] if m else ""), page
PY
"$py" - "$work/anim.gif" <<'PY'
import sys
from PIL import Image
frames = [Image.new("RGB", (6, 4), c) for c in ((255, 0, 0), (0, 255, 0), (0, 0, 255))]
frames[0].save(sys.argv[1], save_all=True, append_images=frames[1:], duration=[100, 250, 40],
               loop=2, disposal=[1, 2, 3], comment=b"made for qorimg")
PY
"$QORIMG" info --json "$work/anim.gif" >"$work/out"
"$py" - "$work/out" <<'PY' || fail "GIF frames: $(cat "$work/out")"
import json, sys
o = json.loads(open(sys.argv[1]).read())
assert o["loopCount"] == 2 and o["comments"] == "made for qorimg\n", o
assert [(f["delay"], f["disposal"]) for f in o["frameList"]] == [(10, 1), (25, 2), (4, 3)], o
PY
# Frames are printed as they are described: thousands of them, as many as Pillow counts, in text
# and in JSON.
"$py" - "$work/anim.gif" "$work/many.gif" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
at = data.index(b"\x21\xf9")  # the first frame's control extension, descriptor and data
frame = data[at:data.index(b"\x21\xf9", at + 1)]
open(sys.argv[2], "wb").write(data[:at] + frame * 3000 + b"\x3b")
PY
"$QORIMG" info --json "$work/many.gif" >"$work/out" && "$QORIMG" info "$work/many.gif" >"$work/out.txt" ||
  fail "info of many frames"
"$py" - "$work/many.gif" "$work/out" "$work/out.txt" <<'PY' || fail "many frames: $(head -c 300 "$work/out")"
import json, sys
from PIL import Image
frames = Image.open(sys.argv[1]).n_frames
o = json.loads(open(sys.argv[2]).read())
assert frames == 3000 and len(o["frameList"]) == frames == o["frames"], (frames, o["frames"])
assert sum(line.startswith("  frame ") for line in open(sys.argv[3])) == frames
PY
"$py" - "$examples/plasma-rgb.tif" "$work/planar.tif" <<'PY'
import sys
from PIL import Image
Image.open(sys.argv[1]).save(sys.argv[2], save_all=True,
    append_images=[Image.new("RGB", (5, 5), (9, 9, 9))], compression="raw")
PY
tiffcp -p separate "$work/planar.tif" "$work/sep.tif" 2>/dev/null
tiffcp "$examples/plasma-rgb.tif" "$work/sep.tif" "$work/mixed.tif" 2>/dev/null
expect_exit 0 "skipped page" -- "$QORIMG" convert -q --classic "$work/mixed.tif" "$work/mixed.png"
grep -q "page 2 skipped" "$work/err" || fail "a refused page is named on stderr: $(cat "$work/err")"
[ -e "$work/mixed.png" ] && [ ! -e "$work/mixed-2.png" ] || fail "skipped page numbering"
# Read extended, the page of separate planes is read too, as Pillow reads it.
rm -f "$work"/mixed*.png
expect_exit 0 "planes" -- "$QORIMG" convert -q "$work/mixed.tif" "$work/mixed.png"
same_pixels "$work/sep.tif" "$work/mixed-2.png"

# Refusals of the classic reads name the cause that decided the library's status. Each row: file,
# status (any where the header or directory chain decides), what the message says.
tiffcp -t -w 16 -l 16 "$examples/plasma-rgb.tif" "$work/tiled.tif"
tiffcp -c zip "$examples/plasma-rgb.tif" "$work/zip.tif"
tiffcp -c zip:2 "$examples/plasma-rgb.tif" "$work/zip-predictor.tif"
tiffcp -r 16 -c jpeg "$examples/plasma-rgb.tif" "$work/jpeg.tif"
convert "$examples/plasma-rgb.tif" -depth 16 -compress zip "$work/zip16.tif"
tiffcp -c g3:2d "$examples/bilevel.tif" "$work/g32d.tif"
tiffcp "$work/zip.tif" "$examples/bilevel-g4.tif" "$work/zip-g4.tif"
printf 'II*\0' >"$work/four.tif"
head -c 8 "$examples/plasma-rgb.tif" >"$work/head8.tif"
head -c 20000 "$examples/plasma-rgb.tif" >"$work/cut.tif"  # its directory follows the data
printf 'GIF89a\377\377\20\0\200\0\0\0\0\0\377\377\377,\0\0\0\0\0\0\0\0\0\2\2D\1\0;' >"$work/wide.gif"
ln -s /dev/zero "$work/zero"
tiffcp "$examples/plasma-rgb.tif" "$examples/bilevel-g4.tif" "$work/bad-fax.tif"
"$py" - "$work/bad-fax.tif" <<'PY'  # page 2's Group 4 data becomes zero bytes
import sys
from PIL import Image
im = Image.open(sys.argv[1]); im.seek(1)
f = open(sys.argv[1], "r+b"); f.seek(im.tag_v2[273][0]); f.write(bytes(im.tag_v2[279][0]))
PY
while IFS='|' read -r file status says; do
  expect_exit 1 "refuse $file" -- "$QORIMG" convert -q --classic "$work/$file" "$work/refused.png"
  grep -q "$says (status $status)$" "$work/err" || fail "$file: wanted '$says ($status)': $(cat "$work/err")"
done <<'ROWS'
tiled.tif|318|the page has no strip offsets (tiled pages are read by extended reads only)
zip.tif|531|: compression 8 (Deflate) is not supported
zip-predictor.tif|535|TIFF predictor 2 needs LZW compression and 8 bits per sample
jpeg.tif|534|3 samples of 8 bits with photometric 6 (YCbCr) are not supported
zip16.tif|534|16 bits per sample are not supported (1, 4 or 8)
g32d.tif|537|two-dimensional Group 3 coding is not supported
four.tif|101|the file ends inside the TIFF header (4 of 8 bytes)
head8.tif|202|the file ends before its image directory (offset [0-9]*, past the file's 8 bytes)
cut.tif|202|the file ends before its image directory (offset [0-9]*, past the file's 20000 bytes)
wide.gif|[0-9]*|65535 pixels wide; at most 32767
missing.gif|201|No such file or directory
zero|304|not a GIF, TIFF, BMP or PNG file
ROWS
# By default the tool reads what the classic reads refuse: Deflate (with the predictor too),
# JPEG and two-dimensional Group 3 pages convert to what Pillow shows.
for file in zip zip-predictor jpeg g32d; do
  expect_exit 0 "extended $file" -- "$QORIMG" convert -q "$work/$file.tif" "$work/$file.png"
  same_pixels "$work/$file.tif" "$work/$file.png"
done
# Alpha is kept as Pillow reads it, and a fax page's resolution (204 x 98 dpi) goes to pHYs.
convert "$examples/plasma-rgb.tif" \( +clone -fx "i/w" \) -alpha off -compose CopyOpacity \
  -composite -depth 8 "$work/rgba.tif"
cp "$examples/bilevel-g4.tif" "$work/fax-dpi.tif"
tiffset -s 282 204.0 "$work/fax-dpi.tif" && tiffset -s 283 98.0 "$work/fax-dpi.tif"
expect_exit 0 "RGBA" -- "$QORIMG" convert -q "$work/rgba.tif" "$work/rgba.png"
expect_exit 0 "resolution" -- "$QORIMG" convert -q "$work/fax-dpi.tif" "$work/fax-dpi.png"
"$py" - "$work" <<'PY' || fail "alpha or resolution lost"
import sys
from PIL import Image
w = sys.argv[1]
a, b = Image.open(f"{w}/rgba.png"), Image.open(f"{w}/rgba.tif")
assert a.mode == "RGBA" and a.tobytes() == b.convert("RGBA").tobytes(), a.mode
dpi = Image.open(f"{w}/fax-dpi.png").info.get("dpi")
assert dpi and round(dpi[0]) == 204 and round(dpi[1]) == 98, dpi
PY
# Pages are shown upright: every orientation as ImageMagick's -auto-orient shows it.
o=1
for name in TopLeft TopRight BottomRight BottomLeft LeftTop RightTop RightBottom LeftBottom; do
  convert "$examples/plasma-rgb.tif" -orient "$name" "$work/o$o.tif"
  convert "$work/o$o.tif" -auto-orient "$work/o$o-upright.png"
  expect_exit 0 "orientation $o" -- "$QORIMG" convert -q "$work/o$o.tif" "$work/o$o.png"
  same_pixels "$work/o$o-upright.png" "$work/o$o.png"
  o=$((o + 1))
done
# convert reads page by page: a page that cannot be decoded is skipped with a warning that names
# it, wherever it stands, and the others are written.
while IFS='|' read -r file page status says; do
  expect_exit 0 "page by page $file" -- "$QORIMG" convert -q --classic "$work/$file" \
    "$work/pages.png"
  grep -q "warning: page $page skipped: $says (status $status)$" "$work/err" ||
    fail "$file: $(cat "$work/err")"
  written=$([ "$page" = 1 ] && echo "$work/pages-2.png" || echo "$work/pages.png")
  [ -e "$written" ] && [ "$(ls "$work"/pages*.png | wc -l)" = 1 ] || fail "$file: $(ls "$work")"
  rm -f "$work"/pages*.png
done <<'ROWS'
zip-g4.tif|1|531|compression 8 (Deflate) is not supported
bad-fax.tif|2|532|damaged fax-coded data
ROWS
# info says where a read stops (found by validation, or with --decode by the decoding that failed),
# and that the pages after it are not reached. Without --decode it decodes nothing.
expect_exit 0 "info without --decode" -- "$QORIMG" info "$work/bad-fax.tif"
"$QORIMG" info --classic --decode "$work/zip-g4.tif" "$work/bad-fax.tif" >"$work/out"
grep -q "page 1: .*Deflate) is not supported; a read stops at this page$" "$work/out" &&
  grep -q "page 2: .*: not reached: a read stops at page 1$" "$work/out" &&
  grep -q "page 2: .*: damaged fax-coded data; a read stops at this page$" "$work/out" ||
  fail "info where a read stops: $(cat "$work/out")"
# Read extended, the damaged page is kept with its rows blank, and info --decode names them.
"$QORIMG" info --decode "$work/bad-fax.tif" >"$work/out"
grep -q "page 2: damaged fax-coded data (status 532) in a strip or tile; rows\? 0 .*left blank there$" \
  "$work/out" || fail "info of damaged rows: $(cat "$work/out")"
"$QORIMG" info --decode --json "$work/bad-fax.tif" >"$work/out"
"$py" -c 'import json,sys; d=json.load(open(sys.argv[1]))["damaged"]; sys.exit(not (d and d[0]["page"] == 2 and d[0]["status"] == 532 and d[0]["firstRow"] == 0))' \
  "$work/out" || fail "info --json of damaged rows: $(cat "$work/out")"
corpora="$here/../../shared/corpora"
if [ -e "$corpora/libtiff/quad-lzw-compat.tiff" ]; then
  expect_exit 1 "info old-style LZW" -- "$QORIMG" info --classic --decode "$corpora/libtiff/quad-lzw-compat.tiff"
  grep -q "the LZW data is of the old kind, which only an extended read decodes" "$work/out" ||
    fail "old-style LZW: $(cat "$work/out")"
  # Read extended (the default), it converts to what Pillow (through libtiff) shows.
  expect_exit 0 "convert old-style LZW" -- "$QORIMG" convert -q "$corpora/libtiff/quad-lzw-compat.tiff" \
    "$work/old-lzw.png"
  same_pixels "$corpora/libtiff/quad-lzw-compat.tiff" "$work/old-lzw.png"
else
  echo "skipped: the old-style LZW file of the libtiff corpus ($corpora is absent)"
fi
[ ! -e "$work/refused.png" ] || fail "a refused read must not leave an output file"
expect_exit 2 "one-line usage error" -- "$QORIMG" convert a.gif
[ "$(wc -l <"$work/err")" = 1 ] && grep -q "see qorimg --help" "$work/err" || fail "usage: $(cat "$work/err")"

# info takes several files of every kind; --json prints one object per file that parses.
expect_exit 1 "info of several files" -- "$QORIMG" info --classic --json \
  "$examples/frames-transparent.gif" \
  "$work/three.tif" "$work/pal8.png" "$work/pal8.bmp" "$work/tiled.tif"
"$py" -m json.tool --json-lines "$work/out" >/dev/null || fail "info --json: $(cat "$work/out")"
"$py" - "$work/out" <<'PY' || fail "info --json content"
import json, sys
objs = [json.loads(line) for line in open(sys.argv[1])]
assert [o["format"] for o in objs] == ["GIF", "TIFF", "PNG", "BMP", "TIFF"], objs
assert objs[0]["frames"] == 2 and objs[0]["transparentIndex"] == 0
assert len(objs[1]["pages"]) == 3 and objs[4]["status"] == 318, objs[4]
PY

# PNG input: a single fully transparent tRNS entry is kept; --transparent beyond the palette is a
# usage error; 16-bit input is refused as 16-bit.
"$py" - "$work" <<'PY'
import sys
from PIL import Image
w = sys.argv[1]
p = Image.new("P", (9, 4)); p.putpalette([0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255])
p.putdata([x % 4 for x in range(36)]); p.save(f"{w}/trns.png", transparency=bytes([255, 255, 0, 255]))
Image.new("I;16", (5, 5)).save(f"{w}/grey16.png")
PY
expect_exit 0 "tRNS kept" -- "$QORIMG" convert -q "$work/trns.png" "$work/trns.gif"
"$py" -c "
import sys; from PIL import Image
sys.exit(0 if Image.open('$work/trns.gif').info.get('transparency') == 2 else 'tRNS lost')" || fail "tRNS"
expect_exit 2 "--transparent beyond the colours" -- "$QORIMG" convert --transparent 200 "$work/pal4.png" "$work/x.gif"
expect_exit 1 "16-bit PNG" -- "$QORIMG" convert -q "$work/grey16.png" "$work/x.gif"
grep -q "16-bit grey" "$work/err" || fail "16-bit PNG: $(cat "$work/err")"

# Several inputs into a folder, standard input to standard output, and the frames left out.
mkdir "$work/folder"
expect_exit 0 "into a folder" -- "$QORIMG" convert -q --to bmp "$examples/plasma256.gif" "$examples/bilevel.tif" "$work/folder/"
same_pixels "$examples/plasma256.gif" "$work/folder/plasma256.bmp"
same_pixels "$examples/bilevel.tif" "$work/folder/bilevel.bmp"
# A refused input claims no output name; two inputs that would write one file (a page output
# included) are named, and nothing is written.
mkdir "$work/claims" "$work/clash"
cp "$work/rgb.bmp" "$work/claims/a.bmp"; cp "$work/pal8.png" "$work/claims/a.png"
expect_exit 1 "a refused input" -- "$QORIMG" convert -q "$work/claims/a.bmp" "$work/claims/a.png" "$work/claims/"
[ -e "$work/claims/a.gif" ] && grep -q "a.bmp: true-colour" "$work/err" && [ "$(wc -l <"$work/err")" = 1 ] ||
  fail "a refused input in a batch: $(cat "$work/err")"
cp "$examples/plasma256.gif" "$work/three-2.gif"
expect_exit 1 "a page output clash" -- "$QORIMG" convert -q "$work/three.tif" "$work/three-2.gif" "$work/clash/"
grep -q "clash/three-2.png: both $work/three.tif (page 2) and $work/three-2.gif would be written" "$work/err" &&
  [ -z "$(ls -A "$work/clash")" ] || fail "page output clash: $(cat "$work/err"); $(ls "$work/clash")"
# An output that is the input, by its name, a hard link, a symbolic link or a page's name, is
# refused before anything is written, and the input stays whole.
mkdir "$work/self"; cp "$work/three.tif" "$work/self/in.tif"
ln "$work/self/in.tif" "$work/self/hard.tif"; ln -s in.tif "$work/self/soft.png"
ln -s "$work/self/in.tif" "$work/self/pages-2.png"
for out in in.tif hard.tif soft.png pages.png; do
  expect_exit 1 "output is the input ($out)" -- "$QORIMG" convert -q --to png "$work/self/in.tif" "$work/self/$out"
  grep -q "is the input $work/self/in.tif" "$work/err" && cmp -s "$work/three.tif" "$work/self/in.tif" &&
    [ "$(ls "$work/self" | wc -l)" = 4 ] || fail "output is the input ($out): $(cat "$work/err"); $(ls "$work/self")"
done
"$QORIMG" convert -q --to png - - <"$examples/frames-transparent.gif" >"$work/piped.png" 2>"$work/err" ||
  fail "standard input to standard output: $(cat "$work/err")"
same_pixels "$examples/frames-transparent.gif" "$work/piped.png"
grep -q "2 frames; only the first is converted" "$work/err" || fail "frames warning: $(cat "$work/err")"
# Standard input stops at the largest file qorimg reads: a file's size is seen before any copy, and
# an endless stream is cut short (at a limit lowered for the test).
truncate -s 3G "$work/huge"
"$QORIMG" info - <"$work/huge" 2>"$work/err" && fail "a 3 GiB standard input was taken"
grep -q "standard input: more than 2147483648 bytes" "$work/err" || fail "3 GiB input: $(cat "$work/err")"
rm "$work/huge"
QORIMG_TEST_INPUT_LIMIT=65536 "$QORIMG" convert -q --to png - "$work/endless.png" </dev/zero 2>"$work/err" &&
  fail "an endless standard input was taken"
grep -q "standard input: more than 65536 bytes" "$work/err" || fail "endless input: $(cat "$work/err")"

# Data that ends before the last row: a cut GIF, and a TIFF page with fewer strips than rows.
head -c 9000 "$examples/plasma256.gif" >"$work/cut.gif"
expect_exit 0 "cut GIF" -- "$QORIMG" convert -q "$work/cut.gif" "$work/cut.png"
grep -q "the image data ends early; the first blank row is [1-9][0-9]* of 120" "$work/err" ||
  fail "cut GIF: $(cat "$work/err")"
tiffcp -r 10 "$examples/plasma-rgb.tif" "$work/strips.tif"
"$py" - "$work/strips.tif" <<'PY'
import struct, sys
f = open(sys.argv[1], "r+b"); d = f.read(); e = "<" if d[:2] == b"II" else ">"
ifd = struct.unpack(e + "I", d[4:8])[0]
for i in range(struct.unpack(e + "H", d[ifd:ifd + 2])[0]):
    at = ifd + 2 + 12 * i
    if struct.unpack(e + "H", d[at:at + 2])[0] in (273, 279):  # the strips: 5 of the 9
        f.seek(at + 4); f.write(struct.pack(e + "I", 5))
PY
expect_exit 0 "short strips" -- "$QORIMG" convert -q "$work/strips.tif" "$work/strips.png"
grep -q "page 1: the strips end before row 50" "$work/err" || fail "short strips: $(cat "$work/err")"
"$QORIMG" info "$work/strips.tif" | grep -q "page 1: the strips end before row 50" ||
  fail "info of short strips"

# A large conversion on a terminal: a bounded amount of progress output, all of it cleared.
"$py" -c "
import os; from PIL import Image
im = Image.frombytes('P', (4000, 3000), os.urandom(12000000)); im.putpalette(list(range(256)) * 3)
im.save('$work/big.gif')"
script -qec "'$QORIMG' convert '$work/big.gif' '$work/big.png'" /dev/null >"$work/tty" ||
  fail "conversion on a terminal"
[ "$(wc -c <"$work/tty")" -lt 20000 ] || fail "progress output of $(wc -c <"$work/tty") bytes"
"$py" - "$work/tty" <<'PY' || fail "progress lines left on screen"
import re, sys
screen = []
for line in open(sys.argv[1], "rb").read().decode().split("\n"):
    shown = ""
    for part in re.split(r"(\r|\x1b\[K)", line):
        shown = "" if part == "\r" else shown if part == "\x1b[K" else shown + part
    screen.append(shown)
sys.exit("%" in "".join(screen))
PY

# A job of several pages on a terminal has one bar: every bar drawn names the page in hand of the
# job's pages, and the line is cleared once, when the job ends (a bar per page clears per page).
script -qec "'$QORIMG' convert '$work/three.tif' '$work/bar.png'" /dev/null >"$work/tty" ||
  fail "a job of pages on a terminal"
"$py" - "$work/tty" <<'PY' || fail "one bar for a job of pages"
import re, sys
out = open(sys.argv[1], "rb").read().decode()
bars = [b for b in re.split(r"\r", out) if "%" in b]
if not bars:
    sys.exit("no bar drawn")
if any(not re.search(r": page [1-3] of 3 \[", b) for b in bars):
    sys.exit("a bar without its page of 3: %r" % bars)
if out.count("\r\x1b[K") != 1:
    sys.exit("the line was cleared %d times" % out.count("\r\x1b[K"))
PY

# GIF to GIF keeps the least depth that holds the colour table: a two-colour file whose header
# claims 8 bits of colour resolution stays a two-entry table of 2-bit LZW codes, as small as it was.
"$py" - "$work/res7.gif" <<'PY'
import struct, sys
# 16 x 8 pixels of two colours; LZW of 2-bit minimum code size written as a clear code before
# each literal, so that every code is 3 bits.
pixels = [(x // 2 + y) % 2 for y in range(8) for x in range(16)]
bits = n = 0
data = bytearray()
for code in [c for p in pixels for c in (4, p)] + [5]:
    bits |= code << n
    n += 3
    while n >= 8:
        data.append(bits & 0xFF)
        bits >>= 8
        n -= 8
if n:
    data.append(bits)
blocks = b"".join(bytes([len(data[i:i + 255])]) + data[i:i + 255] for i in range(0, len(data), 255))
gif = (b"GIF89a" + struct.pack("<HHBBB", 16, 8, 0xF0, 0, 0) + b"\0\0\0\xff\xff\xff" +
       b"," + struct.pack("<HHHHB", 0, 0, 16, 8, 0) + b"\2" + blocks + b"\0;")
open(sys.argv[1], "wb").write(gif)
PY
for flag in "" --classic; do
  expect_exit 0 "gif to gif $flag" -- "$QORIMG" convert -q $flag "$work/res7.gif" "$work/res7-out.gif"
  same_pixels "$work/res7.gif" "$work/res7-out.gif"
done
expect_exit 0 "gif to gif" -- "$QORIMG" convert -q "$work/res7.gif" "$work/res7-out.gif"
"$py" - "$work/res7.gif" "$work/res7-out.gif" <<'PY' || fail "GIF to GIF grew"
import sys
src, out = (open(p, "rb").read() for p in sys.argv[1:])
table = 2 << (out[10] & 7) if out[10] & 0x80 else 0
at = 13 + 3 * table
while out[at] == 0x21:  # extensions before the image
    at += 2
    while out[at]:
        at += out[at] + 1
    at += 1
local = out[at + 9]
code_size = out[at + 10 + (3 * (2 << (local & 7)) if local & 0x80 else 0)]
if table != 2 or code_size != 2:
    sys.exit(f"table {table}, LZW minimum code size {code_size}")
if len(out) > len(src) + 32:
    sys.exit(f"{len(src)} bytes became {len(out)}")
PY

# The tool's words for a refusal are the library's, in either read: a page of 4-bit samples with
# predictor 2 is refused by both, and the message is what QorStatusTextFor gives for its status.
"$py" - "$work/pred4.tif" <<'PY'
import struct, sys
entries = [(256, 3, 8), (257, 3, 2), (258, 3, 4), (259, 3, 5), (262, 3, 1), (273, 4, 8 + 2 + 9 * 12 + 4),
           (277, 3, 1), (278, 3, 2), (279, 4, 2), (317, 3, 2)]
ifd = struct.pack("<H", len(entries)) + b"".join(struct.pack("<HHII", t, ty, 1, v) for t, ty, v in entries)
open(sys.argv[1], "wb").write(b"II*\0" + struct.pack("<I", 8) + ifd + b"\0\0\0\0" + b"\x80\x00")
PY
for flag in --classic ""; do
  extended=$([ -z "$flag" ] && echo 1 || echo 0)
  says=$("$QORIMG_STATUS_TEXT" 535 "$extended")
  expect_exit 1 "refuse pred4.tif $flag" -- "$QORIMG" convert -q $flag "$work/pred4.tif" "$work/refused.png"
  grep -qF ": $says (status 535)" "$work/err" || fail "pred4.tif $flag: wanted the library's '$says': $(cat "$work/err")"
done

# A name with control characters and bytes that are not UTF-8 reaches neither the terminal (the
# messages, the progress label) nor JSON as it is: both stay printable, and the JSON is UTF-8.
odd="$work/$(printf 'bell\a-esc\033[31m-\377-\302\233')"
cp "$examples/plasma256.gif" "$odd.gif"
"$QORIMG" info --json "$odd.gif" "$odd.tif" >"$work/out"
script -qec "'$QORIMG' convert '$odd.gif' '$odd.tif' '$work/'" /dev/null >"$work/tty"
"$py" - "$work/out" "$work/tty" <<'PY' || fail "escaped names"
import json, re, sys
out, tty = (open(p, "rb").read() for p in sys.argv[1:])
names = [json.loads(line)["file"] for line in out.decode("utf-8").splitlines()]
want = ["/bell\a-esc\x1b[31m-\ufffd-\x9b" + e for e in (".gif", ".tif")]
assert len(names) == 2 and all(n.endswith(w) for n, w in zip(names, want)), names
# Messages and the progress label show the name escaped; apart from the bar's own sequences, no
# control character reaches the terminal.
assert b"bell\\x07-esc\\x1B[31m-\\xFF-\\xC2\\x9B.tif: No such file" in tty, tty
assert re.search(rb"\\xC2\\x9B.png \[", tty), tty
assert not re.search(rb"[\x00-\x08\x0b-\x1f\x7f\x9b\xff]", re.sub(rb"\r|\x1b\[K", b"", tty)), tty
PY

# A file-size limit or an interrupt leaves the old output as it was and no temporary file.
mkdir "$work/keep"
cp "$work/pal8.png" "$work/keep/old.png"
cp "$work/pal8.bmp" "$work/keep/old.bmp"
for old in old.png old.bmp; do
  cp "$work/keep/$old" "$work/before"
  (ulimit -f 1; "$QORIMG" convert -q "$work/big.gif" "$work/keep/$old") 2>"$work/err" &&
    fail "$old: a write over the file-size limit succeeded"
  grep -q "File too large" "$work/err" || fail "$old under a limit: $(cat "$work/err")"
  cmp -s "$work/before" "$work/keep/$old" || fail "$old: a failed write changed the old file"
done
"$QORIMG" convert -q "$work/big.gif" "$work/keep/old.png" 2>/dev/null &
pid=$!
# Interrupt once the output's temporary file exists, that is while the PNG is being written.
for _ in $(seq 400); do compgen -G "$work/keep/.qorimg-*" >/dev/null && break; sleep 0.05; done
kill -INT "$pid"
wait "$pid"
[ $? = 130 ] || fail "an interrupted conversion must exit with 130"
cmp -s "$work/pal8.png" "$work/keep/old.png" || fail "an interrupt changed the old file"
[ "$(ls -A "$work/keep" | tr '\n' ' ')" = "old.bmp old.png " ] || fail "left: $(ls -A "$work/keep")"

# README's C example compiles as C and as C++, as the header promises.
sed -n '/^```c$/,/^```$/p' "$here/../README.md" | sed '1d;$d' >"$work/readme.c"
[ -s "$work/readme.c" ] || fail "no C example in README.md"
for compile in "cc -std=c99 -x c" "c++ -std=c++20 -x c++"; do
  $compile -Wall -Wextra -Werror -Wno-unused-parameter -Wno-unused-variable -fsyntax-only \
    -I "$here/../include" "$work/readme.c" 2>"$work/err" || fail "README example, $compile: $(cat "$work/err")"
done

if [ "$failures" -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "tool: all checks passed"
