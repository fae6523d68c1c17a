#!/usr/bin/env python3
"""Draws the updater's logo and icon: this project's own simple design, the
maker's name in block letters beside a chevron emblem.

  logo.bmp  1772 x 263 pixels, 24 bits per pixel, uncompressed; pure green
            RGB(0, 255, 0) where the window shows through
  app.ico   16, 32, 48, 64 and 128 pixels, 32 bits per pixel with alpha

usage: make_artwork.py OUTPUT_DIR
"""
import pathlib
import struct
import sys

GREEN = (0, 255, 0)
NAVY = (22, 44, 92)
RED = (208, 32, 40)
WHITE = (255, 255, 255)

# 5 x 7 block letters, one string per row, '#' set.
FONT = {
    "V": ["#...#", "#...#", "#...#", "#...#", ".#.#.", ".#.#.", "..#.."],
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    "S": [".####", "#....", "#....", ".###.", "....#", "....#", "####."],
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "A": [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
}


def chevron_hit(u, v):
    """A 'V' chevron in the unit square: two slanted bars meeting at the bottom."""
    if not (0.0 <= u <= 1.0 and 0.0 <= v <= 1.0):
        return False
    centre = 0.5
    half_width = 0.5 * (1.0 - v)  # the arms close in toward the bottom
    distance = abs(abs(u - centre) - half_width)
    return distance <= 0.11


def draw_logo(width=1772, height=263):
    pixels = [[GREEN] * width for _ in range(height)]
    # Emblem: a red chevron in a navy ring-less square area on the left.
    size = 231
    left, top = 16, 16
    for y in range(size):
        for x in range(size):
            if chevron_hit(x / size, y / size):
                pixels[top + y][left + x] = RED
    # Wordmark: VESTORA, letters 5 x 7 cells of 30 pixels, one cell apart.
    cell = 30
    x0 = left + size + 60
    y0 = (height - 7 * cell) // 2
    for index, letter in enumerate("VESTORA"):
        glyph = FONT[letter]
        gx = x0 + index * 6 * cell
        for row, line in enumerate(glyph):
            for column, mark in enumerate(line):
                if mark != "#":
                    continue
                for y in range(y0 + row * cell, y0 + (row + 1) * cell):
                    for x in range(gx + column * cell, gx + (column + 1) * cell):
                        pixels[y][x] = NAVY
    # Underline in red below the wordmark's base.
    for y in range(y0 + 7 * cell + 6, min(height - 4, y0 + 7 * cell + 14)):
        for x in range(x0, x0 + 7 * 6 * cell - cell):
            pixels[y][x] = RED
    return pixels


def bmp_24(pixels):
    height, width = len(pixels), len(pixels[0])
    row_size = (width * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(pixels):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += b"\0" * (row_size - len(line))
        data += line
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(data), 0, 0, 14 + 40)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    return header + info + bytes(data)


def icon_image(size):
    """BGRA rows, top first: a navy rounded square with a white chevron."""
    rows = []
    radius = size * 0.18
    for y in range(size):
        row = []
        for x in range(size):
            cx, cy = x + 0.5, y + 0.5
            dx = max(radius - cx, 0, cx - (size - radius))
            dy = max(radius - cy, 0, cy - (size - radius))
            inside = dx * dx + dy * dy <= radius * radius
            if not inside:
                row.append((0, 0, 0, 0))
                continue
            u = (cx - size * 0.18) / (size * 0.64)
            v = (cy - size * 0.22) / (size * 0.58)
            r, g, b = WHITE if chevron_hit(u, v) else NAVY
            row.append((b, g, r, 255))
        rows.append(row)
    return rows


def ico(sizes):
    images = []
    for size in sizes:
        rows = icon_image(size)
        xor = bytearray()
        for row in reversed(rows):
            for pixel in row:
                xor += bytes(pixel)
        mask_row = ((size + 31) // 32) * 4
        mask = bytearray()
        for row in reversed(rows):
            bits = bytearray(mask_row)
            for x, pixel in enumerate(row):
                if pixel[3] == 0:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask += bits
        info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        images.append((size, info + bytes(xor) + bytes(mask)))
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    blobs = b""
    for size, blob in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
        blobs += blob
    return header + entries + blobs


def main():
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    (out / "logo.bmp").write_bytes(bmp_24(draw_logo()))
    (out / "app.ico").write_bytes(ico([16, 32, 48, 64, 128]))


if __name__ == "__main__":
    main()
