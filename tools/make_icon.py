#!/usr/bin/env python3
"""Draws Kestrow's application icon and writes it as a Windows .ico file.

The picture is a kestrel with raised wings on a sky-blue tile framed in navy:
rufous body and wings, black wing tips, a black band across the tail, a
yellow beak. It is drawn from a few shapes in unit coordinates, so the same
design renders at 32x32 and 16x16.

The file holds two images, 32x32 and 16x16, each a 16-colour (4 bits per
pixel) device-independent bitmap in the standard VGA palette with a 1-bit
AND mask, the icon format that Windows 95 and Windows 98 display. The output
is the same bytes on every run, so the committed icon can be regenerated and
compared.

    python3 tools/make_icon.py [--out resources/kestrow.ico] [--preview icon.png]

--preview also writes an enlarged PNG of both images on a checkerboard, to
look at the design without a Windows machine.
"""

import argparse
import math
import os
import struct
import sys
import tempfile
import zlib

# The standard 16-colour VGA palette in the order Windows uses, as RGB.
VGA_PALETTE = [
    (0x00, 0x00, 0x00),  # 0 black
    (0x80, 0x00, 0x00),  # 1 maroon
    (0x00, 0x80, 0x00),  # 2 green
    (0x80, 0x80, 0x00),  # 3 olive
    (0x00, 0x00, 0x80),  # 4 navy
    (0x80, 0x00, 0x80),  # 5 purple
    (0x00, 0x80, 0x80),  # 6 teal
    (0xC0, 0xC0, 0xC0),  # 7 silver
    (0x80, 0x80, 0x80),  # 8 grey
    (0xFF, 0x00, 0x00),  # 9 red
    (0x00, 0xFF, 0x00),  # 10 lime
    (0xFF, 0xFF, 0x00),  # 11 yellow
    (0x00, 0x00, 0xFF),  # 12 blue
    (0xFF, 0x00, 0xFF),  # 13 fuchsia
    (0x00, 0xFF, 0xFF),  # 14 aqua
    (0xFF, 0xFF, 0xFF),  # 15 white
]

BLACK, MAROON, NAVY, YELLOW, AQUA = 0, 1, 4, 11, 14

TRANSPARENT = None  # a pixel outside the tile: AND mask bit set

SAMPLES = 4  # sub-samples per pixel edge when deciding which shape covers a pixel

DEFAULT_OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                           "resources", "kestrow.ico")


# --- the design, in unit coordinates (0,0 top left, 1,1 bottom right) ------

def _mirror(points):
    return [(1.0 - x, y) for x, y in reversed(points)]


LEFT_WING = [(0.46, 0.37), (0.36, 0.28), (0.22, 0.15), (0.07, 0.07), (0.12, 0.19),
             (0.10, 0.22), (0.17, 0.30), (0.15, 0.33), (0.24, 0.40), (0.23, 0.43),
             (0.33, 0.48), (0.46, 0.55)]
RIGHT_WING = _mirror(LEFT_WING)
TAIL = [(0.45, 0.60), (0.55, 0.60), (0.63, 0.86), (0.58, 0.89), (0.50, 0.90),
        (0.42, 0.89), (0.37, 0.86)]
TAIL_BAND_TOP = 0.81        # the black band across the end of the tail
WING_TIP_BOTTOM = 0.17      # the wing tips above this line are black
BEAK = [(0.47, 0.26), (0.53, 0.26), (0.50, 0.33)]


def _in_polygon(x, y, points):
    inside = False
    count = len(points)
    for i in range(count):
        x1, y1 = points[i]
        x2, y2 = points[(i + 1) % count]
        if (y1 > y) != (y2 > y):
            if x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
                inside = not inside
    return inside


def _in_ellipse(x, y, cx, cy, rx, ry):
    return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0


def _in_rounded_tile(x, y, margin, radius):
    lo, hi = margin, 1.0 - margin
    if not (lo <= x <= hi and lo <= y <= hi):
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return math.hypot(x - cx, y - cy) <= radius


def _bird_colour(x, y):
    """Colour of the bird at (x, y), or None where the bird is not."""
    if _in_polygon(x, y, BEAK):
        return YELLOW
    if any(_in_ellipse(x, y, eye_x, 0.225, 0.022, 0.022) for eye_x in (0.455, 0.545)):
        return BLACK                                      # eyes
    if _in_ellipse(x, y, 0.5, 0.24, 0.085, 0.08):         # head
        return MAROON
    if _in_ellipse(x, y, 0.5, 0.46, 0.085, 0.19):         # body
        return MAROON
    if _in_polygon(x, y, LEFT_WING) or _in_polygon(x, y, RIGHT_WING):
        return BLACK if y < WING_TIP_BOTTOM else MAROON
    if _in_polygon(x, y, TAIL):
        return BLACK if y >= TAIL_BAND_TOP else MAROON
    return None


