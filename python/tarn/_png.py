"""A small PNG writer for depth images, so that saving one needs nothing beyond NumPy."""

import struct
import zlib

import numpy as np

_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_BIT_DEPTH = 8
_COLOUR_GREY = 0
_FILTER_NONE = b"\x00"
_BRIGHTEST = 255
_DIMMEST_MEASURED = 32  # the farthest point stays visible against cells without distance


def _chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def write_grey(path, image):
    """Writes a 2-D uint8 array as a greyscale PNG."""
    image = np.ascontiguousarray(image, dtype=np.uint8)
    height, width = image.shape
    header = struct.pack(">IIBBBBB", width, height, _BIT_DEPTH, _COLOUR_GREY, 0, 0, 0)
    rows = b"".join(_FILTER_NONE + image[row].tobytes() for row in range(height))
    with open(path, "wb") as file:
        file.write(_SIGNATURE)
        file.write(_chunk(b"IHDR", header))
        file.write(_chunk(b"IDAT", zlib.compress(rows)))
        file.write(_chunk(b"IEND", b""))


def write_depth(path, distance):
    """Writes distances as greyscale: the nearest measured point brightest, the farthest dim,
    cells without a distance black."""
    distance = np.asarray(distance, dtype=np.float64)
    measured = distance > 0
    image = np.zeros(distance.shape, np.uint8)
    if measured.any():
        near, far = distance[measured].min(), distance[measured].max()
        span = max(far - near, 1.0)
        scaled = _BRIGHTEST - (distance - near) / span * (_BRIGHTEST - _DIMMEST_MEASURED)
        image[measured] = np.round(scaled[measured]).astype(np.uint8)
    write_grey(path, image)
