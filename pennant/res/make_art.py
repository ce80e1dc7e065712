#!/usr/bin/env python3
"""Draws pennant's artwork (icons and PNG images) into an output directory.

Everything is computed from shapes here, so the build reproduces the same
bytes on every machine. Usage: make_art.py OUTPUT_DIR
"""
import base64
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

    def solid(self, x0, y0, x1, y1, colour):
        """Paints whole pixels, no blending: backgrounds and frames."""
        for y in range(max(0, y0), min(self.height, y1)):
            for x in range(max(0, x0), min(self.width, x1)):
                self.pixels[y * self.width + x] = list(colour)

    def rounded_rect(self, x0, y0, x1, y1, radius, colour):
        def inside(x, y):
            cx = min(max(x, x0 + radius), x1 - radius)
            cy = min(max(y, y0 + radius), y1 - radius)
            return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius and x0 <= x <= x1 and y0 <= y <= y1
        self.fill_shape(inside, colour, (x0, y0, x1, y1))

    def stroke(self, ax, ay, bx, by, width, colour):
        """A line segment of the given width with round ends."""
        dx, dy = bx - ax, by - ay
        length2 = dx * dx + dy * dy
        half = width / 2.0

        def inside(x, y):
            t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length2))
            px, py = ax + t * dx - x, ay + t * dy - y
            return px * px + py * py <= half * half
        self.fill_shape(inside, colour, (min(ax, bx) - half, min(ay, by) - half,
                                         max(ax, bx) + half + 1, max(ay, by) + half + 1))

    def mask(self, coverage, mask_width, x0, y0, colour):
        """Blends a grey-level coverage map (one byte a pixel) in the given colour."""
        for i, value in enumerate(coverage):
            if value:
                self.blend(x0 + i % mask_width, y0 + i // mask_width, colour, value / 255.0)

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
        """The icon-directory form: BITMAPINFOHEADER, bottom-up 24-bit BGR, AND mask.
        Pixels at least half opaque are composed over white; the rest are masked."""
        w, h = self.width, self.height
        stride = (w * 3 + 3) // 4 * 4
        xor = bytearray()
        for y in reversed(range(h)):
            row = bytearray()
            for x in range(w):
                r, g, b, a = self.pixels[y * w + x]
                if a < 128:
                    row.extend((0, 0, 0))
                else:
                    row.extend(round(c * a / 255 + 255 * (1 - a / 255)) for c in (b, g, r))
            xor.extend(row + bytes(stride - len(row)))
        mask_stride = ((w + 31) // 32) * 4
        mask = bytearray()
        for y in reversed(range(h)):
            row = bytearray(mask_stride)
            for x in range(w):
                if self.pixels[y * w + x][3] < 128:
                    row[x // 8] |= 0x80 >> (x % 8)
            mask.extend(row)
        header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 24, 0, len(xor) + len(mask),
                             0, 0, 0, 0)
        return header + bytes(xor) + bytes(mask)


def write_ico(path, canvases):
    entries = b""
    images = b""
    offset = 6 + 16 * len(canvases)
    for c in canvases:
        data = c.dib()
        entries += struct.pack("<BBBBHHII", c.width % 256, c.height % 256, 0, 0, 1, 24,
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


WHITE = (255, 255, 255, 255)
FRAME = (24, 131, 215, 255)
BAND_GREY = (236, 240, 241, 255)
SEPARATOR = (218, 222, 224, 255)
FOOTER_GREY = (243, 245, 246, 255)
GRADIENT_STOPS = ((99, 182, 47), (0, 158, 150), (0, 129, 204))

# "—— 升级提醒" in WenQuanYi Micro Hei at 12, 18 and 24 pixels for the three
# scales, grey levels 76 x 16, 114 x 24 and 152 x 32 (rendered once with
# ImageMagick, kept here so the build needs no fonts; a text drawn at the
# larger size stays crisp where a stretched one would blur).
CAPTION_COVERAGE_1X = (
    "eNpjYBiSQCqljOGOCIhlII4Q/YCmipWHh4cLv0GRy259mOsBNeukidHz1zduvoKYpfDtxo0b7wMY"
    "3G58fvvweMGNA0fv4DcrKK1sDZACm6V3Ttkmp5LBdgMDg3TOtxybuzk5OQcDGBg19syKEi+Yl1Jw"
    "h5AXA+Bm7XJfm1CezzAlhoFBJOBrgOllFxeXDQEMPE/unj42o6DDwZ94s1iu3rjK0t7IsOL2S22Q"
    "H6VvgIAzA8+B7XU1M+IuvLq8E69Bgk+evPn25MmTP8+eJDCwnrNnmP2Ki4HrLSvQLGcDFRBQBJp1"
    "sHzmjBTPIzpADdUf4KAamQ0xLm4ezI+TVlXo7txZzuC7gUG27feGnVu2vN+zZSkDz9uppkdmHDj7"
    "+coZBgYBBTgQQGZDzJpeAjWL786ScK7HUrfMjnoxaE3+ysC/j+GEMgcTA8+jsoSOjTtkTjmLEQgu"
    "9bfiMHcxSMRGnGGwfLMbkibSljGcuHrBkYHnekxM6wzdBS83NOE3SuNOAgPULMlbr2cdyGdtu/7E"
    "nYGZ+ZP47W0L71iLi7DyvNmw4cgMBgZweOEDEyIZYGYxGDDJP+Q9Pp/b7Im92KsL+dGMvotP3rwj"
    "z3NcRiZ0xqYnP188MSUlP4kwCAFJgaFXEAAAcNXVaA=="
)

CAPTION_COVERAGE_15X = (
    "eNrtlG1IU1EYx59MM8sSccJMJSHLWUGSEQM/tOoWNipuojFRiWrQkD6YNU1almhIKb0RQmTRi8jV"
    "LCGHKUQfarMVEb2sotJMIh2mc2s353Lb0zlzrxbRpQ9B9Id7du7/7NzfOc/53wvwX39fcQUqECPr"
    "vWOKpo+PaH4+b6bIoyhhtKStVT0uNEQGiLfvwWyckjZA1HqtEgCRt/tYMvWrEcKTD5MZA3sSIbDH"
    "BZMqCGNeXWcYpv98EPEOQ2UmxAiG6Wx6pWZWS1CekpJiFkQUnd2xrMezEz+xeiy6MA+e1gAku+XU"
    "yFfa2pVp2gdKKmuJ50+NNQYGQIJKmUxm1Qg9RV0IMc5aFmOug75DAPtskdR5w6OD36HlP1C5KLHO"
    "aB4e7zeuk+Agtf6QeGF0Z+t4AnzeB6C/L5Wm+ava5Bk2USLXcffmu5oJVoIZv8jV7xKvDr1AUtHJ"
    "kwBd5IwbfpIc4OqbjhgYnhDHeZ4XlpwPZIbLSRr+K9p5/hFAGHAD0RCLY3NhVnSie5ePuIKZUrKH"
    "eLeEEuceXX8SZbKFQoiFJAy9z2gkSvGcUplDrBz3BoCl6K4g/c24yEO8dlmd61MSIZ4ybdLX2tlM"
    "zFCh5zmpR6cp9UcnQO3lgquabjmdy0nkWGcRkxK/IM7SKgfq3RaLxYZfSEtWxb2ciDmByB5Gpwud"
    "zhsA2ThN2T86fmCE40Qw8SG63tcmHrBHPL8F4olSgDlWh4scak4xZKB3nZztIkAUv/1jo/Q4SqVL"
    "BAYnbwrlIxYpJaTt0MMqh+bi6DzSz4ql58i1EKKKZWmZudYt5D20X3Kng7eqQjRDNxIV8gWAmdIj"
    "mY5KgL3oLvB/cyLH9hDiV54vpsRvNGvIru02fkKjMV8Y8SCWQxAxrKLTgkPNZPVkBM+E+4i78b04"
    "UNV62vIsZDGnkWGSBAELJx9EBBPhXl/DxjhTFyxsx+pjqFtMvVHN/MGWPlOdnzg+QoTsGoWiERUK"
    "RbgAYIH7tRhCiHPIpXaujLcN5QKoJp6EQYnatb/dEp/QhvhW23y5ihDbsonsbJc3htECiAtaRRBK"
    "pJpF3oDNNDSQQXZVaR5afm4buVledqVbZygPqup//WP6Du1k7Wk="
)

CAPTION_COVERAGE_2X = (
    "eNrtl21sU1UYx5/utdgxhmwyIoofyLKMOabZksmYLkaT+ZIQNkY2MuNAlCBiQJAPRnBDURK3pPEF"
    "t+jcApWwyaRsBgoMFVJJNTNzcYodxBWYLY7CRtN1K723f8+5t+1uX/bpTsOH/ZLe0/Oc295f+zzn"
    "uS3RLLPcxWgWEGXrK6cCeUWamCfu0f9/UqkVLfbLCVSGpqlYO54n+swQpDQYt4EdStwh9vFgZ0+Q"
    "1+IHAvSoUkrIrWk8dwcQzi8N80oZH0smciLIS2FepRiSNX5GgxR0u31+Dzxud2MCbps5GFZhpbVM"
    "8Iu6mqvS2UzptRkfs6PuGTSkMDpQGOH1njwrkr0YhssFKOAfFGZpLqjxIpP92707YZEnCq+4P8Qs"
    "zb5ieg67ub7LJoerjEYPjMYXSmE1SpyL4TVQxhFVeSWxR34Mrxq0UBVOUiV2sll58Op1clL3l4by"
    "K688aTLZxy/ggqmdeQUYVlv1MbzmXhlZmDCIYtqAV9m0A0WBqsvMvIbMzJTIPNbAK/q98PqdzKu/"
    "iCP8F1578GuXFaeJtmM9S824r76uri55+vqqwUopj2bnDNXXNF4bces3CA8T7ZWu+zvPiyOs7sPz"
    "yLyOXAx6iVL/UJXHHW2MLtxokzgDKx+Yji6D9PiUnXAAozqiB/Pza9Gt8Mo1hqgNeJ2wyF5xrNkZ"
    "4TAYPlKzHRGDMr5SLA7NZcNR4HXpzO14O+SVnx75PszL2il70dfbaCnUNVVanM1Yjb5siY04wgcd"
    "vwMM+kr4CRa4/uF+dAr5Qa8f4DEpaJC8yv27l+MTq5OycEa9l8QTvMDD6yv+BLaVfPhnKl13bcb7"
    "LJDhkzqYtrzdB/9RTHIEePlwVvLqQEHqOOCkHRAmvRDZQg5bSHbHRDddXOn1MlojvfZDcGHy+JI0"
    "9Mb1+Vivr8e7PN7F87yMvyaPqAm5U3kU+omWbfrLGT8otLV1ws7q9H7+QRCTlOniSq92bI32uvJV"
    "7TzWL3GIVojWtPk3J+7j8QrLVgev+0x0Rnh9/hQfzc4NOE4zk8eFHjwU6bVgcdBvPW9mZ79AY9j9"
    "sQJvcq9utveqZS9jE8fh3OUv1Wpz8J1Wm6TSqwkmiroPMRbVHp5jBUtG3Glg8J4wr27k8Bcq+lcA"
    "J+UZAk971WmtglgY5fVA9YEB9tZv4Sc+qwd+WaT0yhJwUMO8CtlPjaRAnyA5j+y5Xt+Kq3r9G6q0"
    "Hh/HBxTl1cukrusLerCO9dgvMXYR9pUKr5MYwTfpYfU15UUzUV/VEzgWF+31yo/vPBbPvspribTa"
    "hkvZaechNs6Rlm6ItAm987+HawhlSSEvj7TPxRnyWuLF4USimPVFmktYQ2vhP3Qv2++tEJ8menbU"
    "geFH73geoeRdN9l3Ko7+bbNVcq9T0q/tESc1WyyWPtxmxzoVYluUVRDhRcvZVNO8Qp6s480ko3/s"
    "1pbEg2t4YN6LLZarbgF8ayjyaA41I8Psv7lZZrmr+BfhgWGX"
)

# Scale -> (grey levels, width of a row).
CAPTIONS = {1: (CAPTION_COVERAGE_1X, 76), 1.5: (CAPTION_COVERAGE_15X, 114),
            2: (CAPTION_COVERAGE_2X, 152)}


def gradient_colour(t):
    """Green at 0 through teal at 0.5 to blue at 1."""
    if t <= 0.5:
        a, b, u = GRADIENT_STOPS[0], GRADIENT_STOPS[1], t / 0.5
    else:
        a, b, u = GRADIENT_STOPS[1], GRADIENT_STOPS[2], (t - 0.5) / 0.5
    return tuple(round(a[i] + (b[i] - a[i]) * u) for i in range(3)) + (255,)


def grid(value, scale):
    """A whole-pixel position at the scale, rounded half up as the program's
    MulDiv rounds its layout, so art edges and control edges meet."""
    return int(math.floor(value * scale + 0.5))


def maker_logo(c, x0, y0, s):
    """Aldermoor's mark: two white peaks in a blue rounded square, 16 x 16."""
    c.rounded_rect(x0, y0, x0 + 16 * s, y0 + 16 * s, 3.5 * s, (0, 129, 204, 255))
    c.polygon([(x0 + 2.5 * s, y0 + 12.5 * s), (x0 + 6.5 * s, y0 + 5 * s),
               (x0 + 10.5 * s, y0 + 12.5 * s)], WHITE)
    c.polygon([(x0 + 7.5 * s, y0 + 12.5 * s), (x0 + 10.5 * s, y0 + 7.5 * s),
               (x0 + 13.5 * s, y0 + 12.5 * s)], (180, 230, 250, 255))


def window_background(height, layout, s):
    """Frame, title strip and gradient band shared by both backgrounds, then the
    bands of `layout`: (first row, last row, colour) in client rows at 96 DPI."""
    width = grid(360, s)
    height = grid(height, s)
    line = grid(1, s)
    c = Canvas(width, height, WHITE)
    c.solid(0, line, width, grid(26, s), WHITE)
    maker_logo(c, grid(7, s), grid(5, s), s)
    caption, caption_width = CAPTIONS[s]
    coverage = zlib.decompress(base64.b64decode("".join(caption)))
    c.mask(coverage, caption_width, grid(28, s), grid(5, s), (90, 96, 104, 255))
    for x in range(width):
        colour = gradient_colour(x / (width - 1))
        c.solid(x, grid(26, s), x + 1, grid(79, s), colour)
    for first, last, colour in layout:
        c.solid(0, grid(first, s), width, grid(last + 1, s), colour)
    c.solid(0, 0, width, line, FRAME)
    c.solid(0, height - line, width, height, FRAME)
    c.solid(0, 0, line, height, FRAME)
    c.solid(width - line, 0, width, height, FRAME)
    return c


def text_button(fill, s):
    c = Canvas(grid(106, s), grid(26, s))
    c.rounded_rect(0, 0, c.width, c.height, 4 * s, fill)
    return c


def glyph_button(background, draw, s):
    c = Canvas(grid(28, s), grid(24, s), background)
    draw(c, s)
    return c


def close_cross(colour):
    def draw(c, s):
        c.stroke(9.5 * s, 7.5 * s, 18.5 * s, 16.5 * s, 1.3 * s, colour)
        c.stroke(18.5 * s, 7.5 * s, 9.5 * s, 16.5 * s, 1.3 * s, colour)
    return draw


def minimise_bar(colour):
    def draw(c, s):
        c.rect(9 * s, 12 * s, 19 * s, 12 * s + grid(1, s), colour)
    return draw


def warning_mark(s):
    c = Canvas(grid(16, s), grid(16, s))
    c.circle(8 * s, 8 * s, 7.5 * s, (255, 128, 0, 255))
    c.rounded_rect(7 * s, 3 * s, 9 * s, 10 * s, 1 * s, WHITE)
    c.circle(8 * s, 12 * s, 1.1 * s, WHITE)
    return c


def menu_background(s):
    width, height, line = grid(100, s), grid(90, s), grid(1, s)
    blue = (26, 147, 226, 255)
    c = Canvas(width, height, WHITE)
    c.solid(line, line, grid(11, s), height - line, (221, 247, 255, 255))
    c.solid(0, 0, width, line, blue)
    c.solid(0, height - line, width, height, blue)
    c.solid(0, 0, line, height, blue)
    c.solid(width - line, 0, width, height, blue)
    return c


GREY_GLYPH = (127, 127, 127, 255)

# The scales art is drawn at and the resource ids of each: the 96-DPI art
# keeps its id, the 1.5x and 2x art sit 1000 and 2000 above it (the program
# picks them by the same offsets).
SCALES = ((1, 0), (1.5, 1000), (2, 2000))


def images(s=1):
    """Resource id -> canvas of every PNG resource, drawn at scale s."""
    return {
        132: window_background(450, [(79, 119, BAND_GREY), (120, 120, SEPARATOR),
                                     (121, 400, WHITE), (401, 401, SEPARATOR),
                                     (402, 448, FOOTER_GREY)], s),
        161: window_background(170, [(79, 79, BAND_GREY), (80, 120, WHITE),
                                     (121, 121, SEPARATOR), (122, 168, FOOTER_GREY)], s),
        146: text_button((1, 145, 227, 255), s),
        147: text_button((0, 129, 203, 255), s),
        148: text_button((204, 204, 204, 255), s),
        149: text_button((195, 196, 196, 255), s),
        130: glyph_button(WHITE, close_cross(GREY_GLYPH), s),
        131: glyph_button((232, 17, 35, 255), close_cross(WHITE), s),
        162: glyph_button(WHITE, minimise_bar(GREY_GLYPH), s),
        163: glyph_button((230, 230, 230, 255), minimise_bar(GREY_GLYPH), s),
        155: warning_mark(s),
        157: menu_background(s),
    }


ICON_SIZES = (16, 24, 32, 48, 64)


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    # 107 (the window class) and 154 (the tray) carry the same artwork.
    icons = [pennant_icon(n, (30, 120, 220, 255), (255, 255, 255, 255)) for n in ICON_SIZES]
    write_ico(os.path.join(out_dir, "icon107.ico"), icons)
    write_ico(os.path.join(out_dir, "icon154.ico"), icons)
    for scale, offset in SCALES:
        for image_id, canvas in images(scale).items():
            with open(os.path.join(out_dir, "image%d.png" % (image_id + offset)), "wb") as f:
                f.write(canvas.png())


if __name__ == "__main__":
    main(sys.argv[1])
