#!/usr/bin/python3
"""Animated GIFs and Pillow's picture of their frames: pillow_frames.py DIR

Writes DIR/NAME.gif and DIR/NAME.N.rgb, frame N (from 0) as Pillow shows it (seek(N),
convert("RGB")), and prints "NAME FRAMES" for each; also DIR/local-cut.gif, "local" cut inside
frame 3's table. "pillow" is written whole by Pillow's save_all (frames cropped to what changes,
tables of their own after the first). The others are set out here, since Pillow gives animation
frames no interlace and no chosen place or table, from images that Pillow codes one at a time.
Pillow 9.4 carries a disposal method over to later frames that give 0, so none gives 0 after one
that gave another.
"""
import io
import random
import struct
import sys

from PIL import Image


def palette(seed):
    r = random.Random(seed)
    return [r.randrange(256) for _ in range(768)]


def picture(seed, w, h, hole=None):
    """Stripes and noise; a blob of index `hole`."""
    r = random.Random(seed)
    im = Image.new("P", (w, h))
    blob = lambda x, y: (x - w // 2) ** 2 + (y - h // 3) ** 2 < w * h // 6
    im.putdata([hole if hole is not None and blob(x, y) else ((x * 3 + y * 5) // 4 + r.randrange(3)) % 256
                for y in range(h) for x in range(w)])
    return im


def coded(im, pal, interlace):
    """The code size byte and data sub-blocks of Pillow's single-frame GIF of `im`."""
    im.putpalette(pal)
    buf = io.BytesIO()
    im.save(buf, "GIF", optimize=False, interlace=interlace)
    b = buf.getvalue()
    at = 13 + 768
    while b[at] == 0x21:
        at += 2
        while b[at]:
            at += b[at] + 1
        at += 1
    start = at = at + 10
    at += 1
    while b[at]:
        at += b[at] + 1
    return b[start : at + 1]


def assemble(size, global_pal, background, frames):
    """Frames: (image seed, w, h, left, top, disposal, transparent, own table seed, interlace);
    a disposal of None writes no graphic control extension. Returns the file and where each
    frame's descriptor starts."""
    out = bytearray(b"GIF89a" + struct.pack("<HHBBB", *size, 0xF7 if global_pal else 0x70, background, 0))
    out += bytes(global_pal or []) + b"\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00"
    starts = []
    for seed, w, h, left, top, disposal, t, own, interlace in frames:
        if disposal is not None:
            out += struct.pack("<BBBBHBB", 0x21, 0xF9, 4, disposal << 2 | (t is not None), 5, t or 0, 0)
        starts.append(len(out))
        pal = palette(own) if own else global_pal
        flags = (0x40 if interlace else 0) | (0x87 if own else 0)
        out += struct.pack("<BHHHHB", 0x2C, left, top, w, h, flags) + bytes(pal if own else [])
        out += coded(picture(seed, w, h, t), pal, interlace)
    return out + b"\x3b", starts


def main():
    d = sys.argv[1]
    g = palette(1)
    made = {
        # The global table only (8-bit layers): disposal 0 with and without the extension, 1, 2
        # and 3, transparency, places, interlace.
        "global": ((61, 47), g, 5, [(10, 40, 30, 3, 4, None, None, 0, 0), (11, 61, 47, 0, 0, 0, 9, 0, 0),
                                    (12, 20, 18, 30, 20, 2, 200, 0, 1), (13, 33, 21, 10, 9, 3, 7, 0, 0),
                                    (14, 25, 26, 36, 21, 3, None, 0, 1), (15, 17, 16, 2, 30, 1, 3, 0, 0),
                                    (16, 12, 9, 44, 0, 2, None, 0, 0)]),
        # Tables of their own (24-bit layers), with disposal 2 and 3.
        "local": ((50, 40), g, 17, [(20, 30, 20, 5, 6, 1, 4, 0, 0), (21, 20, 25, 25, 10, 2, 8, 2, 1),
                                    (22, 40, 30, 0, 5, 3, 1, 3, 0), (23, 16, 16, 30, 20, 2, None, 4, 0),
                                    (24, 50, 40, 0, 0, 1, 0, 0, 0)]),
        # A small first frame without a transparent index, of disposal 3, on a background index
        # other than 0; and a first frame with a table of its own and no global one.
        "first-plain": ((40, 30), g, 33, [(30, 16, 10, 8, 8, 3, None, 0, 0), (31, 16, 16, 20, 10, 2, None, 0, 0),
                                          (32, 10, 10, 0, 0, 2, 5, 0, 0), (33, 8, 8, 30, 20, 1, None, 0, 0)]),
        "first-local": ((30, 30), None, 0, [(40, 20, 20, 5, 5, 3, 6, 5, 0), (41, 10, 10, 15, 15, 1, None, 6, 0)]),
    }
    for name, spec in made.items():
        gif, starts = assemble(*spec)
        open(f"{d}/{name}.gif", "wb").write(gif)
        if name == "local":
            open(f"{d}/local-cut.gif", "wb").write(gif[: starts[2] + 110])
    # Pillow's own: quantised RGB frames that each change a part of the one before.
    r, shots = random.Random(50), []
    im = Image.new("RGB", (48, 36), (20, 30, 40))
    for i in range(6):
        im, x0, y0 = im.copy(), r.randrange(30), r.randrange(20)
        for _ in range(192):
            im.putpixel((x0 + r.randrange(17), y0 + r.randrange(15)), (r.randrange(256), 60 * i, 90))
        shots.append(im.quantize(64))
    shots[0].save(f"{d}/pillow.gif", save_all=True, append_images=shots[1:], duration=40,
                  disposal=[1, 2, 3, 2, 3, 1], transparency=0, loop=0)
    for name in list(made) + ["pillow"]:
        im = Image.open(f"{d}/{name}.gif")
        for n in range(im.n_frames):
            im.seek(n)
            assert im.size == made.get(name, ((48, 36),))[0], "a frame beyond the screen"
            open(f"{d}/{name}.{n}.rgb", "wb").write(im.convert("RGB").tobytes())
        print(name, im.n_frames)


if __name__ == "__main__":
    main()
