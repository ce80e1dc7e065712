#!/usr/bin/env python3
"""Draws pennant's artwork (icons and PNG images) into an output directory.

Everything is computed from shapes here, so the build reproduces the same
bytes on every machine. Usage: make_art.py OUTPUT_DIR
"""
import math
import os
import struct
import sys
import zlib

SUPERSAMPLE = 4


class Canvas:
    """RGBA image with straight alpha and simple anti-aliased shape filling."""

    def __init__(self, width, height, fill=(0, 0, 0, 0)):
        self.width = width
        self.height = height
        self.pixels = [list(fill) for _ in range(width * height)]

    def blend(self, x, y, colour, coverage):
        if coverage <= 0 or not (0 <= x < self.width and 0 <= y < self.height):
            return
        r, g, b, a = colour
        a = a / 255.0 * min(coverage, 1.0)
        dst = self.pixels[y * self.width + x]
        da = dst[3] / 255.0
        out_a = a + da * (1 - a)
        if out_a <= 0:
            return
        for i, c in enumerate((r, g, b)):
            dst[i] = round((c * a + dst[i] * da * (1 - a)) / out_a)
        dst[3] = round(out_a * 255)

    def fill_shape(self, inside, colour, box=None):
        """Fills every pixel by the share of its subsamples for which inside(x, y) holds."""
        x0, y0, x1, y1 = box or (0, 0, self.width, self.height)
        n = SUPERSAMPLE
        for y in range(max(0, int(y0)), min(self.height, int(math.ceil(y1)))):
            for x in range(max(0, int(x0)), min(self.width, int(math.ceil(x1)))):
                hits = 0
                for sy in range(n):
                    for sx in range(n):
                        if inside(x + (sx + 0.5) / n, y + (sy + 0.5) / n):
                            hits += 1
                self.blend(x, y, colour, hits / (n * n))

    def rect(self, x0, y0, x1, y1, colour):
        self.fill_shape(lambda x, y: x0 <= x < x1 and y0 <= y < y1, colour, (x0, y0, x1, y1))

    def polygon(self, points, colour):
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]

        def inside(x, y):
            hit = False
            j = len(points) - 1
            for i, (xi, yi) in enumerate(points):
                xj, yj = points[j]
                if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                    hit = not hit
                j = i
            return hit

        self.fill_shape(inside, colour, (min(xs), min(ys), max(xs) + 1, max(ys) + 1))

    def circle(self, cx, cy, radius, colour):
        self.fill_shape(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius, colour,
                        (cx - radius, cy - radius, cx + radius + 1, cy + radius + 1))

    def png(self):
        raw = bytearray()
        for y in range(self.height):
            raw.append(0)
            for x in range(self.width):
                raw.extend(self.pixels[y * self.width + x])

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 6, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))

    def dib(self):
        """The icon-directory form: BITMAPINFOHEADER, bottom-up BGRA, AND mask."""
        w, h = self.width, self.height
        xor = bytearray()
        for y in reversed(range(h)):
            for x in range(w):
                r, g, b, a = self.pixels[y * w + x]
                xor.extend((b, g, r, a))
        mask_stride = ((w + 31) // 32) * 4
        mask = bytearray()
        for y in reversed(range(h)):
            row = bytearray(mask_stride)
            for x in range(w):
                if self.pixels[y * w + x][3] == 0:
                    row[x // 8] |= 0x80 >> (x % 8)
            mask.extend(row)
        header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(xor) + len(mask),
                             0, 0, 0, 0)
        return header + bytes(xor) + bytes(mask)


def write_ico(path, canvases):
    entries = b""
    images = b""
    offset = 6 + 16 * len(canvases)
    for c in canvases:
        data = c.dib()
        entries += struct.pack("<BBBBHHII", c.width % 256, c.height % 256, 0, 0, 1, 32,
                               len(data), offset)
        images += data
        offset += len(data)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(canvases)) + entries + images)


def pennant_icon(size, flag, stripe):
    """A pennant on a pole: the program's mark."""
    c = Canvas(size, size)
    s = size / 64.0
    c.circle(32 * s, 32 * s, 30 * s, (255, 255, 255, 235))
    c.rect(17 * s, 9 * s, 21 * s, 56 * s, (80, 84, 92, 255))
    c.circle(19 * s, 9 * s, 3.2 * s, (80, 84, 92, 255))
    c.polygon([(21 * s, 11 * s), (54 * s, 22 * s), (21 * s, 34 * s)], flag)
    c.polygon([(21 * s, 19 * s), (38 * s, 22.2 * s), (21 * s, 26 * s)], stripe)
    return c


ICON_SIZES = (16, 24, 32, 48, 64)


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    # 107: the program icon; 154: the tray icon, in the tray's warmer colour.
    write_ico(os.path.join(out_dir, "icon107.ico"),
              [pennant_icon(n, (30, 120, 220, 255), (255, 255, 255, 255)) for n in ICON_SIZES])
    write_ico(os.path.join(out_dir, "icon154.ico"),
              [pennant_icon(n, (240, 120, 20, 255), (255, 255, 255, 255)) for n in ICON_SIZES])


if __name__ == "__main__":
    main(sys.argv[1])
