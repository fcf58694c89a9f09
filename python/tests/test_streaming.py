import itertools
import math
import os
import struct
import subprocess
import threading
import _thread

import numpy as np
import pytest

import tarn
from conftest import free_udp_port, loopback_address

FRAMES = 6
CELLS = [(0, 0), (75, 180), (149, 359)]
# The fields each pixel type carries; the others decode as 0.
CARRIED = {
    0: {"distance", "intensity"},
    1: {"x", "y", "z", "intensity"},
    2: {"distance", "x", "y", "z", "intensity"},
}
TAG = 7
GRAVITY = -9.80665


def check_frame(frame, sensor, pixel_type, tag=TAG):
    number = frame.info.first_timestamp
    assert frame.info.complete and frame.info.pixel_type == pixel_type
    assert frame.points.shape == (150, 360) and frame.points.dtype == tarn.POINT_DTYPE
    assert frame.xyz.shape == (150, 360, 3) and frame.xyz.dtype == np.float32
    assert frame.distance.dtype == np.float32 and frame.intensity.dtype == np.uint32
    for view in (frame.xyz, frame.distance, frame.intensity):
        assert np.shares_memory(view, frame.points)
    for row, column in CELLS:
        cell = frame.points[row, column]
        expected = sensor.expected(row, column, number)
        assert (cell["row"], cell["column"], cell["timestamp"], cell["tag"]) == (
            row, column, number, tag)
        for field in ("distance", "intensity", "x", "y", "z"):
            assert cell[field] == (expected[field] if field in CARRIED[pixel_type] else 0), field
        assert list(frame.xyz[row, column]) == [cell["x"], cell["y"], cell["z"]]
        assert (frame.distance[row, column], frame.intensity[row, column]) == (
            cell["distance"], cell["intensity"])


@pytest.mark.parametrize("pixel_type", [0, 1, 2])
def test_every_frame_arrives_with_the_scenes_values(simulated, pixel_type):
    with simulated(frames=FRAMES, fps=30, pixel_type=pixel_type, tag=TAG) as (stream, sensor):
        frames = list(itertools.islice(stream.frames(timeout=5), FRAMES))
        assert sensor.wait(5)
        assert stream.stats()["frames_decoded"] == FRAMES
        assert stream.latest().info.sequence == FRAMES
    assert [f.info.sequence for f in frames] == list(range(1, FRAMES + 1))
    assert [f.info.first_timestamp for f in frames] == list(range(FRAMES))
    for frame in frames:
        check_frame(frame, sensor, pixel_type)


def test_two_streams_at_once_each_get_their_own_sensors_frames(simulated):
    results = {}

    def read(tilt):
        with simulated(frames=FRAMES, fps=30, tilt=tilt, tag=TAG) as (stream, sensor):
            frames = list(itertools.islice(stream.frames(timeout=5), FRAMES))
            results[tilt] = (frames, sensor)

    readers = [threading.Thread(target=read, args=(tilt,)) for tilt in (5.0, 30.0)]
    for reader in readers:
        reader.start()
    for reader in readers:
        reader.join()
    for frames, sensor in results.values():
        assert [f.info.sequence for f in frames] == list(range(1, FRAMES + 1))
        for frame in frames:
            check_frame(frame, sensor, 2)
    assert results[5.0][0][0].points[75, 0]["x"] != results[30.0][0][0].points[75, 0]["x"]


def test_imu_samples_arrive_with_their_timestamp(simulated):
    with simulated(fps=10, imu_rate=200) as (stream, _):
        samples = list(itertools.islice(stream.imu(timeout=5), 10))
    timestamps = [s.timestamp for s in samples]
    assert timestamps == sorted(timestamps) and timestamps[-1] > timestamps[0]
    for sample in samples:
        assert sample.sample_flag == 1 and len(sample.sample) == 26
        assert struct.unpack_from("<3f", sample.sample) == pytest.approx((0.0, 0.0, GRAVITY))


