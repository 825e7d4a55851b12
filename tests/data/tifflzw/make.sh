#!/bin/sh
# Remakes the small LZW TIFF files of the LZW decoder's differential tests. Every picture comes
# twice: LZW-coded (name ending in -lzw or -lzw2 for horizontal differencing) and uncompressed
# (same name ending in -none), so that the two must read the same.
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
w, h = 61, 29
rgba = Image.new("RGBA", (w, h))
px = rgba.load()
for y in range(h):
    for x in range(w):
        # Smooth ramps with flat areas and a little texture: long and short strings.
        px[x, y] = ((x * 4 + y) // 3 % 256, (y * 9) % 256, ((x // 5) * 40 + (x * y) % 7) % 256,
                    (x * 5 + y * 9) % 256)
rgba.save(f"{out}/src.png")
pal = rgba.convert("RGB").quantize(colors=200)
for mode in ("RGB", "RGBA", "CMYK", "L", "LA", "1", "P"):
    im = pal if mode == "P" else rgba.convert(mode)
    name = mode.lower()
    im.save(f"pil-{name}-lzw.tif", compression="tiff_lzw")
    im.save(f"pil-{name}-none.tif", compression="raw")
rgba.convert("RGB").save(f"{out}/rgb.tif", compression="raw")
rgba.convert("RGBA").save(f"{out}/rgba.tif", compression="raw")
rgba.convert("L").save(f"{out}/grey.tif", compression="raw")
rgba.convert("LA").save(f"{out}/greyalpha.tif", compression="raw")
rgba.convert("1").save(f"{out}/bilevel.tif", compression="raw")
pal.save(f"{out}/palette8.tif", compression="raw")
PY

# ImageMagick, with and without horizontal differencing.
convert "$tmp/src.png" -alpha off -compress LZW -define tiff:predictor=1 im-rgb-lzw.tif
convert "$tmp/src.png" -alpha off -compress LZW -define tiff:predictor=2 im-rgb-lzw2.tif
convert "$tmp/src.png" -alpha off -compress None im-rgb-none.tif
convert "$tmp/src.png" -alpha off -colorspace Gray -compress LZW -define tiff:predictor=2 im-grey-lzw2.tif
convert "$tmp/src.png" -alpha off -colorspace Gray -compress None im-grey-none.tif
convert "$tmp/src.png" -alpha off -colors 12 -type Palette -depth 4 -compress LZW im-palette4-lzw.tif
convert "$tmp/src.png" -alpha off -colors 12 -type Palette -depth 4 -compress None im-palette4-none.tif

# tiffcp: both byte orders, strips, Predictor 2, and one file mixing codings page by page.
for kind in rgb rgba grey greyalpha palette8; do
    tiffcp -B -c lzw:2 -r 5 "$tmp/$kind.tif" "cp-$kind-be-lzw2.tif"
    tiffcp -L -c lzw -r 3 "$tmp/$kind.tif" "cp-$kind-le-lzw.tif"
    tiffcp -B -c none "$tmp/$kind.tif" "cp-$kind-be-none.tif"
    tiffcp -L -c none "$tmp/$kind.tif" "cp-$kind-le-none.tif"
done
tiffcp -B -c lzw -r 4 "$tmp/bilevel.tif" cp-bilevel-be-lzw.tif
tiffcp -B -c none "$tmp/bilevel.tif" cp-bilevel-be-none.tif
tiffcp -c lzw -r 7 "$tmp/rgb.tif" "$tmp/lzw1.tif"
tiffcp -c lzw:2 -r 2 "$tmp/grey.tif" "$tmp/lzw2.tif"
tiffcp -c packbits "$tmp/bilevel.tif" "$tmp/packed.tif"
tiffcp -B "$tmp/lzw1.tif" "$tmp/grey.tif" "$tmp/packed.tif" "$tmp/lzw2.tif" "$tmp/palette8.tif" \
    cp-mixed-be-lzw.tif
tiffcp -B -c none "$tmp/rgb.tif" "$tmp/grey.tif" "$tmp/bilevel.tif" "$tmp/grey.tif" \
    "$tmp/palette8.tif" cp-mixed-be-none.tif
