"""A small PNG reader (8-bit, non-interlaced) for the tests and the benchmark:
the converters' Python needs nothing beyond torch and numpy."""
import struct
import zlib

import numpy as np

from . import ModelError

SIGNATURE = b"\x89PNG\r\n\x1a\n"
CHANNELS = {0: 1, 2: 3, 4: 2, 6: 4}


def _unfilter(raw: bytes, height: int, stride: int, bpp: int) -> np.ndarray:
    out = bytearray(height * stride)
    previous = bytearray(stride)
    position = 0
    for y in range(height):
        kind = raw[position]
        line = bytearray(raw[position + 1:position + 1 + stride])
        position += stride + 1
        if len(line) != stride:
            raise ModelError(f"PNG data ends in row {y}")
        if kind == 1:
            for x in range(bpp, stride):
                line[x] = (line[x] + line[x - bpp]) & 255
        elif kind == 2:
            line = bytearray((a + b) & 255 for a, b in zip(line, previous))
        elif kind == 3:
            for x in range(stride):
                left = line[x - bpp] if x >= bpp else 0
                line[x] = (line[x] + ((left + previous[x]) >> 1)) & 255
        elif kind == 4:
            for x in range(stride):
                left = line[x - bpp] if x >= bpp else 0
                up = previous[x]
                corner = previous[x - bpp] if x >= bpp else 0
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[x] = (line[x] + (left if pa <= pb and pa <= pc else (up if pb <= pc else corner))) & 255
        elif kind != 0:
            raise ModelError(f"PNG row {y} has unknown filter {kind}")
        out[y * stride:(y + 1) * stride] = line
        previous = line
    return np.frombuffer(bytes(out), dtype=np.uint8).reshape(height, stride)


def read_png(path: str) -> np.ndarray:
    """[h, w, 3] float32 0..1 RGB (grey is repeated; alpha is dropped)."""
    with open(path, "rb") as f:
        data = f.read()
    if not data.startswith(SIGNATURE):
        raise ModelError(f"{path} is not a PNG file")
    position, header, idat = 8, None, b""
    while position + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + length]
        position += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    if header is None:
        raise ModelError(f"{path}: no PNG header")
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in CHANNELS or interlace:
        raise ModelError(f"{path}: only 8-bit non-interlaced grey/RGB(A) PNG is supported")
    channels = CHANNELS[colour]
    rows = _unfilter(zlib.decompress(idat), height, width * channels, channels)
    picture = rows.reshape(height, width, channels)[:, :, :3 if channels >= 3 else 1]
    if picture.shape[2] == 1:
        picture = np.repeat(picture, 3, axis=2)
    return picture.astype(np.float32) / 255.0
