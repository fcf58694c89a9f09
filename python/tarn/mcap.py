"""MCAP files of ROS 2 messages: tarn.mcap.Writer records frames and IMU samples as Foxglove and
``ros2 bag`` read them, and tarn.open() plays such a file back as frames.

    with tarn.open("capture.pcap") as frames, tarn.mcap.Writer("capture.mcap") as bag:
        for frame in frames:
            bag.write_frame(frame)
            for sample in frames.imu():
                bag.write_imu(sample, frame.info.receive_realtime_ns)

Topics: /tarn/points (sensor_msgs/msg/PointCloud2), /tarn/depth and /tarn/intensity
(sensor_msgs/msg/Image), /tarn/imu_raw (tarn_msgs/msg/ImuRaw); a namespace prefixes them.
"""

import dataclasses
import os
import warnings

from tarn import _tarn
from tarn.errors import McapError
from tarn.frame import Frame, FrameInfo, ImuSample

#: The chunk compressions by name.
COMPRESSIONS = {"zstd": _tarn.MCAP_ZSTD, "lz4": _tarn.MCAP_LZ4, "none": _tarn.MCAP_NONE}
#: Where header stamps come from: the host's receive time, or the sensor's timestamp.
STAMPS = {"receive": _tarn.STAMP_RECEIVE_TIME, "sensor": _tarn.STAMP_SENSOR_TIME}
MAGIC = b"\x89MCAP0\r\n"


def _path(path):
    path = os.fspath(path)
    return os.fsdecode(path) if isinstance(path, bytes) else path


def is_mcap(path):
    """True when the file at path starts with the MCAP magic; False also for a path that cannot be
    opened (the recording reader then says why)."""
    try:
        with open(path, "rb") as file:
            return file.read(len(MAGIC)) == MAGIC
    except (OSError, ValueError):
        return False


class Writer:
    """Records frames and IMU samples into an MCAP file (profile ros2, CDR messages, chunks
    compressed with zstd, lz4 or none, indexed, every CRC written).

    ``namespace`` prefixes the topics ("front" gives /front/tarn/points); ``frame_id`` names the
    headers' frame; ``stamp`` is "receive" (the host's receive time) or "sensor" (the sensor's
    timestamp times ``sensor_tick_ns``). With ``queue_messages`` a thread of the writer's own
    writes from a queue that long and frames that find it full are dropped and counted
    (``dropped``); by default the calling thread writes. Use it as a context manager, or call
    close(), which writes the summary: a file not closed keeps its whole chunks only.

    Raises OSError when the file cannot be created or written, ValueError for a namespace that is
    not a ROS 2 name or an unknown compression or stamp, and tarn.McapError when writing fails
    later (a full disk). One thread at a time.
    """

    def __init__(self, path, *, namespace="", compression="zstd", chunk_bytes=0, frame_id="tarn",
                 stamp="receive", sensor_tick_ns=1, queue_messages=0):
        if compression not in COMPRESSIONS:
            raise ValueError(f"compression is one of {', '.join(COMPRESSIONS)}, not {compression!r}")
        if stamp not in STAMPS:
            raise ValueError(f"stamp is one of {', '.join(STAMPS)}, not {stamp!r}")
        self._handle = _tarn.McapWriter(_path(path), namespace or "", COMPRESSIONS[compression],
                                        chunk_bytes, queue_messages, frame_id, STAMPS[stamp],
                                        sensor_tick_ns)
        self.path = path

    def write_frame(self, frame):
        """Records a Frame on the points, depth and intensity topics."""
        self._handle.write_frame(frame.points, dataclasses.asdict(frame.info))

    def write_imu(self, sample, receive_realtime_ns):
        """Records an ImuSample on imu_raw; receive_realtime_ns (the host's CLOCK_REALTIME
        receive time) is its stamp unless the writer stamps with sensor time."""
        self._handle.write_imu(sample.timestamp, sample.sample_flag, sample.header,
                               sample.reserved, sample.sample, receive_realtime_ns)

    @property
    def messages(self):
        """Messages recorded so far (written, or queued for the writer's thread)."""
        return self._handle.counts()[0]

    @property
    def dropped(self):
        """Messages dropped so far on a full queue."""
        return self._handle.counts()[1]

    def close(self):
        """Writes what is queued, the last chunk and the summary, and closes the file; raises
        tarn.McapError for the recording's first failure. A second call does nothing."""
        self._handle.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class McapSource:
    """The frames of an MCAP file, read back as tarn.open() gives them (see tarn.Source): each
    cell's row, column, x, y, z, distance and intensity; cells the frame did not write hold NaN
    coordinates and distance and intensity 0; timestamps and tags are 0. FrameInfo carries
    sequence (1 for the file's first frame), cells_written, complete and receive_realtime_ns
    (the message's stamp); its other fields are 0."""

    live = False
    local_port = 0

    def __init__(self, path, namespace=""):
        self._handle = _tarn.McapReader(_path(path), namespace or "")
        self._imu_dropped = 0
        self._frames = 0
        self._imu = 0

    def frames(self, timeout=None):
        """Yields every frame, in order; a file cut short ends at its cut with one
        RuntimeWarning. Raises tarn.McapError (an OSError) with the reason for a damaged file, one
        without the points topic, or a cloud of another layout. timeout is accepted for
        tarn.Source's sake and not needed."""
        del timeout
        while True:
            code, points, info = self._handle.next()
            if code == _tarn.OK:
                self._frames += 1
                yield Frame(points, FrameInfo(**info))
                continue
            if code == _tarn.MCAP_END:
                if self._handle.error():
                    warnings.warn(self._handle.error(), RuntimeWarning, stacklevel=2)
                return
            if code == _tarn.ERR_INVALID_HANDLE:
                return
            raise McapError(code, self._handle.error() or _tarn.mcap_strerror(code))

    def __iter__(self):
        return self.frames()

    def imu(self):
        """The IMU samples recorded before the frame frames() gave last, not taken before."""
        samples, self._imu_dropped = self._handle.imu()
        self._imu += len(samples)
        return [ImuSample(*sample) for sample in samples]

    def stats(self):
        """frames_returned, imu_returned and imu_dropped (more than 4096 samples between two
        frames)."""
        return {"frames_returned": self._frames, "imu_returned": self._imu,
                "imu_dropped": self._imu_dropped}

    def close(self):
        """Closes the file; a second call does nothing."""
        self._handle.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
