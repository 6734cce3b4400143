"""Reads the pixels of a PNG file that a browser wrote: 8-bit RGB or RGBA,
not interlaced, with zlib alone."""
import struct
import zlib


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


class Png:
    def __init__(self, data):
        if data[:8] != b"\x89PNG\r\n\x1a\n":
            raise ValueError("not a PNG file")
        at, chunks = 8, []
        while at < len(data):
            length, kind = struct.unpack(">I4s", data[at:at + 8])
            chunks.append((kind, data[at + 8:at + 8 + length]))
            at += 12 + length
        header = dict(chunks)[b"IHDR"]
        self.width, self.height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", header)
        if depth != 8 or colour not in (2, 6) or interlace:
            raise ValueError(f"unsupported PNG: depth {depth}, colour type {colour}, interlace {interlace}")
        self.channels = 3 if colour == 2 else 4
        raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
        stride = self.width * self.channels
        rows, previous = [], bytearray(stride)
        for y in range(self.height):
            start = y * (stride + 1)
            kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
            n = self.channels
            for i in range(stride):
                left = line[i - n] if i >= n else 0
                up, corner = previous[i], previous[i - n] if i >= n else 0
                if kind == 1:
                    line[i] = (line[i] + left) & 0xFF
                elif kind == 2:
                    line[i] = (line[i] + up) & 0xFF
                elif kind == 3:
                    line[i] = (line[i] + (left + up) // 2) & 0xFF
                elif kind == 4:
                    line[i] = (line[i] + _paeth(left, up, corner)) & 0xFF
            rows.append(bytes(line))
            previous = line
        self.rows = rows

    def pixel(self, x, y):
        """(r, g, b) at column x, row y."""
        at = x * self.channels
        return tuple(self.rows[y][at:at + 3])


def read_png(path):
    with open(path, "rb") as f:
        return Png(f.read())
