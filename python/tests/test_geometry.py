import itertools

import numpy as np
import pytest

import tarn

TILT = 12.0
TOLERANCE_DEGREES = 0.5


def grid_at(x, y, z):
    points = np.zeros((150, 360), tarn.POINT_DTYPE)
    points["x"], points["y"], points["z"], points["tag"] = x, y, z, 9
    return points


# keyword, value, a point before, the point after.
TURNS = [
    ("offset_x", 5.0, (1000, 0, 0), (1005, 0, 0)),
    ("offset_y", 5.0, (1000, 0, 0), (1000, 5, 0)),
    ("offset_z", 5.0, (1000, 0, 0), (1000, 0, 5)),
    ("angle_z", 90.0, (1000, 0, 0), (0, 1000, 0)),
    ("angle_y", 90.0, (1000, 0, 0), (0, 0, -1000)),
    ("angle_x", 90.0, (0, 1000, 0), (0, 0, -1000)),
]


@pytest.mark.parametrize("keyword, value, before, after", TURNS)
def test_rotate_turns_every_cell_in_place(keyword, value, before, after):
    points = grid_at(*before)
    buffer = points.__array_interface__["data"][0]
    assert tarn.rotate(points, **{keyword: value}) is points
    assert points.__array_interface__["data"][0] == buffer
    for axis, expected in zip("xyz", after):
        assert np.allclose(points[axis], expected, atol=1e-3), axis
    assert (points["tag"] == 9).all()


@pytest.mark.parametrize("points, refused", [
    ([[0.0]], TypeError),
    (np.zeros((150, 360), np.float32), TypeError),
    (np.zeros((150, 359), tarn.POINT_DTYPE), ValueError),
    (np.zeros((150, 720), tarn.POINT_DTYPE)[:, ::2], ValueError),
    (np.zeros((360, 150), tarn.POINT_DTYPE).T, ValueError),
])
def test_rotate_refuses_what_it_would_have_to_copy(points, refused):
    with pytest.raises(refused):
        tarn.rotate(points, angle_z=1.0)


def test_rotate_refuses_a_read_only_grid():
    points = grid_at(1, 2, 3)
    points.flags.writeable = False
    with pytest.raises(ValueError):
        tarn.rotate(points, offset_x=1.0)


@pytest.fixture(scope="module")
def wall_frames():
    from conftest import _simulated

    with _simulated(frames=3, fps=30, tilt=TILT) as (stream, _):
        return list(itertools.islice(stream.frames(timeout=5), 3))


# A turn about z by angle_z adds to the wall's tilt.
@pytest.mark.parametrize("angle_z, tilt", [(0.0, TILT), (-TILT, 0.0), (10.0, TILT + 10.0)])
def test_rotated_frames_measure_the_turned_tilt(wall_frames, angle_z, tilt):
    with tarn.PlaneAngle() as plane:
        for frame in wall_frames:
            points = frame.points.copy()
            tarn.rotate(points, angle_z=angle_z)
            angle, code, message = plane.measure(points)
            assert (code, message) == (0, "OK")
            assert abs(angle - tilt) < TOLERANCE_DEGREES


def test_plane_angle_is_one_per_process(wall_frames):
    first = tarn.PlaneAngle(bin_width=50)
    with pytest.raises(tarn.AngleInUseError):
        tarn.PlaneAngle()
    first.close()
    with pytest.raises(tarn.AngleError) as raised:
        first.measure(wall_frames[0])
    assert raised.value.code == -100
    with tarn.PlaneAngle() as second:
        assert second.measure(wall_frames[0])[1] == 0
    with pytest.raises(TypeError):
        tarn.PlaneAngle(binWidth=50)
