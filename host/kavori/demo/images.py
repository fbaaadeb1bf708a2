"""Just enough image handling for the demo: writing RGB PNGs and reading the size of PNG and
JPEG files from their headers."""

from __future__ import annotations

import struct
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

type Color = tuple[int, int, int]


def _chunk(kind: bytes, payload: bytes) -> bytes:
    return (struct.pack(">I", len(payload)) + kind + payload
            + struct.pack(">I", zlib.crc32(kind + payload) & 0xFFFFFFFF))


def encode_png(width: int, height: int, rows: list[bytes]) -> bytes:
    """Encodes `height` rows of `width` RGB pixels (3 bytes each) as a PNG."""
    if len(rows) != height or any(len(row) != 3 * width for row in rows):
        raise ValueError("rows do not match the size")
    raw = b"".join(b"\x00" + row for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (PNG_SIGNATURE + _chunk(b"IHDR", header) + _chunk(b"IDAT", zlib.compress(raw, 6))
            + _chunk(b"IEND", b""))


class Canvas:
    """An RGB pixel grid with filled rectangles."""

    def __init__(self, width: int, height: int, background: Color = (255, 255, 255)):
        self.width, self.height = width, height
        self.rows = [bytearray(bytes(background) * width) for _ in range(height)]

    def rect(self, x: int, y: int, w: int, h: int, color: Color) -> None:
        x0, x1 = max(0, x), min(self.width, x + w)
        if x0 >= x1:
            return
        span = bytes(color) * (x1 - x0)
        for row in self.rows[max(0, y):min(self.height, y + h)]:
            row[3 * x0:3 * x1] = span

    def png(self) -> bytes:
        return encode_png(self.width, self.height, [bytes(row) for row in self.rows])


def image_size(data: bytes) -> tuple[int, int] | None:
    """(width, height) of a PNG or JPEG image, or None when the header is not recognised."""
    if data.startswith(PNG_SIGNATURE) and len(data) >= 24 and data[12:16] == b"IHDR":
        return struct.unpack(">II", data[16:24])
    if data.startswith(b"\xff\xd8"):
        return _jpeg_size(data)
    return None


def _jpeg_size(data: bytes) -> tuple[int, int] | None:
    index = 2
    while index + 9 < len(data):
        if data[index] != 0xFF:
            return None
        marker = data[index + 1]
        if marker in (0xD8, 0x01) or 0xD0 <= marker <= 0xD7:
            index += 2
            continue
        (length,) = struct.unpack(">H", data[index + 2:index + 4])
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            height, width = struct.unpack(">HH", data[index + 5:index + 9])
            return width, height
        index += 2 + length
    return None
