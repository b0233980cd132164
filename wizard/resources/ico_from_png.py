#!/usr/bin/env python3
# Makes the Windows icon file of the program from its 256-colour PNG icon:
# one image of the PNG's size, 8 bits per pixel with the PNG's palette, and an
# AND mask from its transparency (a pixel less than half opaque is
# transparent). The Windows build embeds the result as icon resource 128.
#
# Usage: ico_from_png.py ICON.png ICON.ico

# SPDX-License-Identifier: MIT
import struct
import sys
import zlib


def read_palette_png(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit(f"{path}: not a PNG file")
    chunks, offset = {}, 8
    while offset < len(data):
        length, kind = struct.unpack(">I4s", data[offset : offset + 8])
        chunks.setdefault(kind, []).append(data[offset + 8 : offset + 8 + length])
        offset += 12 + length
    width, height, depth, colour_type, _, _, interlace = struct.unpack(">IIBBBBB", chunks[b"IHDR"][0])
    if colour_type != 3 or interlace != 0 or depth not in (1, 2, 4, 8):
        sys.exit(f"{path}: not a non-interlaced palette PNG (colour type {colour_type}, depth {depth})")
    plte = chunks[b"PLTE"][0]
    palette = [tuple(plte[i : i + 3]) for i in range(0, len(plte), 3)]
    alpha = list(chunks.get(b"tRNS", [b""])[0])
    alpha += [255] * (len(palette) - len(alpha))
    raw = zlib.decompress(b"".join(chunks[b"IDAT"]))
    stride = (width * depth + 7) // 8
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1 : (y + 1) * (stride + 1)])
        for x in range(stride):
            left = line[x - 1] if x else 0
            up, corner = previous[x], previous[x - 1] if x else 0
            if kind == 1:
                line[x] = (line[x] + left) & 255
            elif kind == 2:
                line[x] = (line[x] + up) & 255
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[x] = (line[x] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        per_byte = 8 // depth
        rows.append([(line[x // per_byte] >> (8 - depth * (x % per_byte + 1))) & ((1 << depth) - 1) for x in range(width)])
        previous = line
    return width, height, palette, alpha, rows


def write_ico(path, width, height, palette, alpha, rows):
    # A transparent pixel is AND 1 over XOR 0: its colour must be black.
    palette = list(palette)
    if (0, 0, 0) not in palette:
        if len(palette) == 256:
            sys.exit("the palette has no room for the black of transparent pixels")
        palette.append((0, 0, 0))
    black = palette.index((0, 0, 0))
    palette += [(0, 0, 0)] * (256 - len(palette))
    colour_rows, mask_rows = [], []
    mask_stride = ((width + 31) // 32) * 4
    for row in reversed(rows):  # bottom-up
        transparent = [alpha[index] < 128 for index in row]
        pixels = bytes(black if clear else index for index, clear in zip(row, transparent))
        colour_rows.append(pixels + bytes((-width) % 4))
        mask = bytearray(mask_stride)
        for x, clear in enumerate(transparent):
            if clear:
                mask[x // 8] |= 0x80 >> (x % 8)
        mask_rows.append(bytes(mask))
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 8, 0, 0, 0, 0, 256, 0)
    image = header + b"".join(bytes((b, g, r, 0)) for r, g, b in palette) + b"".join(colour_rows) + b"".join(mask_rows)
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack(
        "<BBBBHHII", width % 256, height % 256, 0, 0, 1, 8, len(image), 6 + 16
    )
    open(path, "wb").write(directory + image)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: ico_from_png.py ICON.png ICON.ico")
    write_ico(sys.argv[2], *read_palette_png(sys.argv[1]))
