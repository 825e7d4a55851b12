#!/usr/bin/env bash
# Remakes the sample files (ImageMagick, Pillow and libtiff's tiffcp). Plasma images are random:
# a remake gives other pixels with the same structure.
set -euo pipefail
cd "$(dirname "$0")"
convert -size 160x120 plasma: -colors 256 plasma256.gif
convert -size 160x120 plasma: -colors 16 -interlace GIF plasma16-interlaced.gif
convert -size 96x64 xc:white -fill black -draw "circle 48,32 48,4" -monochrome circle-1bit.gif
/usr/bin/python3 - <<'PY'
from PIL import Image, ImageDraw
im = Image.new("P", (120, 80), 0)
pal = []
for i in range(256): pal += [i, (i*3) % 256, 255 - i]
im.putpalette(pal)
d = ImageDraw.Draw(im)
for i in range(40): d.rectangle([i*3, i, 119 - i*3, 79 - i], outline=i*6 % 256)
im.save("frames-transparent.gif", transparency=0, save_all=True,
        append_images=[im.rotate(90)], duration=200, loop=0)
PY
convert -size 120x90 plasma: -depth 8 plasma-rgb.tif
tiffcp -c packbits -r 16 plasma-rgb.tif plasma-rgb-packbits.tif
convert -size 120x90 plasma: -monochrome -type bilevel -depth 1 -compress none bilevel.tif
tiffcp -c lzw:2 -r 16 plasma-rgb.tif plasma-rgb-lzw-predictor.tif
tiffcp -c g4 bilevel.tif bilevel-g4.tif
# Two pages large enough that their strips are decoded on several threads.
convert -size 400x300 gradient:navy-orange -depth 8 -type TrueColor gradient.tif
tiffcp -c lzw -r 16 gradient.tif gradient.tif gradient-rgb-lzw-2pages.tif
rm gradient.tif
