#!/usr/bin/env python3
"""Makes the benchmark's pages that nobody drew for it: text set in a TrueType font and in a
bitmap font, as a fax machine or a scanner driver rasterises it, and two GIFs of kinds people
keep, a photograph and a screenshot of text.

    real_pages.py OUT_DIR

Writes into OUT_DIR:
  letter-204.pbm           an A4 letter in DejaVu Serif at 204 x 196 dpi (1728 x 2292), thresholded
  letter-204-speckle.pbm   the same letter with scan speckle: isolated dots and small clusters
  letter-300.pbm           the letter at 300 dpi (2480 x 3508)
  bitmap-font-300.pbm      an A4 page of Pillow's built-in bitmap font at 150 dpi, enlarged twice
  photo.gif                matplotlib's sample photograph (Grace Hopper), 256 colours, dithered
  screenshot.gif           a terminal-like window of text in DejaVu Sans Mono, anti-aliased,
                           quantised to its own palette
The PBMs are 1 = black. Needs Debian's python3-pil, fonts-dejavu-core and matplotlib-data.
"""
import os
import random
import sys
import textwrap

from PIL import Image, ImageDraw, ImageFont

FONTS = "/usr/share/fonts/truetype/dejavu"
PHOTO = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg"
TEXT = "/usr/share/common-licenses/GPL-3"

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
with open(TEXT, encoding="utf-8") as f:
    words = f.read().split()


def paragraphs(columns, lines):
    """Lines of running text of about `columns` characters, blank lines between paragraphs."""
    result, at, rng = [], 0, random.Random(7)
    while len(result) < lines:
        take = 40 + rng.randrange(80)
        text = " ".join(words[at:at + take])
        at = (at + take) % (len(words) - 200)
        result += textwrap.wrap(text, columns) + [""]
    return result[:lines]


def letter(width, height, dpi_x, dpi_y, point):
    """A letter page: a heading, a date line and paragraphs, 10-point text, 25 mm margins."""
    size = round(point / 72 * dpi_y)
    font = ImageFont.truetype(f"{FONTS}/DejaVuSerif.ttf", size)
    bold = ImageFont.truetype(f"{FONTS}/DejaVuSerif-Bold.ttf", round(size * 1.6))
    # Drawn at the vertical resolution, then narrowed or widened to the horizontal one.
    square = round(width * dpi_y / dpi_x)
    page = Image.new("L", (square, height), 255)
    draw = ImageDraw.Draw(page)
    margin = round(25 / 25.4 * dpi_y)
    draw.text((margin, margin), "Terms and Conditions", font=bold, fill=0)
    draw.text((margin, margin + round(size * 2.6)), "8 December 2026", font=font, fill=0)
    advance = draw.textlength("abcdefghijklmnopqrstuvwxyz", font=font) / 26
    columns = int((square - 2 * margin) / advance)
    y = margin + size * 5
    for line in paragraphs(columns, (height - y - margin) // round(size * 1.25)):
        draw.text((margin, y), line, font=font, fill=0)
        y += round(size * 1.25)
    page = page.resize((width, height), Image.BILINEAR)
    return page.point(lambda v: 0 if v < 128 else 255, "1")


def speckle(page, seed):
    """Scan noise: dots of one to three pixels, more near the edges, and a few grey clusters."""
    rng = random.Random(seed)
    page = page.copy()
    width, height = page.size
    pixels = page.load()
    for _ in range(width * height // 1500):
        x, y = rng.randrange(width), rng.randrange(height)
        for dx in range(rng.randrange(1, 3)):
            for dy in range(rng.randrange(1, 3)):
                if x + dx < width and y + dy < height:
                    pixels[x + dx, y + dy] = 0
    for _ in range(40):
        cx, cy = rng.randrange(width), rng.randrange(height)
        for _ in range(200):
            x, y = cx + int(rng.gauss(0, 12)), cy + int(rng.gauss(0, 12))
            if 0 <= x < width and 0 <= y < height:
                pixels[x, y] = 0
    return page


def bitmap_font_page(width, height):
    """Pillow's own bitmap font at half the resolution, each pixel enlarged to two by two."""
    font = ImageFont.load_default()
    half = Image.new("L", (width // 2, height // 2), 255)
    draw = ImageDraw.Draw(half)
    margin, step = 60, 13
    columns = (width // 2 - 2 * margin) // 6
    y = margin
    for line in paragraphs(columns, (height // 2 - 2 * margin) // step):
        draw.text((margin, y), line, font=font, fill=0)
        y += step
    return half.resize((width, height), Image.NEAREST).point(lambda v: 0 if v < 128 else 255, "1")


def save_pbm(page, name):
    # Pillow's mode 1 is 0 = black; PBM is 1 = black, which its writer takes care of.
    page.save(os.path.join(out, name))


letter204 = letter(1728, 2292, 204, 196, 10)
save_pbm(letter204, "letter-204.pbm")
save_pbm(speckle(letter204, 11), "letter-204-speckle.pbm")
save_pbm(letter(2480, 3508, 300, 300, 10), "letter-300.pbm")
save_pbm(bitmap_font_page(2480, 3508), "bitmap-font-300.pbm")

photo = Image.open(PHOTO).convert("RGB")
photo.quantize(256, dither=Image.FLOYDSTEINBERG).save(os.path.join(out, "photo.gif"))

shot = Image.new("RGB", (1600, 1000), (40, 42, 54))
draw = ImageDraw.Draw(shot)
mono = ImageFont.truetype(f"{FONTS}/DejaVuSansMono.ttf", 15)
draw.rectangle((0, 0, 1599, 27), fill=(68, 71, 90))
draw.text((12, 5), "terminal: ~/src/qorimg", font=mono, fill=(248, 248, 242))
palette = [(248, 248, 242), (139, 233, 253), (80, 250, 123), (255, 184, 108), (255, 121, 198)]
for row, line in enumerate(paragraphs(170, 52)):
    draw.text((10, 36 + row * 18), line, font=mono, fill=palette[row % 7 % len(palette)])
shot.quantize(256, method=Image.MEDIANCUT, dither=Image.NONE).save(
    os.path.join(out, "screenshot.gif"))
