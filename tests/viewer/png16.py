"""Reads the 16-bit grey PNG files the tool writes (enough PNG for that, with the standard library only)."""

import struct
import zlib


def _unfilter(rows, stride, bpp):
    previous = bytearray(stride)
    out = []
    for kind, row in rows:
        row = bytearray(row)
        for i in range(stride):
            a = row[i - bpp] if i >= bpp else 0
            b = previous[i]
            c = previous[i - bpp] if i >= bpp else 0
            if kind == 1:
                row[i] = (row[i] + a) & 0xFF
            elif kind == 2:
                row[i] = (row[i] + b) & 0xFF
            elif kind == 3:
                row[i] = (row[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                row[i] = (row[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        out.append(row)
        previous = row
    return out


def read_gray16(path):
    """(width, height, rows of big-endian 16-bit samples as bytearrays)."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert (depth, colour) == (16, 0), "not a 16-bit grey PNG"
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * 2
    rows = [(raw[y * (stride + 1)], raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)]) for y in range(height)]
    return width, height, _unfilter(rows, stride, 2)


def gray16_at(path, x, y):
    _, _, rows = read_gray16(path)
    return (rows[y][2 * x] << 8) | rows[y][2 * x + 1]
