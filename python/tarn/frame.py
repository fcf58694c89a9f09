"""Frames as NumPy arrays, and IMU samples."""

import dataclasses

import numpy as np

from tarn import _png, _tarn

ROWS = _tarn.ROWS
COLUMNS = _tarn.COLUMNS
GRID_SHAPE = (ROWS, COLUMNS)
#: The dtype of one cell, field by field the 40 bytes of KESOPointData (and tarn_point).
POINT_DTYPE = _tarn.POINT_DTYPE
_AXES = 3


@dataclasses.dataclass(frozen=True)
class FrameInfo:
    """What is known of one decoded frame (tarn_frame_info)."""

    sequence: int  # 1 for the stream's first decoded frame, then one more per frame
    datagrams: int  # point datagrams in the frame
    cells_written: int  # distinct cells its datagrams wrote, 0 to 54,000
    complete: bool  # every cell was written
    merged: bool  # the first datagram was lost; it holds the previous frame's datagrams too
    pixel_type: int  # of its last datagram: 0, 1 or 2
    mixed_pixel_types: bool
    first_timestamp: int  # header timestamp of its first datagram
    last_timestamp: int
    receive_monotonic_ns: int  # host receive time of its last datagram, CLOCK_MONOTONIC
    receive_realtime_ns: int  # the same instant, CLOCK_REALTIME
    redelivered: bool = False  # the previous frame again: its last datagram came twice


@dataclasses.dataclass(frozen=True)
class ImuSample:
    """One inertial sample. ``timestamp`` is the sensor's timestamp divided by 1,000,000; the
    other bytes are the sensor's own, passed on unchanged."""

    timestamp: int
    sample_flag: int
    header: bytes
    reserved: bytes
    sample: bytes


def new_grid():
    """An uninitialised grid for the library to fill."""
    return np.empty(GRID_SHAPE, POINT_DTYPE)


class Frame:
    """One frame: ``points`` owns the frame's only copy of the grid, written once by the library;
    ``xyz``, ``distance`` and ``intensity`` are views into it (writing them changes ``points``).
    """

    __slots__ = ("points", "info")

    def __init__(self, points, info):
        self.points = points
        self.info = info

    @property
    def xyz(self):
        """(150, 360, 3) float32 view of x, y and z, which lie side by side in every cell."""
        return np.ndarray(
            (ROWS, COLUMNS, _AXES),
            dtype=np.float32,
            buffer=self.points,
            offset=POINT_DTYPE.fields["x"][1],
            strides=(self.points.strides[0], self.points.strides[1], np.dtype(np.float32).itemsize),
        )

    @property
    def distance(self):
        """(150, 360) float32 view of the raw distances (0 where a pixel carries none)."""
        return self.points["distance"]

    @property
    def intensity(self):
        """(150, 360) uint32 view of the intensities, 0 to 255."""
        return self.points["intensity"]

    def save_depth_png(self, path):
        """Writes the depth picture that the tarn command saves as frame-N-depth.png: RGB, one
        pixel per cell, yellow (bright) at the nearest cell through green and blue to dark violet
        at the farthest, black where there is no measurement; its legend, with both depths, is the
        PNG's "Description" text. A cell's depth is its distance, or its range from x, y, z where
        the pixels carry no distance."""
        _png.write_depth(path, _png.depth_of(self.distance, self.xyz))

    def save_depth16_png(self, path):
        """Writes the 16-bit greyscale depth image that the tarn command saves as
        frame-N-depth16.png, to measure from: each cell's depth in the sensor's distance unit,
        rounded (the distance exactly as the datagram carries it), 0 where there is none."""
        _png.write_depth16(path, _png.depth_of(self.distance, self.xyz))

    def __repr__(self):
        return f"<tarn.Frame sequence={self.info.sequence} cells_written={self.info.cells_written}>"
