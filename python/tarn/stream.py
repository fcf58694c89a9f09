"""Streams of frames: handle streams, and read-only access to the KESO connection."""

from __future__ import annotations

import math
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

from tarn import _log, _tarn
from tarn.errors import StreamError, error_for
from tarn.frame import Frame, FrameInfo, ImuSample, new_grid

#: The sensor's second measurement source port, accepted by default.
DEFAULT_ALTERNATE_PORT = 6301
_MS_PER_SECOND = 1000


def _limit(timeout: Optional[float]) -> Optional[float]:
    """A wait's time-out in seconds as a limit: None for no limit (None or infinity), at least 0
    otherwise. Raises ValueError for NaN, TypeError for what is not a number."""
    if timeout is None:
        return None
    seconds = float(timeout)
    if math.isnan(seconds):
        raise ValueError("timeout must be a number of seconds or None, not nan")
    if seconds == math.inf:
        return None
    return max(seconds, 0.0)


def _wait(wait_once: Callable[[int], Tuple[Any, ...]],
          limit: Optional[float]) -> Optional[List[Any]]:
    """Waits in slices of the extension's longest wait, so that Ctrl-C (raised between slices)
    and close() from another thread take effect within one slice. wait_once(ms) returns (code,
    *item). Returns the item, or None once the stream is closed or disconnected; raises
    tarn.TimeoutError after limit seconds (see _limit)."""
    deadline = None if limit is None else time.monotonic() + limit
    while True:
        left_ms = _tarn.WAIT_SLICE_MS
        if deadline is not None:
            left_ms = min(left_ms, max(0, math.ceil((deadline - time.monotonic()) * _MS_PER_SECOND)))
        code, *item = wait_once(left_ms)
        _log.forward()
        if code == _tarn.OK:
            return item
        if code == _tarn.ERR_NOT_CONNECTED:
            return None
        if code != _tarn.ERR_TIMEOUT:
            raise error_for(code)
        if deadline is not None and time.monotonic() >= deadline:
            raise error_for(code)


class Stream:
    """A stream of frames from one sensor, on its own socket and library threads.

    ``device`` is the sensor's address (dotted quad) and ``device_port`` its measurement source
    port; datagrams from ``alternate_port`` are taken too. ``local_port`` 0 binds a free port
    (see ``local_port`` afterwards). Raises tarn.ConnectError when the stream cannot be opened.
    Use it as a context manager, or call close(); any thread may call any method.
    """

    def __init__(self, device: Optional[str], device_port: int = DEFAULT_ALTERNATE_PORT,
                 local_port: int = 0, local_address: str = "",
                 alternate_port: int = DEFAULT_ALTERNATE_PORT, receive_buffer_bytes: int = 0, *,
                 _handle: Optional[_tarn.Stream] = None) -> None:
        try:
            if _handle is None:
                _handle = _tarn.Stream(device, device_port, local_address, local_port,
                                       alternate_port, receive_buffer_bytes)
            self._handle = _handle
        finally:
            _log.forward()

    @property
    def local_port(self) -> int:
        """The local UDP port the stream is bound to."""
        return self._handle.local_port()

    def frames(self, timeout: Optional[float] = 1.0) -> Iterator[Frame]:
        """Yields every frame in arrival order, each once (with several readers of one stream,
        each frame goes to one of them). Frames wait for the reader in a queue of 8; when the
        reader falls further behind, the oldest are dropped and counted (stats()
        ``frame_queue_dropped``). Raises tarn.TimeoutError when no frame arrives within timeout
        seconds (None or math.inf waits without limit; NaN raises ValueError at once); ends once
        the stream is closed. The GIL is released while waiting.

        The KESO connection's stream (default_stream()) gives the newest frame not given before
        instead, since its every-frame callback belongs to the application; it ends when the
        connection is disconnected."""
        return self._frames(_limit(timeout))

    def _frames(self, limit: Optional[float]) -> Iterator[Frame]:
        while True:
            item = _wait(self._handle.wait_frame, limit)
            if item is None:
                return
            points, info = item
            yield Frame(points, FrameInfo(**info))

    def latest(self) -> Frame:
        """The latest frame, whether or not frames() has returned it. Raises tarn.StreamError
        (code -14) before the first frame."""
        points = new_grid()
        try:
            info = self._handle.latest(points)
        finally:
            _log.forward()
        return Frame(points, FrameInfo(**info))

    def stats(self) -> Dict[str, int]:
        """The stream's counters (tarn_stream_stats) as a dict, with ``frame_queue_dropped`` and
        ``imu_queue_dropped``: frames and IMU samples dropped because frames() or imu() did not
        keep up (the newest 8 frames and 4096 samples are kept)."""
        return self._handle.stats()

    def imu(self, timeout: Optional[float] = 1.0) -> Iterator[ImuSample]:
        """Yields IMU samples in arrival order; timeout as for frames()."""
        return self._imu(_limit(timeout))

    def _imu(self, limit: Optional[float]) -> Iterator[ImuSample]:
        while True:
            item = _wait(self._handle.wait_imu, limit)
            if item is None:
                return
            yield ImuSample(*item[0])

    @_log.forwarding
    def close(self) -> None:
        """Stops the stream and frees its socket; a second call does nothing. Waits for calls
        on other threads to leave the library (at most 0.1 s)."""
        self._handle.close()

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class _DefaultStream(Stream):
    """The KESO connection (KESOConnectDevice), to read only: close() leaves it connected."""

    def __init__(self) -> None:
        super().__init__(None, _handle=_tarn.default_stream())

    def imu(self, timeout: Optional[float] = 1.0) -> Iterator[ImuSample]:
        raise StreamError(None, "IMU samples of the KESO connection go to its registered callback")


def default_stream() -> Stream:
    """The KESO connection's stream for frames(), latest() and stats(). frames() ends when the
    connection is disconnected; before it connects, latest() raises tarn.StreamError."""
    return _DefaultStream()


@_log.forwarding
def connect_device(local_port: int, device: str, device_port: int) -> None:
    """KESOConnectDevice: connects the process's KESO connection (raises tarn.ConnectError)."""
    _tarn.connect_device(local_port, device, device_port)


@_log.forwarding
def disconnect_device() -> None:
    """KESODisconnectDevice: ends the KESO connection (pauses 0.1 s)."""
    _tarn.disconnect_device()
