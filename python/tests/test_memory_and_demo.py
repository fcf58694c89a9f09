import os
import struct
import subprocess
import sys
import tracemalloc
import zlib

import pytest

import tarn
from conftest import SANITIZER, loopback_address

# A sanitizer build streams a few frames a second; there LeakSanitizer checks the frames' memory
# at exit, and fewer frames still show a leak of Python objects.
FRAMES = 100 if SANITIZER else 1000
WARM_UP = 20
FRAME_BYTES = 150 * 360 * 40
MEBIBYTE = 1 << 20
# Leaking one frame in a hundred would leave 10 frames behind; the bound allows less.
RSS_GROWTH_BOUND = 16 * MEBIBYTE


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_memory_stays_flat_over_many_frames(simulated):
    with simulated(fps=400, spread=0.0, pixel_type=0, imu_rate=100) as (stream, _):
        frames = stream.frames(timeout=5)
        for _ in range(WARM_UP):
            next(frames)
        resident = resident_bytes()
        tracemalloc.start()
        for _ in range(FRAMES):
            frame = next(frames)
            assert frame.xyz.shape == (150, 360, 3)
            stream.stats()
        traced, _ = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        grown = resident_bytes() - resident
    assert traced < 2 * FRAME_BYTES  # the last frame, and the one being filled
    # The sanitizers hold freed memory back on purpose, so the process's size says nothing there.
    if not SANITIZER:
        assert grown < RSS_GROWTH_BOUND


def png_chunks(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    offset, chunks = 8, {}
    while offset < len(data):
        (length,) = struct.unpack_from(">I", data, offset)
        kind = data[offset + 4:offset + 8]
        chunks[kind] = data[offset + 8:offset + 8 + length]
        offset += 12 + length
    return chunks


def test_demo_streams_measures_and_saves_the_depth_image(tmp_path):
    png = tmp_path / "depth.png"
    result = subprocess.run(
        [sys.executable, "-m", "tarn.demo", "--seconds", "2.5", "--tilt", "20",
         "--address", loopback_address(), "--png", str(png)],
        capture_output=True, text=True, timeout=60, check=True)
    assert "fps" in result.stdout and "(true 20)" in result.stdout
    chunks = png_chunks(png.read_bytes())
    width, height = struct.unpack_from(">II", chunks[b"IHDR"])
    assert (width, height) == (360, 150)
    assert chunks[b"IHDR"][8:10] == b"\x08\x02"  # 8-bit RGB
    rows = zlib.decompress(chunks[b"IDAT"])
    assert len(rows) == 150 * (360 * 3 + 1)
    assert bytes((253, 231, 37)) in rows  # the nearest point is yellow, the brightest colour
    assert chunks[b"tEXt"].startswith(b"Description\0Depth: yellow nearest (")
