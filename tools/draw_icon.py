#!/usr/bin/env python3
"""Draws a product icon: one 48 x 48 image in 32-bit colour, written as an .ico file.

usage: draw_icon.py OUTPUT.ico R,G,B
The picture is a rounded tile in the given colour with a white arrow falling into a tray.
"""
import struct
import sys

SIZE = 48


def inside_rounded_square(x, y, margin, radius):
    lo, hi = margin, SIZE - 1 - margin
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def in_arrow(x, y):
    if 21 <= x <= 26 and 9 <= y <= 24:  # shaft
        return True
    if 25 <= y <= 33:  # head
        half = 33 - y
        return 23.5 - half - 1 <= x <= 23.5 + half + 1
    return False


def in_tray(x, y):
    if 36 <= y <= 38 and 11 <= x <= 36:
        return True
    return 29 <= y <= 38 and (11 <= x <= 13 or 34 <= x <= 36)


def pixel(x, y, tile):
    if not inside_rounded_square(x, y, 2, 8):
        return (0, 0, 0, 0)
    if in_arrow(x, y) or in_tray(x, y):
        return (255, 255, 255, 255)
    shade = 1.0 - 0.35 * y / SIZE  # lighter at the top
    r, g, b = (int(c * shade) for c in tile)
    return (r, g, b, 255)


def main():
    output, colour = sys.argv[1], sys.argv[2]
    tile = tuple(int(c) for c in colour.split(","))
    rows = []
    for y in range(SIZE - 1, -1, -1):  # bottom-up, as DIBs are stored
        rows.append(b"".join(struct.pack("BBBB", b, g, r, a)
                             for r, g, b, a in (pixel(x, y, tile) for x in range(SIZE))))
    xor = b"".join(rows)
    and_mask = b"\0" * (SIZE * SIZE // 8)  # alpha carries the transparency
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask),
                         0, 0, 0, 0)
    image = header + xor + and_mask
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32,
                                                          len(image), 6 + 16)
    with open(output, "wb") as f:
        f.write(directory + image)


if __name__ == "__main__":
    main()
