#!/usr/bin/env python3
"""Draws the web page's logo and icons from the same drawing as the Windows
build's logo and icon (make_artwork.py), as PNG files:

  logo.png               886 x 131 pixels, the logo at half size, its green
                         key made transparent
  icon-192.png           the emblem (the navy rounded square with the white
  icon-512.png           chevron), as the Windows icon draws it
  icon-maskable-512.png  navy to the edges, the chevron inside the central
                         circle that every mask keeps
  favicon.png            32 x 32 pixels

The output depends on nothing but this script and make_artwork.py: the same
files, byte for byte, at every run.

usage: make_web_icons.py OUTPUT_DIR
"""
import pathlib
import struct
import sys
import zlib

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import make_artwork  # noqa: E402  (the drawing of the Windows build)

TRANSPARENT = (0, 0, 0, 0)


def png(rows):
    """A PNG file of RGBA rows, top first, 8 bits per channel."""
    height, width = len(rows), len(rows[0])
    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter type None for every scan line
        for pixel in row:
            raw += bytes(pixel)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def shrink(rows, factor):
    """Averages factor x factor squares of RGBA pixels into one, weighting the
    colours by their alpha, so that a transparent neighbour does not darken
    an edge."""
    if factor == 1:
        return rows
    height, width = len(rows) // factor, len(rows[0]) // factor
    area = factor * factor
    out = []
    for y in range(height):
        line = []
        block_rows = rows[y * factor:(y + 1) * factor]
        for x in range(width):
            r = g = b = a = 0
            for source in block_rows:
                for pr, pg, pb, pa in source[x * factor:(x + 1) * factor]:
                    r += pr * pa
                    g += pg * pa
                    b += pb * pa
                    a += pa
            if a == 0:
                line.append(TRANSPARENT)
            else:
                line.append(((r + a // 2) // a, (g + a // 2) // a, (b + a // 2) // a, (a + area // 2) // area))
        out.append(line)
    return out


def logo_rows():
    """The Windows logo at its full 1772 x 263 pixels, green made transparent,
    cropped to an even height so that halving loses no line unevenly."""
    rows = []
    for row in make_artwork.draw_logo():
        rows.append([TRANSPARENT if pixel == make_artwork.GREEN else pixel + (255,) for pixel in row])
    return rows[:len(rows) // 2 * 2]


def emblem_rows(size):
    """The Windows icon's emblem, drawn at size x size, as RGBA."""
    return [[(r, g, b, a) for b, g, r, a in row] for row in make_artwork.icon_image(size)]


def maskable_rows(size):
    """Navy to every edge, the white chevron inside the central circle of 80 %
    of the width that launchers keep whatever mask they cut with: the chevron's
    box is half the width, so its corners lie at 0.35 of the width from the
    centre, inside the circle's 0.4."""
    navy = make_artwork.NAVY + (255,)
    white = make_artwork.WHITE + (255,)
    box = size * 0.5
    left = top = (size - box) / 2
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            u = (x + 0.5 - left) / box
            v = (y + 0.5 - top) / box
            row.append(white if make_artwork.chevron_hit(u, v) else navy)
        rows.append(row)
    return rows


def icon(draw, size):
    """Draws at up to four times the size and shrinks, for smooth edges at the
    small sizes; 512 pixels are drawn as they are."""
    factor = max(1, min(4, 512 // size))
    return png(shrink(draw(size * factor), factor))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_web_icons.py OUTPUT_DIR")
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    files = {
        "logo.png": png(shrink(logo_rows(), 2)),
        "icon-192.png": icon(emblem_rows, 192),
        "icon-512.png": icon(emblem_rows, 512),
        "icon-maskable-512.png": icon(maskable_rows, 512),
        "favicon.png": icon(emblem_rows, 32),
    }
    for name, data in files.items():
        path = out / name
        # Rewritten only when different, so that a rebuild leaves the
        # folder's files (and so the service worker's cache) unchanged.
        if not path.exists() or path.read_bytes() != data:
            path.write_bytes(data)


if __name__ == "__main__":
    main()
