#!/usr/bin/env python3
"""Draws the program icon (app/framelet.ico): a framed landscape, 16 colours,
16x16 and 32x32; and the same drawing as a 256x256 PNG (app/framelet.png) for
the native command's desktop entry. Run it again after changing the drawing."""
import struct
import sys
import zlib

# The standard 16-colour palette (blue, green, red, reserved).
PALETTE = [(0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128), (128, 0, 0), (128, 0, 128), (128, 128, 0),
           (192, 192, 192), (128, 128, 128), (0, 0, 255), (0, 255, 0), (0, 255, 255), (255, 0, 0),
           (255, 0, 255), (255, 255, 0), (255, 255, 255)]
BLACK, DARK_GREEN, GREY, GREEN, YELLOW, BLUE, WHITE, DARK_YELLOW = 0, 2, 8, 10, 11, 12, 15, 3


def draw(size):
    """Rows top-down of palette indices."""
    s = size / 32.0
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            fx, fy = (x + 0.5) / s, (y + 0.5) / s
            if fx < 2 or fx > 30 or fy < 4 or fy > 28:
                row.append(None)  # transparent around the frame
            elif fx < 4 or fx > 28 or fy < 6 or fy > 26:
                row.append(DARK_YELLOW if (fx < 3 or fx > 29 or fy < 5 or fy > 27) else YELLOW)
            elif (fx - 21) ** 2 + (fy - 11) ** 2 < 9:
                row.append(YELLOW)
            elif fy > 20 - 5 * ((fx - 4) / 24.0) ** 2 + 3 * (fx > 16) * ((fx - 16) / 12.0):
                row.append(GREEN if fy < 23 else DARK_GREEN)
            else:
                row.append(BLUE if fy < 14 else WHITE if fy < 15 else BLUE)
        rows.append(row)
    return rows


def image(size):
    rows = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, 2 * size, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (b, g, r) in PALETTE)
    pixels = b''
    mask = b''
    for row in reversed(rows):  # bottom-up
        packed = bytearray()
        for x in range(0, size, 2):
            hi = row[x] or 0
            lo = row[x + 1] or 0
            packed.append(hi << 4 | lo)
        pixels += bytes(packed) + b'\0' * (-len(packed) % 4)
        bits = bytearray((size + 7) // 8)
        for x, v in enumerate(row):
            if v is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits) + b'\0' * (-len(bits) % 4)
    return header + palette + pixels + mask


def png(size, samples=4):
    """The drawing at size x size, RGBA, each pixel the average of samples^2
    points so the edges are smooth."""
    fine = draw(size * samples)
    raw = bytearray()
    for y in range(size):
        raw.append(0)  # filter type None
        for x in range(size):
            r = g = b = a = 0
            for v in range(samples):
                for u in range(samples):
                    index = fine[y * samples + v][x * samples + u]
                    if index is None:
                        continue
                    pb, pg, pr = PALETTE[index]
                    r, g, b, a = r + pr, g + pg, b + pb, a + 1
            n = samples * samples
            raw += bytes((r // a, g // a, b // a, 255 * a // n) if a else (0, 0, 0, 0))

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(bytes(raw), 9)) +
            chunk(b'IEND', b''))


def main(path, png_path):
    images = [image(16), image(32)]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((16, 32), images):
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    with open(path, 'wb') as f:
        f.write(out + b''.join(images))
    with open(png_path, 'wb') as f:
        f.write(png(256))


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'app/framelet.ico',
         sys.argv[2] if len(sys.argv) > 2 else 'app/framelet.png')
