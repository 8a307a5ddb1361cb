"""X window dumps (xwd's format, TrueColor at 24 or 32 bits a pixel) read into RGB rows, and RGB
rows written as PNG, so that the window tests can look at pixels and keep screenshots without
any imaging package."""
import struct
import zlib

HEADER = struct.Struct(">25I")


def read(data):
    """(width, height, rows): rows[y][x] = (r, g, b)."""
    (header_size, _version, _format, _depth, width, height, _xoffset, byte_order, _unit,
     _bit_order, _pad, bits_per_pixel, bytes_per_line, _visual, red_mask, green_mask, blue_mask,
     _bits_per_rgb, _entries, ncolors, *_rest) = HEADER.unpack_from(data)
    if bits_per_pixel not in (24, 32):
        raise ValueError(f"{bits_per_pixel} bits a pixel: not a TrueColor dump")
    at = header_size + 12 * ncolors
    step = bits_per_pixel // 8
    order = "little" if byte_order == 0 else "big"

    def channel(value, mask):
        shift = (mask & -mask).bit_length() - 1
        return (value & mask) >> shift

    rows = []
    for y in range(height):
        line = data[at + y * bytes_per_line: at + y * bytes_per_line + width * step]
        row = []
        for x in range(width):
            value = int.from_bytes(line[x * step:(x + 1) * step], order)
            row.append((channel(value, red_mask), channel(value, green_mask),
                        channel(value, blue_mask)))
        rows.append(row)
    return width, height, rows


def png(width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + bytes(c for pixel in row for c in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))
