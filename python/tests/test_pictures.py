"""The depth pictures read back by another program (PIL), and the tool's pictures against the
module's for the same frame."""

import csv
import os
import subprocess

import numpy as np
import pytest

import tarn
from tarn.frame import new_grid

Image = pytest.importorskip("PIL.Image", reason="PIL is missing (apt-get install python3-pil)")

YELLOW, DARK_VIOLET, BLACK = (253, 231, 37), (68, 1, 84), (0, 0, 0)


def blank_grid():
    points = new_grid()
    points[...] = np.zeros((), points.dtype)
    return points


def test_depth_images_read_back_to_the_distances(tmp_path):
    points = blank_grid()
    rows, columns = np.indices(points.shape)
    points["distance"] = 1000 + rows * 300 + columns  # 1000 to 46059: every value 16 bits hold
    points["distance"][0, 0] = 0  # no measurement
    points["distance"][0, 1] = 0  # coordinates only: the range, 13.19, rounded
    points["x"][0, 1], points["y"][0, 1], points["z"][0, 1] = 3.0, 4.0, 12.2
    points["distance"][0, 2] = 7  # the nearest
    frame = tarn.Frame(points, None)
    expected = np.sqrt(3.0 ** 2 + 4.0 ** 2 + np.float64(np.float32(12.2)) ** 2)

    frame.save_depth16_png(tmp_path / "depth16.png")
    with Image.open(tmp_path / "depth16.png") as image:
        assert image.mode.startswith("I") and image.size == (360, 150)
        measured = np.array(image).astype(np.int64)
        assert "distance unit" in image.info["Description"]
    distances = points["distance"].astype(np.float64)
    distances[0, 1] = expected
    assert np.abs(measured - distances).max() <= 0.5
    assert measured[0, 0] == 0 and measured[0, 1] == 13

    frame.save_depth_png(tmp_path / "depth.png")
    with Image.open(tmp_path / "depth.png") as image:
        assert image.mode == "RGB"
        colours = np.array(image)
        legend = image.info["Description"]
    assert tuple(colours[0, 2]) == YELLOW  # near is bright
    assert tuple(colours[149, 359]) == DARK_VIOLET
    assert tuple(colours[0, 0]) == BLACK
    assert legend.startswith("Depth: yellow nearest (7), through green and blue, to dark violet "
                             "farthest (46059)")


def grid_from_csv(path):
    points = blank_grid()
    with open(path, newline="") as file:
        for line in csv.DictReader(file):
            cell = points[int(line["row"]), int(line["column"])]
            for name in ("x", "y", "z", "distance"):
                cell[name] = np.float32(line[name])
            cell["intensity"] = int(line["intensity"])
    return points


@pytest.mark.skipif("TARN_COMMAND" not in os.environ, reason="the tarn command is not built")
def test_tool_and_module_draw_a_frame_alike(tmp_path):
    # The tool carries its own sanitizer runtime, if any: not the one preloaded into Python.
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([os.environ["TARN_COMMAND"], "stream", "--frames", "1", "--save",
                    str(tmp_path)], check=True, capture_output=True, timeout=60, env=environment)
    points = grid_from_csv(tmp_path / "frame-000001.csv")
    tarn.Frame(points, None).save_depth_png(tmp_path / "module-depth.png")
    with Image.open(tmp_path / "frame-000001-depth.png") as tool, \
            Image.open(tmp_path / "module-depth.png") as module:
        assert np.array_equal(np.array(tool), np.array(module))
        assert tool.info["Description"] == module.info["Description"]
    with Image.open(tmp_path / "frame-000001-depth16.png") as depth16:
        measured = np.array(depth16).astype(np.int64)
    assert np.abs(measured - points["distance"]).max() <= 1
    assert points["distance"].max() > 0
