import os

import numpy as np
import pytest

import tarn

FIELDS = ("row", "column", "x", "y", "z", "distance", "intensity")


def decoded_frames():
    """Three frames of the simulated wall; the second lost a datagram in its middle."""
    datagrams = []
    for number in range(3):
        frame = tarn.sim.encode_frame(number, tilt=20.0)
        if number == 1:
            del frame[len(frame) // 2]
        datagrams += frame
    with tarn.Decoder() as decoder:
        return list(decoder.frames(datagrams))


def written(frame):
    """The cells the frame wrote: all of them, or those stamped between its first and last."""
    stamps = frame.points["timestamp"]
    info = frame.info
    return np.full(stamps.shape, info.complete) | (
        (stamps >= info.first_timestamp) & (stamps <= info.last_timestamp))


def sample(n):
    return tarn.ImuSample(timestamp=1000 + n, sample_flag=1, header=b"\x5a\xa5",
                          reserved=b"\0\0\0", sample=bytes(range(n, n + 26)))


@pytest.mark.parametrize("compression", ["zstd", "lz4", "none"])
def test_frames_and_imu_samples_read_back_as_written(tmp_path, compression):
    frames = decoded_frames()
    assert not frames[1].info.complete
    path = tmp_path / "wall.mcap"
    with tarn.mcap.Writer(path, namespace="front", compression=compression,
                          queue_messages=64 if compression == "lz4" else 0) as writer:
        for n, frame in enumerate(frames):
            writer.write_frame(frame)
            writer.write_imu(sample(n), frame.info.receive_realtime_ns + 1)
    assert writer.messages == 3 * 4 and writer.dropped == 0

    with tarn.open(path, namespace="front") as source:
        assert source.imu() == []
        for n, frame in enumerate(source):
            original = frames[n]
            mask = written(original)
            assert frame.info.sequence == n + 1
            assert frame.info.cells_written == mask.sum() == original.info.cells_written
            assert frame.info.complete == original.info.complete
            assert frame.info.receive_realtime_ns == original.info.receive_realtime_ns
            for field in FIELDS:
                assert np.array_equal(frame.points[field][mask], original.points[field][mask])
            assert np.isnan(frame.xyz[~mask]).all() and not frame.intensity[~mask].any()
            got = source.imu()
            # Each frame's sample was recorded after it: it comes with the next frame.
            assert [s.sample for s in got] == ([sample(n - 1).sample] if n else [])
        assert source.stats()["frames_returned"] == 3


def test_mcap_files_that_cannot_be_written_or_read_raise(tmp_path):
    with pytest.raises(ValueError, match="ROS 2 name"):
        tarn.mcap.Writer(tmp_path / "a.mcap", namespace="1front")
    with pytest.raises(ValueError, match="compression"):
        tarn.mcap.Writer(tmp_path / "a.mcap", compression="gzip")
    with pytest.raises(OSError, match="missing"):
        tarn.mcap.Writer(tmp_path / "missing" / "a.mcap")
    frames = decoded_frames()
    writer = tarn.mcap.Writer(tmp_path / "a.mcap", chunk_bytes=1, compression="none")
    for frame in frames:
        writer.write_frame(frame)
    writer.close()
    with pytest.raises(tarn.StreamError):
        writer.write_frame(frames[0])

    with pytest.raises(tarn.McapError, match="no topic /rear/tarn/points"):
        list(tarn.open(tmp_path / "a.mcap", namespace="rear"))
    # Cut inside the last frame's cloud: the whole chunks before it read, with one warning.
    os.truncate(tmp_path / "a.mcap", os.path.getsize(tmp_path / "a.mcap") - 1000000)
    with pytest.warns(RuntimeWarning, match="cut short") as caught:
        assert len(list(tarn.open(tmp_path / "a.mcap"))) == 2
    assert len(caught) == 1
    damaged = tmp_path / "damaged.mcap"
    damaged.write_bytes(tarn.mcap.MAGIC + b"\x01" + b"\xff" * 8)
    with pytest.raises(OSError, match="no header record"):
        tarn.open(damaged)
