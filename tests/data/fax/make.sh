#!/bin/sh
# Remakes the small fax-coded TIFF files that the fax differential tests compare with libtiff's
# reading: libtiff's tiffcp in every coding and fill order, one strip and several, and
# ImageMagick's Group 4 and Group 3 writers. Needs Pillow (/usr/bin/python3), ImageMagick
# (convert) and tiffcp.
set -eu
cd "$(dirname "$0")"
rm -f ./*.tif
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

/usr/bin/python3 - "$tmp" <<'PY'
import random
import sys
from PIL import Image, ImageDraw
out = sys.argv[1]
random.seed(7)
w, h = 301, 97
im = Image.new("1", (w, h), 1)
d = ImageDraw.Draw(im)
# Lines of glyph-like blobs, a frame, a rule, a black block touching both edges, and noise.
for line in range(6):
    y = 4 + line * 15
    x = random.randrange(0, 12)
    while x < w:
        bw, bh = random.randrange(1, 9), random.randrange(3, 11)
        d.rectangle([x, y, x + bw - 1, y + bh - 1], fill=0)
        x += bw + random.randrange(1, 14)
d.rectangle([0, 0, w - 1, h - 1], outline=0)
d.line([5, 92, 290, 92], fill=0)
d.rectangle([0, 94, w - 1, 95], fill=0)
for _ in range(300):
    im.putpixel((random.randrange(w), random.randrange(h)), random.randrange(2))
im.save(f"{out}/page.tif", compression="raw")
im.save(f"{out}/page.pbm")
PY

src="$tmp/page.tif"
tiffcp -c g3 "$src" cp-g3.tif
tiffcp -c g3:1d "$src" cp-g3-1d.tif
tiffcp -c g3:1d:fill "$src" cp-g3-fill.tif
tiffcp -c g3:1d -r 10 "$src" cp-g3-strips.tif
tiffcp -c g3:1d:fill -f lsb2msb -r 16 "$src" cp-g3-fill-lsb-strips.tif
tiffcp -c g3:2d "$src" cp-g3-2d.tif
tiffcp -c g3:2d:fill -r 10 "$src" cp-g3-2d-fill-strips.tif
tiffcp -c g3:2d -f lsb2msb -r 16 "$src" cp-g3-2d-lsb-strips.tif
tiffcp -c g4 "$src" cp-g4.tif
tiffcp -c g4 -r 9 "$src" cp-g4-strips.tif
tiffcp -c g4 -f lsb2msb "$src" cp-g4-lsb.tif
tiffcp -c g4 -f lsb2msb -r 25 "$src" cp-g4-lsb-strips.tif

convert "$tmp/page.pbm" -compress Group4 im-g4.tif
convert "$tmp/page.pbm" -compress Fax im-fax.tif
convert "$tmp/page.pbm" -compress Fax -define tiff:fill-order=lsb im-fax-lsb.tif
