#!/usr/bin/env python3
"""Draws the updater's icon (resource 128): a MIDI socket with an upward
arrow on a blue tile.  Writes the same drawing as SVG and as PNG files of
several sizes, and those PNG images as the Windows icon file, with nothing
but the standard library.

    python3 tools/make_icon.py [OUTPUT_FOLDER]     (default: resources/)
"""

import math
import os
import struct
import sys
import zlib

GRID = 64.0   # the drawing's own coordinate system, 0..64 in both directions

BLUE = (0x1F, 0x4E, 0x79, 255)
WHITE = (0xFF, 0xFF, 0xFF, 255)
ORANGE = (0xF3, 0x9C, 0x12, 255)


class RoundRect:
    def __init__(self, x0, y0, x1, y1, r, color):
        self.x0, self.y0, self.x1, self.y1, self.r, self.color = x0, y0, x1, y1, r, color

    def contains(self, x, y):
        if not (self.x0 <= x <= self.x1 and self.y0 <= y <= self.y1):
            return False
        cx = min(max(x, self.x0 + self.r), self.x1 - self.r)
        cy = min(max(y, self.y0 + self.r), self.y1 - self.r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= self.r ** 2

    def svg(self):
        return ('<rect x="%g" y="%g" width="%g" height="%g" rx="%g" fill="%s"/>'
                % (self.x0, self.y0, self.x1 - self.x0, self.y1 - self.y0, self.r, hexcolor(self.color)))


class Ring:
    def __init__(self, cx, cy, r_out, r_in, color):
        self.cx, self.cy, self.r_out, self.r_in, self.color = cx, cy, r_out, r_in, color

    def contains(self, x, y):
        d = (x - self.cx) ** 2 + (y - self.cy) ** 2
        return self.r_in ** 2 <= d <= self.r_out ** 2

    def svg(self):
        r = (self.r_out + self.r_in) / 2
        return ('<circle cx="%g" cy="%g" r="%g" fill="none" stroke="%s" stroke-width="%g"/>'
                % (self.cx, self.cy, r, hexcolor(self.color), self.r_out - self.r_in))


class Circle(Ring):
    def __init__(self, cx, cy, r, color):
        super().__init__(cx, cy, r, 0.0, color)

    def svg(self):
        return '<circle cx="%g" cy="%g" r="%g" fill="%s"/>' % (self.cx, self.cy, self.r_out, hexcolor(self.color))


class Polygon:
    """A convex polygon, corners in clockwise order (y grows downwards)."""

    def __init__(self, points, color):
        self.points, self.color = points, color

    def contains(self, x, y):
        n = len(self.points)
        for i in range(n):
            (ax, ay), (bx, by) = self.points[i], self.points[(i + 1) % n]
            if (bx - ax) * (y - ay) - (by - ay) * (x - ax) < 0:
                return False
        return True

    def svg(self):
        pts = " ".join("%g,%g" % p for p in self.points)
        return '<polygon points="%s" fill="%s"/>' % (pts, hexcolor(self.color))


def hexcolor(color):
    return "#%02x%02x%02x" % color[:3]


def rect(x0, y0, x1, y1, color):
    return Polygon([(x0, y0), (x1, y0), (x1, y1), (x0, y1)], color)


def drawing():
    cx, cy = 32.0, 32.0
    shapes = [RoundRect(3, 3, 61, 61, 11, BLUE), Ring(cx, cy, 21, 17.5, WHITE)]
    # Five pins on the upper half circle, as on a DIN socket.
    for degrees in (180, 225, 270, 315, 0):
        a = math.radians(degrees)
        shapes.append(Circle(cx + 11.5 * math.cos(a), cy + 11.5 * math.sin(a), 2.6, WHITE))
    shapes.append(rect(29, 47, 35, 50, WHITE))             # the socket's key notch
    # The update arrow, pointing up out of the socket's lower half.
    shapes.append(Polygon([(32, 25), (41, 36), (23, 36)], ORANGE))
    shapes.append(rect(28.5, 35.5, 35.5, 44, ORANGE))
    return shapes


def write_svg(path, shapes):
    body = "\n  ".join(s.svg() for s in shapes)
    with open(path, "w", encoding="ascii") as f:
        f.write('<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">\n'
                "  %s\n</svg>\n" % body)


def render(shapes, size, samples=4):
    scale = GRID / size
    offsets = [(i + 0.5) / samples for i in range(samples)]
    rows = []
    for py in range(size):
        row = bytearray([0])   # PNG filter byte: none
        for px in range(size):
            acc = [0, 0, 0, 0]
            for oy in offsets:
                for ox in offsets:
                    x, y = (px + ox) * scale, (py + oy) * scale
                    for shape in reversed(shapes):
                        if shape.contains(x, y):
                            c = shape.color
                            acc[0] += c[0] * c[3]
                            acc[1] += c[1] * c[3]
                            acc[2] += c[2] * c[3]
                            acc[3] += c[3]
                            break
            n = samples * samples
            alpha = acc[3] / n
            if alpha == 0:
                row += bytes(4)
            else:
                row += bytes([round(acc[0] / acc[3]), round(acc[1] / acc[3]), round(acc[2] / acc[3]), round(alpha)])
        rows.append(bytes(row))
    return rows


def write_png(path, size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)   # 8-bit RGBA
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", header))
        f.write(chunk(b"IDAT", zlib.compress(b"".join(rows), 9)))
        f.write(chunk(b"IEND", b""))


def write_ico(path, pngs):
    """The Windows icon: the PNG files themselves as its images (size, bytes)."""
    offset = 6 + 16 * len(pngs)
    entries = b""
    for size, data in pngs:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(pngs)) + entries + b"".join(data for _, data in pngs))


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "resources")
    shapes = drawing()
    write_svg(os.path.join(folder, "q9-updater.svg"), shapes)
    pngs = []
    for size in (32, 48, 256):
        path = os.path.join(folder, "q9-updater-%d.png" % size)
        write_png(path, size, render(shapes, size))
        with open(path, "rb") as f:
            pngs.append((size, f.read()))
    write_ico(os.path.join(folder, "q9-updater.ico"), pngs)


if __name__ == "__main__":
    main()
