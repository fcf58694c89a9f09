"""Rotating frames in place, and measuring the tilt of a plane seen in them."""

from __future__ import annotations

from typing import Dict, Tuple, TypeVar, Union

import numpy as np

from tarn import _log, _tarn
from tarn.frame import Frame

# A Frame, or the points array of one.
Points = TypeVar("Points", Frame, np.ndarray)

# Settings that take in the simulated wall (y within 1000, z within 400, x from 1000 to 3000),
# the README's example.
_DEFAULT_ANGLE_PARAMS: Dict[str, float] = {
    "x_lower": -1000, "x_upper": 1000, "y_lower": -400, "y_upper": 400,
    "window_width": 200, "window_step": 10, "bin_width": 50, "z_upper": 3000, "z_lower": 1000,
    "min_fit_points": 100, "angle_tolerance": 5.0, "extend_angle": 60.0, "reset_angle": 0.0,
}


def _points_of(frame_or_points: Union[Frame, np.ndarray]) -> np.ndarray:
    return frame_or_points.points if isinstance(frame_or_points, Frame) else frame_or_points


def rotate(points: Points, angle_x: float = 0.0, angle_y: float = 0.0, angle_z: float = 0.0,
           offset_x: float = 0.0, offset_y: float = 0.0, offset_z: float = 0.0) -> Points:
    """Rotates and translates x, y, z of every cell in place, uncopied (KESORotateInfo: about x
    by -angle_x, then y by angle_y, then z by angle_z, in degrees, then the offsets).

    points is a Frame or its ``points``: a writable, C-contiguous (150, 360) array of
    tarn.POINT_DTYPE; anything else raises TypeError or ValueError. Returns points."""
    _tarn.rotate(_points_of(points), angle_x, angle_y, angle_z, offset_x, offset_y, offset_z)
    return points


class PlaneAngle:
    """The plane angle measurement, configured by KESOAngleMeasureParam's fields in snake case
    (x_lower, x_upper, y_lower, y_upper, window_width, window_step, bin_width, z_upper, z_lower,
    min_fit_points, angle_tolerance, extend_angle, reset_angle); unnamed ones keep the values
    that suit the simulated wall.

    The library keeps one measurement per process: while one PlaneAngle is live (not closed),
    making another raises tarn.AngleInUseError.
    """

    @_log.forwarding
    def __init__(self, **params: float) -> None:
        param = _tarn.AngleParam()
        for name, value in {**_DEFAULT_ANGLE_PARAMS, **params}.items():
            if name not in _DEFAULT_ANGLE_PARAMS:
                raise TypeError(f"PlaneAngle has no parameter {name!r}")
            setattr(param, name, value)
        self._handle = _tarn.PlaneAngle(param)

    @_log.forwarding
    def measure(self, frame: Union[Frame, np.ndarray]) -> Tuple[float, int, str]:
        """Measures one frame (a Frame or its points) and returns (angle, code, message): code 0
        with the angle in degrees, or -98/-99 with NaN (see the README). Raises tarn.AngleError
        after close(). The GIL is released while measuring."""
        return self._handle.measure(_points_of(frame))

    @_log.forwarding
    def close(self) -> None:
        """Removes the measurement so another PlaneAngle may be made; a second call does
        nothing."""
        self._handle.close()

    def __enter__(self) -> "PlaneAngle":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