def render(size):
    """The icon at size x size pixels: rows of palette indices or TRANSPARENT."""
    margin = 0.5 / size
    radius = 0.14
    border = 1.0 / size  # a one-pixel navy frame keeps the tile visible on any desktop
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            votes = {}
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    if not _in_rounded_tile(x, y, margin, radius):
                        colour = TRANSPARENT
                    elif not _in_rounded_tile(x, y, margin + border, radius - border):
                        colour = NAVY
                    else:
                        bird = _bird_colour(x, y)
                        colour = AQUA if bird is None else bird
                    votes[colour] = votes.get(colour, 0) + 1
            # Most sub-samples win; ties go to the bird, then the frame, so thin
            # features survive at 16x16.
            priority = [BLACK, YELLOW, MAROON, NAVY, AQUA, TRANSPARENT]
            row.append(max(votes, key=lambda c: (votes[c], -priority.index(c))))
        rows.append(row)
    return rows


# --- .ico encoding -----------------------------------------------------------

def _row_stride(bits):
    return (bits + 31) // 32 * 4


def encode_dib(pixels):
    """BITMAPINFOHEADER, palette, XOR bitmap and AND mask of one icon image."""
    size = len(pixels)
    xor_stride = _row_stride(size * 4)
    and_stride = _row_stride(size)
    xor_rows, and_rows = [], []
    for row in reversed(pixels):  # device-independent bitmaps are stored bottom-up
        xor = bytearray(xor_stride)
        mask = bytearray(and_stride)
        for x, colour in enumerate(row):
            if colour is TRANSPARENT:
                mask[x // 8] |= 0x80 >> (x % 8)
                colour = BLACK  # transparent pixels are black in the XOR image
            xor[x // 2] |= colour << (4 if x % 2 == 0 else 0)
        xor_rows.append(bytes(xor))
        and_rows.append(bytes(mask))
    image = b"".join(xor_rows) + b"".join(and_rows)
    # The height counts the XOR and AND halves together, as icons require.
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(image), 0, 0, 0, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in VGA_PALETTE)
    return header + palette + image


def encode_ico(images):
    """A .ico file holding the given square images (lists of pixel rows)."""
    dibs = [encode_dib(pixels) for pixels in images]
    offset = 6 + 16 * len(dibs)
    directory = struct.pack("<HHH", 0, 1, len(dibs))
    for pixels, dib in zip(images, dibs):
        size = len(pixels)
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 16, 0, 1, 4, len(dib), offset)
        offset += len(dib)
    return directory + b"".join(dibs)


# --- PNG preview ---------------------------------------------------------------

def encode_preview_png(images, scale=8, gap=16):
    """An RGB PNG with the images side by side, enlarged, on a checkerboard."""
    width = sum(len(p) * scale for p in images) + gap * (len(images) + 1)
    height = max(len(p) * scale for p in images) + 2 * gap
    canvas = [[(0xDD, 0xDD, 0xDD) if ((x // 8) + (y // 8)) % 2 else (0xF8, 0xF8, 0xF8)
               for x in range(width)] for y in range(height)]
    left = gap
    for pixels in images:
        for py, row in enumerate(pixels):
            for px, colour in enumerate(row):
                if colour is TRANSPARENT:
                    continue
                for dy in range(scale):
                    for dx in range(scale):
                        canvas[gap + py * scale + dy][left + px * scale + dx] = VGA_PALETTE[colour]
        left += len(pixels) * scale + gap
    raw = b"".join(b"\x00" + bytes(c for pixel in row for c in pixel) for row in canvas)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def write_atomically(path, data):
    """Writes data to path through a temporary file in the same folder, so an
    interrupted run never leaves a half-written file behind."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=".tmp-", suffix=os.path.basename(path))
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def main(argv):
    parser = argparse.ArgumentParser(description="Draws Kestrow's application icon.")
    parser.add_argument("--out", default=DEFAULT_OUT, help="the .ico file to write")
    parser.add_argument("--preview", help="also write an enlarged PNG preview here")
    args = parser.parse_args(argv)

    images = [render(32), render(16)]
    try:
        write_atomically(args.out, encode_ico(images))
        if args.preview:
            write_atomically(args.preview, encode_preview_png(images))
    except OSError as error:
        print(f"make_icon: cannot write {error.filename}: {error.strerror}", file=sys.stderr)
        return 1
    print(f"make_icon: wrote {os.path.normpath(args.out)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
