"""The frame pictures as PNGs, with nothing beyond NumPy: the colour map, the convention and the
legends of the tarn command's pictures, so that both draw the same frame the same way."""

import struct
import zlib

import numpy as np

_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_COLOUR_GREY = 0
_COLOUR_RGB = 2
_FILTER_NONE = b"\x00"
_MAX_DEPTH16 = 65535.0
_LEGEND_KEY = b"Description"
_GRID_TEXT = "; 360 columns x 150 rows, row 0 at the top"

# Nine evenly spaced anchors of the viridis map, from dark violet (0) through blue and green to
# yellow (1); colours between them are interpolated. Bright means near.
_ANCHORS = np.array([(68, 1, 84), (71, 44, 122), (59, 81, 139), (44, 113, 142), (33, 144, 141),
                     (39, 173, 129), (92, 200, 99), (170, 220, 50), (253, 231, 37)], np.float64)
_STEPS = len(_ANCHORS) - 1


def colour_at(t):
    """The colours at t (an array; clamped to 0 to 1, not finite as 0), as uint8 RGB."""
    t = np.asarray(t, np.float64)
    position = np.clip(np.where(np.isfinite(t), t, 0.0), 0.0, 1.0) * _STEPS
    low = np.minimum(position.astype(np.int64), _STEPS - 1)
    share = (position - low)[..., np.newaxis]
    low_colour, high_colour = _ANCHORS[low], _ANCHORS[low + 1]
    # Rounds halves up, as the tool's lround does for these non-negative values.
    return np.floor(low_colour + (high_colour - low_colour) * share + 0.5).astype(np.uint8)


def depth_of(distance, xyz):
    """Each cell's depth: its distance, or its range from x, y, z where it carries no distance;
    0 where it holds no measurement."""
    distance = np.asarray(distance, np.float64)
    xyz = np.asarray(xyz, np.float64)
    x, y, z = xyz[..., 0], xyz[..., 1], xyz[..., 2]
    return np.where(distance > 0, distance, np.sqrt(x * x + y * y + z * z))


def _chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def _write(path, samples, bit_depth, colour_type, legend):
    """samples: (rows, columns[, 3]) in the PNG's sample type, big-endian for 16 bits."""
    height, width = samples.shape[:2]
    header = struct.pack(">IIBBBBB", width, height, bit_depth, colour_type, 0, 0, 0)
    rows = b"".join(_FILTER_NONE + samples[row].tobytes() for row in range(height))
    with open(path, "wb") as file:
        file.write(_SIGNATURE)
        file.write(_chunk(b"IHDR", header))
        file.write(_chunk(b"tEXt", _LEGEND_KEY + b"\0" + (legend + _GRID_TEXT).encode("latin-1")))
        file.write(_chunk(b"IDAT", zlib.compress(rows)))
        file.write(_chunk(b"IEND", b""))


def write_depth(path, depth):
    """The depth picture: RGB, yellow at the nearest cell through green and blue to dark violet at
    the farthest, black where there is no measurement; the legend names both depths."""
    depth = np.asarray(depth, np.float64)
    measured = depth > 0
    image = np.zeros(depth.shape + (3,), np.uint8)
    if measured.any():
        near, far = depth[measured].min(), depth[measured].max()
        span = far - near if far > near else 1.0
        image[measured] = colour_at((far - depth[measured]) / span)
        legend = (f"Depth: yellow nearest ({near:.0f}), through green and blue, to dark violet "
                  f"farthest ({far:.0f}) in the sensor's distance unit; black: no measurement")
    else:
        legend = "Depth: no cell holds a measurement (black)"
    _write(path, image, 8, _COLOUR_RGB, legend)


def write_depth16(path, depth):
    """The depth as 16-bit greyscale, rounded to a whole unit, at most 65535, 0 for none."""
    depth = np.asarray(depth, np.float64)
    rounded = np.floor(np.minimum(np.where(depth > 0, depth, 0.0), _MAX_DEPTH16) + 0.5)
    legend = ("Depth: 16-bit, each cell's distance in the sensor's distance unit, as the datagram "
              "carries it (where the pixels carry no distance, the range of x, y, z in their unit, "
              "rounded); 0: no measurement")
    _write(path, rounded.astype(">u2"), 16, _COLOUR_GREY, legend)
