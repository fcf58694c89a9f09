import dataclasses
import math
import os
import subprocess
import threading

import numpy as np
import pytest

import tarn

needs_tool = pytest.mark.skipif("TARN_COMMAND" not in os.environ,
                                reason="built without the tarn command")
# An instrumented tool carries its own sanitizer runtime; the interpreter's would be a second.
ENVIRONMENT = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def tool(*args, **kwargs):
    return subprocess.run([os.environ["TARN_COMMAND"], *args], check=True, timeout=60,
                          capture_output=True, env=ENVIRONMENT, **kwargs)


@pytest.fixture
def recording(tmp_path):
    path = tmp_path / "wall.pcap"
    tool("record", str(path), "--frames", "4", "--fps", "30", "--imu-rate", "60")
    return path


def same_info(live, recorded):
    """Frame info without the receive times, which differ between a replay and its recording."""
    times = {"receive_monotonic_ns": 0, "receive_realtime_ns": 0}
    return dataclasses.replace(live, **times) == dataclasses.replace(recorded, **times)


@needs_tool
def test_a_recording_gives_the_frames_of_a_live_sensor_sending_its_datagrams(recording):
    with tarn.open(recording) as source:
        recorded = list(source)
        recorded_imu = source.imu()
        stats = source.stats()
    assert [f.info.sequence for f in recorded] == list(range(1, len(recorded) + 1))
    assert len(recorded) >= 4 and stats["frames_returned"] == len(recorded)
    assert recorded_imu and not stats["recording"]["cut"]

    _, _, address, port = next(tarn._tarn.PcapFile(str(recording)))
    with tarn.open(f"udp://{address}:{port}", local_address="127.0.0.1", queue_frames=16) as live:
        tool("replay", str(recording), "--to", f"127.0.0.1:{live.local_port}")
        frames = live.frames(timeout=5)
        received = [next(frames) for _ in recorded]
        live_imu = live.imu()
        assert live.stats()["frames_dropped"] == 0
    for got, expected in zip(received, recorded):
        assert same_info(got.info, expected.info)
        assert got.info.receive_monotonic_ns > 0 and expected.info.receive_monotonic_ns == 0
        assert np.array_equal(got.points, expected.points)
    assert [s.sample for s in live_imu] == [s.sample for s in recorded_imu]


@needs_tool
def test_a_cut_recording_reads_to_its_cut_with_one_warning(recording):
    whole = len(list(tarn.open(recording)))
    os.truncate(recording, os.path.getsize(recording) - 100)
    with pytest.warns(RuntimeWarning, match="is cut in record") as caught:
        frames = list(tarn.open(recording))
    # The last record may belong to a frame the recording would not have finished anyway.
    assert len(caught) == 1 and whole - 1 <= len(frames) <= whole
    with pytest.warns(RuntimeWarning, match="is cut in record"):
        assert len(list(tarn.read_pcap(recording))) == len(frames)


def test_sources_refuse_what_they_cannot_read(tmp_path):
    with pytest.raises(ValueError, match="NUL"):
        tarn.open(str(tmp_path / "x.pcap") + "\0y")
    with pytest.raises(ValueError, match="NUL"):
        next(tarn.read_pcap(str(tmp_path / "x.pcap") + "\0y"))
    with pytest.raises(OSError, match="missing.pcap"):
        tarn.open(tmp_path / "missing.pcap")
    with pytest.raises(ValueError, match="udp://"):
        tarn.open("udp://127.0.0.1")


def test_a_live_source_waits_as_long_as_asked():
    with tarn.open("udp://127.0.0.1:9", local_address="127.0.0.1") as live:
        with pytest.raises(tarn.TimeoutError):
            next(live.frames(timeout=0.05))
        with pytest.raises(ValueError):
            next(live.frames(timeout=math.nan))
        frames = live.frames(timeout=math.inf)
        # No limit: a waiting reader ends when the source closes, rather than timing out.
        threading.Timer(0.3, live.close).start()
        assert list(frames) == []
