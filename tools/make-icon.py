#!/usr/bin/env python3
"""Draws the panel's icon (app/resources/panel.ico): a 32x32 sync-pulse glyph.

Deterministic: running it again writes the same bytes. Run from the repo root.
"""
import struct

SIZE = 32


def pixel(x, y):
    # Dark blue rounded tile with an amber sync pulse train across the middle.
    edge = min(x, y, SIZE - 1 - x, SIZE - 1 - y)
    if edge < 1:
        return (0, 0, 0, 0)
    background = (0x40, 0x24, 0x10, 0xFF)  # BGRA
    amber = (0x10, 0xB0, 0xFF, 0xFF)
    high = 9 <= y <= 11
    low = 20 <= y <= 22
    period = x % 10
    if 3 <= x <= 28:
        if high and period >= 4:
            return amber
        if low and period < 5:
            return amber
        if 9 <= y <= 22 and period in (4, 5) and x % 10 != 0:
            return amber
    if y == 27 and 5 <= x <= 26:
        return (0x90, 0x90, 0x90, 0xFF)
    return background


def main():
    rows = []
    for y in range(SIZE - 1, -1, -1):  # bottom-up DIB
        rows.append(b"".join(struct.pack("BBBB", *pixel(x, y)) for x in range(SIZE)))
    xor = b"".join(rows)
    and_mask = b"\x00" * (4 * SIZE)  # 32 bits per row, all opaque (alpha decides)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    ico = struct.pack("<HHH", 0, 1, 1)
    ico += struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open("app/resources/panel.ico", "wb") as f:
        f.write(ico + image)


if __name__ == "__main__":
    main()
