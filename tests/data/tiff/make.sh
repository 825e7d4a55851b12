#!/bin/sh
# Remakes the small TIFF files that the differential tests compare with libtiff's reading.
# Needs Pillow (/usr/bin/python3), ImageMagick (convert) and libtiff's tiffcp.
set -eu
cd "$(dirname "$0")"
rm -f ./*.tif
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

/usr/bin/python3 - "$tmp" <<'PY'
import sys
from PIL import Image
out = sys.argv[1]
w, h = 37, 23
rgba = Image.new("RGBA", (w, h))
px = rgba.load()
for y in range(h):
    for x in range(w):
        px[x, y] = ((x * 7 + y) % 256, (y * 11) % 256, (x * y * 3) % 256, (x * 5 + y * 9) % 256)
rgba.save(f"{out}/src.png")
for mode in ("RGB", "RGBA", "CMYK", "L", "LA", "1"):
    im = rgba.convert(mode)
    name = mode.lower()
    im.save(f"pil-{name}-none.tif", compression="raw")
    im.save(f"pil-{name}-packbits.tif", compression="packbits")
pal = rgba.convert("RGB").quantize(colors=200)
pal.save("pil-palette8-none.tif", compression="raw")
pal.save("pil-palette8-packbits.tif", compression="packbits")
rgba.convert("RGB").save(f"{out}/rgb.tif", compression="raw")
rgba.convert("L").save(f"{out}/grey.tif", compression="raw")
rgba.convert("1").save(f"{out}/bilevel.tif", compression="raw")
pal.save(f"{out}/palette8.tif", compression="raw")
PY

# ImageMagick: 4-bit palette and grey, WhiteIsZero bilevel.
convert "$tmp/src.png" -alpha off -colors 12 -type Palette -depth 4 -compress None im-palette4-none.tif
convert "$tmp/src.png" -alpha off -colors 12 -type Palette -depth 4 -compress RLE im-palette4-packbits.tif
convert "$tmp/src.png" -alpha off -colorspace Gray -depth 4 -compress None im-grey4-none.tif
convert "$tmp/src.png" -alpha off -threshold 50% -type Bilevel -depth 1 -define quantum:polarity=min-is-white -compress None im-miniswhite-none.tif
convert "$tmp/src.png" -alpha off -threshold 50% -type Bilevel -depth 1 -define quantum:polarity=min-is-white -compress RLE im-miniswhite-packbits.tif

# tiffcp: big-endian, strips of 4 rows, several pages.
tiffcp -B -c none -r 4 "$tmp/rgb.tif" cp-rgb-be-strips.tif
tiffcp -B -c packbits -r 4 "$tmp/rgb.tif" cp-rgb-be-packbits-strips.tif
tiffcp -L -c packbits -r 5 "$tmp/grey.tif" cp-grey-le-packbits-strips.tif
tiffcp -B -c none -r 3 "$tmp/palette8.tif" cp-palette8-be-strips.tif
tiffcp -B -c packbits -r 7 "$tmp/bilevel.tif" cp-bilevel-be-packbits.tif
tiffcp -B -c packbits -r 6 "$tmp/rgb.tif" "$tmp/grey.tif" "$tmp/bilevel.tif" "$tmp/palette8.tif" \
    cp-multipage-be.tif
tiffcp -L -c none "$tmp/grey.tif" "$tmp/rgb.tif" cp-multipage-le.tif
