#!/bin/sh
# Remakes the small peer-written GIFs that the differential tests decode and compare with
# giflib. Needs ImageMagick (convert), and Pillow (/usr/bin/python3).
set -eu
cd "$(dirname "$0")"

# ImageMagick: a gradient photo stand-in at several palette sizes, interlaced and not.
convert -size 61x37 plasma:fractal -seed 7 +dither -colors 2 -type palette im-1bit.gif 2>/dev/null || \
  convert -size 61x37 gradient:red-blue +dither -colors 2 im-1bit.gif
convert -size 61x37 gradient:red-blue -swirl 90 +dither -colors 4 im-2bit.gif
convert -size 61x37 gradient:yellow-navy -swirl 120 +dither -colors 16 im-4bit.gif
convert -size 83x59 gradient:white-darkgreen -swirl 200 -colors 256 im-8bit.gif
convert -size 83x59 gradient:white-darkgreen -swirl 200 -colors 200 -interlace GIF im-interlaced.gif
convert -size 40x30 xc:none -fill red -draw 'circle 20,15 20,4' -colors 8 im-transparent.gif
convert -delay 10 -size 32x24 gradient:red-blue gradient:green-black -swirl 45 -colors 32 \
  -loop 0 im-frames.gif

# Pillow: palette images with and without interlacing, transparency and several frames.
/usr/bin/python3 - <<'PY'
from PIL import Image, ImageDraw
def picture(w, h, colors):
    im = Image.new("RGB", (w, h))
    d = ImageDraw.Draw(im)
    for y in range(h):
        for x in range(w):
            im.putpixel((x, y), ((x * 255) // w, (y * 255) // h, ((x ^ y) * 7) & 255))
    return im.quantize(colors)
picture(45, 33, 2).save("pil-1bit.gif")
picture(45, 33, 4).save("pil-2bit.gif")
picture(45, 33, 16).save("pil-4bit.gif", interlace=True)
picture(77, 51, 256).save("pil-8bit.gif", interlace=False)
picture(77, 51, 256).save("pil-interlaced.gif", interlace=True)
picture(30, 20, 8).save("pil-transparent.gif", transparency=3)
frames = [picture(36, 28, 64), picture(36, 28, 16).rotate(90)]
frames[0].save("pil-frames.gif", save_all=True, append_images=frames[1:], duration=50, loop=0)
PY

# giflib-written files are made inside the tests with giflib's own encoder.
