#!/usr/bin/env python3
"""Draws the player's icons and logo as PNG files, with no image taken from anywhere.

Usage: draw_icons.py OUT_DIR

Every picture is described by a few shapes (circles, polygons, rectangles) in a unit square and
rendered with 4x4 supersampling, so the edges are smooth. Only the standard library is used.
"""
import math
import os
import struct
import sys
import zlib

SS = 4  # samples per pixel along each axis


def png_bytes(w, h, rgba):
    def chunk(tag, data):
        c = struct.pack(">I", len(data)) + tag + data
        return c + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(rgba[y * w * 4:(y + 1) * w * 4]) for y in range(h))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_out, r_in):
    return lambda x, y: r_in * r_in <= (x - cx) ** 2 + (y - cy) ** 2 <= r_out * r_out


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def polygon(points):
    def inside(x, y):
        hit = False
        j = len(points) - 1
        for i, (xi, yi) in enumerate(points):
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                hit = not hit
            j = i
        return hit
    return inside


def arc(cx, cy, r_out, r_in, a0, a1):
    """A ring sector between angles a0 and a1 (degrees, 0 to the right, counter-clockwise)."""
    def inside(x, y):
        d2 = (x - cx) ** 2 + (y - cy) ** 2
        if not r_in * r_in <= d2 <= r_out * r_out:
            return False
        a = math.degrees(math.atan2(cy - y, x - cx)) % 360
        return a0 <= a <= a1
    return inside


def render(size, shapes):
    """shapes: list of (test, (r, g, b, a)); later shapes paint over earlier ones."""
    out = bytearray(size * size * 4)
    n = SS * SS
    for py in range(size):
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SS):
                for sx in range(SS):
                    x = (px + (sx + 0.5) / SS) / size
                    y = (py + (sy + 0.5) / SS) / size
                    col = None
                    for test, c in shapes:
                        if test(x, y):
                            col = c
                    if col:
                        a = col[3] / 255.0
                        acc[0] += col[0] * a
                        acc[1] += col[1] * a
                        acc[2] += col[2] * a
                        acc[3] += a
            i = (py * size + px) * 4
            if acc[3] > 0:
                out[i:i + 3] = bytes(int(round(c / acc[3])) for c in acc[:3])
                out[i + 3] = int(round(255 * acc[3] / n))
    return out


WHITE = (235, 235, 235, 255)
GREY = (120, 120, 120, 255)
RED = (220, 30, 30, 255)
DARK_RED = (110, 20, 20, 255)
GREEN = (40, 200, 70, 255)
BLUE = (40, 140, 230, 255)

PLAY = polygon([(0.28, 0.18), (0.82, 0.5), (0.28, 0.82)])


def wave(level):
    """Re-streaming sign: a dot with `level` arcs (0 to 3) spreading to the right."""
    shapes = [(circle(0.22, 0.5, 0.1), WHITE)]
    for k in range(level):
        r = 0.28 + 0.18 * k
        shapes.append((arc(0.22, 0.5, r, r - 0.08, -50 % 360, 360), GREEN))
        shapes.append((arc(0.22, 0.5, r, r - 0.08, 0, 50), GREEN))
    return shapes


ICONS = {
    "record.png": [(circle(0.5, 0.5, 0.34), DARK_RED), (ring(0.5, 0.5, 0.36, 0.3), GREY)],
    "record2.png": [(circle(0.5, 0.5, 0.34), RED), (ring(0.5, 0.5, 0.36, 0.3), WHITE)],
    "play.png": [(PLAY, WHITE)],
    "pause.png": [(rect(0.24, 0.2, 0.42, 0.8), WHITE), (rect(0.58, 0.2, 0.76, 0.8), WHITE)],
    "stop.png": [(rect(0.22, 0.22, 0.78, 0.78), WHITE)],
    "stream.png": wave(3),
    "stream1.png": wave(0),
    "stream2.png": wave(1),
    "stream3.png": wave(2),
    "volume.png": [(polygon([(0.12, 0.38), (0.3, 0.38), (0.52, 0.18), (0.52, 0.82),
                             (0.3, 0.62), (0.12, 0.62)]), WHITE),
                   (arc(0.5, 0.5, 0.3, 0.23, 0, 50), WHITE),
                   (arc(0.5, 0.5, 0.3, 0.23, 310, 360), WHITE),
                   (arc(0.5, 0.5, 0.44, 0.37, 0, 50), WHITE),
                   (arc(0.5, 0.5, 0.44, 0.37, 310, 360), WHITE)],
    "mute.png": [(polygon([(0.12, 0.38), (0.3, 0.38), (0.52, 0.18), (0.52, 0.82),
                           (0.3, 0.62), (0.12, 0.62)]), GREY),
                 (polygon([(0.6, 0.32), (0.66, 0.32), (0.9, 0.68), (0.84, 0.68)]), RED),
                 (polygon([(0.84, 0.32), (0.9, 0.32), (0.66, 0.68), (0.6, 0.68)]), RED)],
    "pin.png": [(circle(0.5, 0.35, 0.2), BLUE), (rect(0.46, 0.5, 0.54, 0.9), WHITE)],
    "unpin.png": [(ring(0.5, 0.35, 0.2, 0.13), BLUE), (rect(0.46, 0.55, 0.54, 0.9), GREY)],
    "in.png": [(polygon([(0.2, 0.35), (0.8, 0.35), (0.5, 0.7)]), WHITE)],
    "out.png": [(polygon([(0.2, 0.7), (0.8, 0.7), (0.5, 0.35)]), WHITE)],
}


def logo():
    """The program's logo: a blue lens ring with a play sign and a red recording dot."""
    return [(circle(0.5, 0.5, 0.46), (20, 30, 45, 255)),
            (ring(0.5, 0.5, 0.46, 0.38), BLUE),
            (polygon([(0.4, 0.3), (0.72, 0.5), (0.4, 0.7)]), WHITE),
            (circle(0.76, 0.24, 0.09), RED)]


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    pictures = [(name, 32, shapes) for name, shapes in ICONS.items()]
    pictures.append(("tavelo_player_loggo.png", 80, logo()))
    for name, size, shapes in pictures:
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(png_bytes(size, size, render(size, shapes)))


if __name__ == "__main__":
    main()
