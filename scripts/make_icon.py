#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Draws the program's icon, a small television set, as a 32 x 32 image with a 256-colour
palette and writes it as resources/morvek.ico (run from anywhere; standard library only)."""
import os
import struct

SIZE = 32

# Palette entries used by the drawing (the rest of the 256 entries stay black).
TRANSPARENT, CABINET, CABINET_EDGE, SCREEN, SCREEN_GLOW, ANTENNA, KNOB, STAND = range(8)
COLOURS = {
    TRANSPARENT: (0, 0, 0),
    CABINET: (96, 64, 40),
    CABINET_EDGE: (48, 32, 20),
    SCREEN: (40, 80, 160),
    SCREEN_GLOW: (120, 180, 240),
    ANTENNA: (64, 64, 64),
    KNOB: (220, 200, 120),
    STAND: (32, 32, 32),
}


def draw():
    """Rows top to bottom, one palette index per pixel."""
    img = [[TRANSPARENT] * SIZE for _ in range(SIZE)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                img[y][x] = colour

    # Antennas: two diagonals meeting above the cabinet.
    for i in range(7):
        img[1 + i][9 + i] = ANTENNA
        img[1 + i][22 - i] = ANTENNA
    rect(15, 7, 16, 8, ANTENNA)
    # Cabinet with a dark edge.
    rect(2, 9, 29, 27, CABINET_EDGE)
    rect(3, 10, 28, 26, CABINET)
    # Screen with a highlight in its upper left corner.
    rect(5, 12, 22, 24, CABINET_EDGE)
    rect(6, 13, 21, 23, SCREEN)
    rect(7, 14, 11, 15, SCREEN_GLOW)
    rect(7, 16, 8, 17, SCREEN_GLOW)
    # Two knobs beside the screen.
    rect(24, 14, 26, 16, KNOB)
    rect(24, 19, 26, 21, KNOB)
    # Feet.
    rect(6, 28, 8, 30, STAND)
    rect(23, 28, 25, 30, STAND)
    return img


def ico_bytes(img):
    palette = b"".join(
        struct.pack("<BBBB", *reversed(COLOURS.get(i, (0, 0, 0))), 0) for i in range(256))
    # Pixel rows are stored bottom-up; 32 bytes per row is already a multiple of 4.
    pixels = b"".join(bytes(row) for row in reversed(img))
    # The AND mask marks transparent pixels with 1; each row is 32 bits.
    mask = b""
    for row in reversed(img):
        bits = 0
        for x, value in enumerate(row):
            if value == TRANSPARENT:
                bits |= 1 << (31 - x)
        mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 8, 0,
                         len(pixels) + len(mask), 0, 0, 256, 0)
    image = header + palette + pixels + mask
    icon_dir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 8, len(image), 6 + 16)
    return icon_dir + entry + image


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = os.path.join(root, "resources", "morvek.ico")
    with open(path, "wb") as out:
        out.write(ico_bytes(draw()))
    print(path)


if __name__ == "__main__":
    main()