def test_default_stream_reads_the_keso_connection():
    address, local_port = loopback_address(), free_udp_port("0.0.0.0")
    source_port = free_udp_port(address)
    with tarn.sim.Sensor(port=local_port, source=address, source_port=source_port, fps=30):
        tarn.connect_device(local_port, address, source_port)
        try:
            first = tarn.default_stream()
            seen = next(first.frames(timeout=5)).info.sequence
            first.close()  # leaves the connection up
            assert next(tarn.default_stream().frames(timeout=5)).info.sequence > seen
            assert tarn.default_stream().stats()["frames_decoded"] > seen
        finally:
            tarn.disconnect_device()
    assert list(tarn.default_stream().frames(timeout=5)) == []


def test_close_on_another_thread_ends_frames():
    with tarn.Stream(device=loopback_address()) as stream:
        threading.Timer(0.2, stream.close).start()
        assert list(stream.frames(timeout=math.inf)) == []
        stream.close()
        with pytest.raises(tarn.StreamError) as raised:
            stream.stats()
        assert raised.value.code == -12


def test_an_infinite_time_out_waits_without_limit_and_nan_is_refused(simulated):
    with simulated(frames=3, fps=30) as (stream, _):
        for wait in (stream.frames, stream.imu):
            with pytest.raises(ValueError, match="not nan"):
                wait(timeout=math.nan)
        frames = list(itertools.islice(stream.frames(timeout=math.inf), 3))
        assert isinstance(next(stream.imu(timeout=math.inf)), tarn.ImuSample)
    assert [frame.info.sequence for frame in frames] == [1, 2, 3]


def test_ctrl_c_interrupts_a_waiting_frames():
    with tarn.Stream(device=loopback_address()) as stream:
        threading.Timer(0.2, _thread.interrupt_main).start()
        # Without the interrupt the wait would end in tarn.TimeoutError instead.
        with pytest.raises(KeyboardInterrupt):
            next(stream.frames(timeout=10))


def test_decoder_completes_each_frame_from_its_datagrams():
    sensor = tarn.sim.Sensor(port=None, tilt=20.0, tag=TAG)
    with tarn.Decoder() as decoder:
        datagrams = [bytearray(d) for number in range(3)
                     for d in tarn.sim.encode_frame(number, tilt=20.0, tag=TAG)]
        frames = list(decoder.frames(datagrams))
        assert decoder.stats()["frames_decoded"] == 3
    assert [f.info.sequence for f in frames] == [1, 2, 3]
    for frame in frames:
        check_frame(frame, sensor, 2)


@pytest.mark.skipif("TARN_COMMAND" not in os.environ, reason="built without the tarn command")
def test_read_pcap_yields_the_frames_tarn_record_wrote(tmp_path):
    recording = tmp_path / "wall.pcap"
    # An instrumented tool carries its own sanitizer runtime; the interpreter's would be a second.
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([os.environ["TARN_COMMAND"], "record", str(recording), "--tilt", "20",
                    "--fps", "30", "--frames", "3"], check=True, timeout=60, capture_output=True,
                   env=environment)
    frames = list(tarn.read_pcap(recording))
    assert [f.info.sequence for f in frames[:3]] == [1, 2, 3]
    scene = tarn.sim.Sensor(port=None, tilt=20.0)
    for frame in frames[:3]:
        check_frame(frame, scene, 2, tag=0)
        assert frame.info.receive_realtime_ns > 0
    _, _, address, port = next(tarn._tarn.PcapFile(str(recording)))
    assert len(list(tarn.read_pcap(recording, source=f"{address}:{port}"))) == len(frames)
    assert list(tarn.read_pcap(recording, source=f"{address}:{port + 1}")) == []
    with pytest.raises(OSError):
        next(tarn.read_pcap(tmp_path / "missing.pcap"))


def test_a_lost_last_datagram_loses_its_frame_and_is_counted(simulated):
    with simulated(frames=FRAMES, fps=30, faults=[("drop", 2, -1)]) as (stream, sensor):
        frames = list(itertools.islice(stream.frames(timeout=5), FRAMES - 1))
        assert sensor.wait(5)
        stats = stream.stats()
    assert [f.info.first_timestamp for f in frames] == [0, 1, 3, 4, 5]
    assert [f.info.sequence for f in frames] == [1, 2, 3, 4, 5]
    assert stats["frames_lost_last"] == 1 and sensor.counters()["dropped"] == 1
