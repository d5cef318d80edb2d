#!/usr/bin/env python3
"""Draws the setup wizard's artwork: the three 118 x 258 page pictures and the
sample splash picture (8-bit Windows bitmaps) and the program icon (32 x 32 and
16 x 16). Everything is computed here; no image library is needed.

usage: make_art.py OUTPUT_FOLDER
"""
import math
import os
import struct
import sys

# A hovering kestrel seen from below, wings spread; x to the right, y down,
# roughly -1..1 across the wings.
BIRD = [(0.0, -0.34), (0.07, -0.28), (0.09, -0.14), (0.35, -0.24), (0.62, -0.30), (0.98, -0.22),
        (0.70, -0.10), (0.45, 0.02), (0.12, 0.06), (0.10, 0.18), (0.20, 0.52), (0.0, 0.58),
        (-0.20, 0.52), (-0.10, 0.18), (-0.12, 0.06), (-0.45, 0.02), (-0.70, -0.10),
        (-0.98, -0.22), (-0.62, -0.30), (-0.35, -0.24), (-0.09, -0.14), (-0.07, -0.28)]

GLYPHS = {  # 5 x 7
    'K': ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    'E': ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    'S': ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    'T': ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    'R': ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    'L': ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    '1': ["00100", "01100", "00100", "00100", "00100", "00100", "01110"],
}

SCENES = {
    'dawn': ((18, 32, 92), (236, 150, 84), (255, 228, 150), (40, 52, 70), (28, 36, 50)),
    'day': ((40, 104, 190), (168, 210, 240), (255, 250, 210), (62, 110, 70), (44, 84, 52)),
    'dusk': ((44, 20, 70), (200, 90, 110), (255, 200, 140), (52, 34, 62), (34, 22, 44)),
}
BIRD_COLOUR = (22, 20, 26)


def inside(polygon, x, y):
    hit = False
    j = len(polygon) - 1
    for i in range(len(polygon)):
        xi, yi = polygon[i]
        xj, yj = polygon[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            hit = not hit
        j = i
    return hit


def mix(a, b, t):
    return tuple(int(round(a[k] + (b[k] - a[k]) * t)) for k in range(3))


def scene(width, height, name, bird_centre, bird_span, text=None):
    top, horizon, sun, hill_far, hill_near = SCENES[name]
    pixels = []
    sun_x, sun_y, sun_r = width * 0.70, height * 0.62, min(width, height) * 0.16
    for y in range(height):
        row = []
        t = min(1.0, y / (height * 0.78))
        sky = mix(top, horizon, round(t * 40) / 40)
        for x in range(width):
            colour = sky
            if math.hypot(x - sun_x, y - sun_y) < sun_r:
                colour = sun
            far = height * (0.80 + 0.05 * math.sin(x / width * 5.0 + 1.0))
            near = height * (0.88 + 0.04 * math.sin(x / width * 3.0 + 2.5))
            if y > far:
                colour = hill_far
            if y > near:
                colour = hill_near
            bx = (x - bird_centre[0]) / bird_span
            by = (y - bird_centre[1]) / bird_span
            if inside(BIRD, bx, by):
                colour = BIRD_COLOUR
            row.append(colour)
        pixels.append(row)
    if text:
        draw_text(pixels, text, width, height)
    return pixels


def draw_text(pixels, text, width, height):
    scale = max(2, width // 80)
    text_width = len(text) * 6 * scale - scale
    x0, y0 = (width - text_width) // 2, height // 10
    for n, letter in enumerate(text):
        for gy, line in enumerate(GLYPHS[letter]):
            for gx, bit in enumerate(line):
                if bit != '1':
                    continue
                for dy in range(scale):
                    for dx in range(scale):
                        x, y = x0 + (n * 6 + gx) * scale + dx, y0 + gy * scale + dy
                        if 0 <= x < width and 0 <= y < height:
                            pixels[y][x] = (255, 255, 255)
                            if y + scale < height and x + scale < width and pixels[y + scale][x + scale] != (255, 255, 255):
                                pixels[y + scale][x + scale] = (20, 20, 30)


def write_bmp8(path, pixels):
    height, width = len(pixels), len(pixels[0])
    palette = sorted({c for row in pixels for c in row})
    if len(palette) > 256:
        raise SystemExit("%s: %d colours do not fit an 8-bit picture" % (path, len(palette)))
    index = {c: i for i, c in enumerate(palette)}
    stride = (width + 3) & ~3
    table = b''.join(struct.pack('<BBBB', c[2], c[1], c[0], 0) for c in palette)
    table += b'\0' * (1024 - len(table))
    rows = b''.join(bytes(index[c] for c in pixels[y]) + b'\0' * (stride - width)
                    for y in range(height - 1, -1, -1))
    offset = 14 + 40 + len(table)
    header = struct.pack('<2sIHHI', b'BM', offset + len(rows), 0, 0, offset)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 8, 0, len(rows), 2835, 2835, 256, 0)
    with open(path, 'wb') as f:
        f.write(header + info + table + rows)


def icon_image(size):
    pixels, mask = [], []
    r = size * 0.22
    for y in range(size):
        row, mrow = [], []
        for x in range(size):
            cx = min(max(x + 0.5, r), size - r)
            cy = min(max(y + 0.5, r), size - r)
            opaque = math.hypot(x + 0.5 - cx, y + 0.5 - cy) <= r
            colour = mix((236, 150, 84), (40, 70, 150), y / size)
            if inside(BIRD, (x + 0.5 - size / 2) / (size * 0.47), (y + 0.5 - size * 0.45) / (size * 0.47)):
                colour = BIRD_COLOUR
            row.append(colour + (255 if opaque else 0,))
            mrow.append(0 if opaque else 1)
        pixels.append(row)
        mask.append(mrow)
    xor = b''.join(bytes((c[2], c[1], c[0], c[3])) for y in range(size - 1, -1, -1) for c in pixels[y])
    mask_stride = ((size + 31) // 32) * 4
    and_mask = b''
    for y in range(size - 1, -1, -1):
        bits = 0
        for x in range(size):
            bits = (bits << 1) | mask[y][x]
        and_mask += (bits << (mask_stride * 8 - size)).to_bytes(mask_stride, 'big')
    info = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    return info + xor + and_mask


def write_icon(path, sizes):
    images = [icon_image(s) for s in sizes]
    data = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, image in zip(sizes, images):
        data += struct.pack('<BBBBHHII', s, s, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(path, 'wb') as f:
        f.write(data + b''.join(images))


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, look in (('welcome', 'dawn'), ('user', 'day'), ('complete', 'dusk')):
        write_bmp8(os.path.join(out, name + '.bmp'), scene(118, 258, look, (56, 96), 52))
    write_bmp8(os.path.join(out, 'setup.bmp'), scene(400, 240, 'dawn', (150, 130), 80, 'KESTREL1'))
    write_icon(os.path.join(out, 'setup.ico'), (32, 16))


if __name__ == '__main__':
    main()
