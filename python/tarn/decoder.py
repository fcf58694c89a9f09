"""Decoding datagrams without a socket, exactly as a stream decodes them."""

from tarn import _log, _tarn
from tarn.errors import error_for
from tarn.frame import Frame, FrameInfo, ImuSample, new_grid


class Decoder:
    """Takes the sensor's datagrams in arrival order and completes frames from them.

    One thread at a time per decoder. Use it as a context manager, or call close().
    """

    def __init__(self):
        self._handle = _tarn.Decoder()

    @_log.forwarding
    def push(self, datagram, receive_monotonic_ns=0, receive_realtime_ns=0):
        """Hands over one datagram (bytes-like). Returns the Frame it completed, the ImuSample
        it carried, or None. Raises tarn.DecodeError for an empty datagram."""
        code = self._handle.push(bytes(datagram), receive_monotonic_ns, receive_realtime_ns)
        if code == _tarn.FRAME_READY:
            points = new_grid()
            return Frame(points, FrameInfo(**self._handle.frame(points)))
        if code == _tarn.IMU_READY:
            return ImuSample(*self._handle.imu())
        if code < 0:
            raise error_for(code)
        return None

    def frames(self, datagrams):
        """Yields the frames completed by an iterable of datagrams."""
        for datagram in datagrams:
            item = self.push(datagram)
            if isinstance(item, Frame):
                yield item

    def stats(self):
        """The decoder's counters, as Stream.stats() gives them (the socket counters stay 0)."""
        return self._handle.stats()

    def close(self):
        """Frees the decoder; a second call does nothing."""
        self._handle.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
