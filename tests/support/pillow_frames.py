#!/usr/bin/python3
"""Animated GIFs and Pillow's picture of each of their frames, for the composed-frames test.

Usage: pillow_frames.py DIR

Writes DIR/NAME.gif and, for frame N (from 0) of each, DIR/NAME.N.rgb: the frame as Pillow
composes it (Image.open, seek(N), convert("RGB")), width * height * 3 bytes from the top row.

One file is written whole by Pillow's save_all (its frames cropped to what changes, tables of
their own after the first). Pillow's writer gives animation frames no interlace and no chosen
place or table, so the others are set out here from images that Pillow codes one by one (each
a single-frame GIF, interlaced when asked): their LZW data is taken as Pillow wrote it, and the
frames' places, tables, disposal and transparency are chosen. Pillow 9.4 carries a disposal
method over to later frames that give 0, so no frame gives 0 after one that gave another.
"""
import io
import random
import struct
import sys

from PIL import Image


def palette(seed, entries=256):
    r = random.Random(seed)
    return [r.randrange(256) for _ in range(3 * entries)]


def picture(seed, w, h, colours, holes=None):
    """A palette image of stripes and noise; `holes` (an index) makes a blob of it."""
    r = random.Random(seed)
    im = Image.new("P", (w, h))
    data = []
    for y in range(h):
        for x in range(w):
            v = ((x * 3 + y * 5) // 4 + r.randrange(3)) % colours
            if holes is not None and (x - w // 2) ** 2 + (y - h // 3) ** 2 < (w * h) // 6:
                v = holes
            data.append(v)
    im.putdata(data)
    return im


def coded(im, pal, interlace):
    """Pillow's coding of `im` with `pal`: (interlaced, LZW data with its code size byte)."""
    im = im.copy()
    im.putpalette(pal)
    buf = io.BytesIO()
    im.save(buf, "GIF", optimize=False, interlace=interlace)
    b = buf.getvalue()
    at = 13 + (3 << ((b[10] & 7) + 1) if b[10] & 0x80 else 0)
    while b[at] == 0x21:  # extensions
        at += 2
        while b[at]:
            at += b[at] + 1
        at += 1
    assert b[at] == 0x2C
    flags = b[at + 9]
    at += 10 + (3 << ((flags & 7) + 1) if flags & 0x80 else 0)
    start = at
    at += 1
    while b[at]:
        at += b[at] + 1
    return (flags & 0x40) != 0, b[start : at + 1]


def assemble(path, size, global_pal, background, frames):
    """frames: dicts of im, left, top, disposal, transparent (or None), local (a palette or
    None), interlace, control (False for no graphic control extension)."""
    out = bytearray(b"GIF89a" + struct.pack("<HH", *size))
    out += bytes([0xF7 if global_pal else 0x70, background, 0])
    if global_pal:
        out += bytes(global_pal)
    out += b"\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00"
    for f in frames:
        if f.get("control", True):
            t = f.get("transparent")
            packed = f.get("disposal", 0) << 2 | (1 if t is not None else 0)
            out += b"\x21\xf9\x04" + bytes([packed]) + struct.pack("<H", 5)
            out += bytes([t or 0, 0])
        pal = f.get("local") or global_pal
        interlaced, data = coded(f["im"], pal, f.get("interlace", False))
        w, h = f["im"].size
        flags = (0x40 if interlaced else 0) | (0x87 if f.get("local") else 0)
        out += b"\x2c" + struct.pack("<HHHH", f.get("left", 0), f.get("top", 0), w, h)
        out += bytes([flags])
        if f.get("local"):
            out += bytes(f["local"])
        out += data
    out += b"\x3b"
    with open(path, "wb") as fp:
        fp.write(out)


def write_all(directory):
    made = {}
    g = palette(1)
    # Every frame on the global table: 8-bit layers. Disposal 0 (with and without a control
    # extension), 1, 2 and 3, transparency, places and interlace.
    made["global"] = ((61, 47), g, 5, [
        dict(im=picture(10, 40, 30, 256), left=3, top=4, control=False),
        dict(im=picture(11, 61, 47, 256, holes=9), transparent=9, disposal=0),
        dict(im=picture(12, 20, 18, 256, holes=200), left=30, top=20, transparent=200,
             disposal=2, interlace=True),
        dict(im=picture(13, 33, 21, 256, holes=7), left=10, top=9, transparent=7, disposal=3),
        dict(im=picture(14, 25, 26, 256), left=36, top=21, disposal=3, interlace=True),
        dict(im=picture(15, 17, 16, 256, holes=3), left=2, top=30, transparent=3, disposal=1),
        dict(im=picture(16, 12, 9, 256), left=44, top=0, disposal=2),
    ])
    # Frames with tables of their own: 24-bit layers. A first frame smaller than the screen
    # with a transparent index, disposal 2 and 3 of framed with their own tables.
    made["local"] = ((50, 40), g, 17, [
        dict(im=picture(20, 30, 20, 256, holes=4), left=5, top=6, transparent=4, disposal=1),
        dict(im=picture(21, 20, 25, 256, holes=8), left=25, top=10, transparent=8,
             local=palette(2), disposal=2, interlace=True),
        dict(im=picture(22, 40, 30, 256, holes=1), left=0, top=5, local=palette(3),
             transparent=1, disposal=3),
        dict(im=picture(23, 16, 16, 256), left=30, top=20, local=palette(4), disposal=2),
        dict(im=picture(24, 50, 40, 256, holes=0), transparent=0, disposal=1),
    ])
    # A small first frame without a transparent index on a screen whose background index is
    # not 0, and a first frame of disposal 3.
    made["first-plain"] = ((40, 30), g, 33, [
        dict(im=picture(30, 16, 10, 256), left=8, top=8, disposal=3),
        dict(im=picture(31, 16, 16, 256), left=20, top=10, disposal=2),
        dict(im=picture(32, 10, 10, 256, holes=5), left=0, top=0, transparent=5, disposal=2),
        dict(im=picture(33, 8, 8, 256), left=30, top=20, disposal=1),
    ])
    made["first-local"] = ((30, 30), None, 0, [
        dict(im=picture(40, 20, 20, 256, holes=6), left=5, top=5, local=palette(5),
             transparent=6, disposal=3),
        dict(im=picture(41, 10, 10, 256), left=15, top=15, local=palette(6), disposal=1),
    ])
    for name, (size, pal, background, frames) in made.items():
        assemble(f"{directory}/{name}.gif", size, pal, background, frames)

    # Written whole by Pillow: RGB frames that it quantises, each changing a part of the one
    # before (Pillow crops a frame to what changed), with a transparent colour.
    r = random.Random(50)
    shots = []
    im = Image.new("RGB", (48, 36), (20, 30, 40))
    for i in range(6):
        im = im.copy()
        x0, y0 = r.randrange(30), r.randrange(20)
        for _ in range(12):
            x, y = x0 + r.randrange(14), y0 + r.randrange(12)
            for dx in range(4):
                for dy in range(4):
                    im.putpixel((min(x + dx, 47), min(y + dy, 35)), (r.randrange(256), 60 * i, 90))
        shots.append(im.quantize(64))
    shots[0].save(f"{directory}/pillow.gif", save_all=True, append_images=shots[1:],
                  duration=40, disposal=[1, 2, 3, 2, 3, 1], transparency=0, loop=0)
    return list(made) + ["pillow"]


def main():
    directory = sys.argv[1]
    for name in write_all(directory):
        im = Image.open(f"{directory}/{name}.gif")
        size = im.size
        for n in range(im.n_frames):
            im.seek(n)
            assert im.size == size, "a frame beyond the screen"
            with open(f"{directory}/{name}.{n}.rgb", "wb") as fp:
                fp.write(im.convert("RGB").tobytes())
        print(name, im.n_frames)


if __name__ == "__main__":
    main()
