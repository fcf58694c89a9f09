"""One way to read frames: tarn.open() over a recording or a live sensor."""

import math
import os
import time
import warnings

from tarn import _log, _tarn
from tarn.errors import error_for
from tarn.frame import Frame, FrameInfo, ImuSample
from tarn.mcap import McapSource, is_mcap
from tarn.stream import DEFAULT_ALTERNATE_PORT

_MS_PER_SECOND = 1000
_UDP_SCHEME = "udp://"


def _deadline(timeout):
    """The monotonic deadline of a time-out in seconds; None (and inf) waits without limit."""
    if timeout is None or timeout == math.inf:
        return None
    if math.isnan(timeout) or timeout < 0:
        raise ValueError(f"timeout must be None or at least 0 seconds, not {timeout!r}")
    return time.monotonic() + timeout


def _device(text):
    """("a.b.c.d", port) from "a.b.c.d:port"; ValueError otherwise."""
    address, colon, port = text.rpartition(":")
    if not colon or not address or not port.isdigit():
        raise ValueError(f"a live source is udp://DEVICE_ADDRESS:DEVICE_PORT, not {_UDP_SCHEME}{text}")
    return address, int(port)


class Source:
    """Frames of a recording or of a live sensor, each once and in order (see tarn.open).

    Use it as a context manager, or call close(). One thread at a time reads frames; close() may
    come from another thread and waits for a read in progress to return.
    """

    def __init__(self, handle, live):
        self._handle = handle
        self.live = live
        self._warned = False

    @property
    def local_port(self):
        """The local UDP port of a live source (0 for a recording)."""
        return self._handle.local_port()

    def frames(self, timeout=1.0):
        """Yields every frame, each once, in order. A recording ends after its last frame (a
        recording cut inside a record ends at the cut, with one RuntimeWarning). A live source
        raises tarn.TimeoutError when no frame arrives within timeout seconds (None or inf waits
        without limit) and ends once the source is closed. Frames lost on the way show as gaps in
        info.sequence and in stats(); none is skipped silently."""
        while True:
            deadline = _deadline(timeout)
            while True:
                left_ms = _tarn.WAIT_SLICE_MS
                if deadline is not None:
                    left_ms = min(left_ms, max(0, math.ceil((deadline - time.monotonic()) *
                                                            _MS_PER_SECOND)))
                code, points, info = self._handle.next(left_ms)
                _log.forward()
                if code == _tarn.OK:
                    break
                if code == _tarn.RECORDING_END:
                    self._warn_cut()
                    return
                if code == _tarn.ERR_INVALID_HANDLE and self._closed():
                    return
                if code == _tarn.ERR_TIMEOUT and (deadline is None or time.monotonic() < deadline):
                    continue
                if code == _tarn.ERR_TIMEOUT:
                    raise error_for(code)
                raise OSError(self._handle.error() or _tarn.strerror(code))
            yield Frame(points, FrameInfo(**info))

    def __iter__(self):
        return self.frames()

    def imu(self):
        """The IMU samples not taken before, oldest first: for a recording those recorded before
        the frame frames() gave last, for a live source those received so far."""
        return [ImuSample(*sample) for sample in self._handle.imu()]

    def stats(self):
        """The stream's (or the recording decoder's) counters, with frames_returned,
        frames_dropped (no room in the source's queue), imu_returned, imu_dropped and, for a
        recording, the reader's counters under "recording"."""
        return self._handle.stats()

    def close(self):
        """Stops the stream or closes the file; a second call does nothing."""
        self._handle.close()

    def _closed(self):
        try:
            self._handle.stats()
        except Exception:  # the handle is gone
            return True
        return False

    def _warn_cut(self):
        if not self._warned and self._handle.stats()["recording"]["cut"]:
            self._warned = True
            warnings.warn(self._handle.error(), RuntimeWarning, stacklevel=3)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def open(source, *, local_port=0, local_address="", alternate_port=DEFAULT_ALTERNATE_PORT,
         receive_buffer_bytes=0, queue_frames=0, device=None, namespace=None):
    """Opens a frame source: a recording (a path: pcap or pcapng, as tarn record, tcpdump or
    Wireshark write it, or an MCAP file of this library's ROS 2 messages) or a live sensor ("udp://DEVICE_ADDRESS:DEVICE_PORT", with the stream
    options local_port, local_address, alternate_port and receive_buffer_bytes as keywords, and
    queue_frames frames kept for the reader, 8 by default). Both yield Frame objects the same
    way, decoded by the same code:

        with tarn.open("capture.pcap") as frames:          # or "udp://192.168.1.10:2368"
            for frame in frames:
                print(frame.info.sequence, frame.xyz[75, 180])

    For a recording, ``device`` ("a.b.c.d" or "a.b.c.d:port") keeps one sensor's datagrams. An
    MCAP file (known by its first bytes) plays its /tarn/points topic, or ``namespace``'s
    ("front" plays /front/tarn/points), as tarn.mcap.McapSource describes: the cells and the
    stamp the messages carry.
    Raises OSError when a recording cannot be read, ValueError for a malformed source or a NUL in
    it, and tarn.ConnectError when a live stream cannot be opened."""
    try:
        if isinstance(source, str) and source.startswith(_UDP_SCHEME):
            address, port = _device(source[len(_UDP_SCHEME):])
            handle = _tarn.Source.open_stream(address, port, local_address, local_port,
                                              alternate_port, receive_buffer_bytes, queue_frames)
            return Source(handle, live=True)
        path = os.fspath(source)
        if isinstance(path, bytes):
            path = os.fsdecode(path)
        if is_mcap(path):
            return McapSource(path, namespace)
        address, _, port = (device or "").partition(":")
        handle = _tarn.Source.open_recording(path, address, int(port) if port else 0)
        return Source(handle, live=False)
    finally:
        _log.forward()
