"""Decoding datagrams without a socket, exactly as a stream decodes them, and recordings."""

from __future__ import annotations

import os
from typing import Dict, Iterable, Iterator, Optional, Union

from tarn import _log, _tarn
from tarn.errors import error_for
from tarn.frame import Frame, FrameInfo, ImuSample, new_grid

# Every measurement datagram starts with these bytes.
_MEASUREMENT_MAGIC = b"\x5a\xa5"


class Decoder:
    """Takes the sensor's datagrams in arrival order and completes frames from them.

    One thread at a time per decoder. Use it as a context manager, or call close().
    """

    def __init__(self) -> None:
        self._handle = _tarn.Decoder()

    @_log.forwarding
    def push(self, datagram: Union[bytes, bytearray, memoryview], receive_monotonic_ns: int = 0,
             receive_realtime_ns: int = 0) -> Union[Frame, ImuSample, None]:
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

    def frames(self, datagrams: Iterable[Union[bytes, bytearray, memoryview]]) -> Iterator[Frame]:
        """Yields the frames completed by an iterable of datagrams."""
        for datagram in datagrams:
            item = self.push(datagram)
            if isinstance(item, Frame):
                yield item

    def stats(self) -> Dict[str, int]:
        """The decoder's counters, as Stream.stats() gives them (the socket counters stay 0)."""
        return self._handle.stats()

    def close(self) -> None:
        """Frees the decoder; a second call does nothing."""
        self._handle.close()

    def __enter__(self) -> "Decoder":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def read_pcap(path: Union[str, "os.PathLike[str]"], source: Optional[str] = None) -> Iterator[Frame]:
    """Yields the frames of a recording: a pcap file of the sensor's datagrams, as tarn record
    writes it (or tcpdump on Ethernet, Linux "any", raw IP or loopback links). Its measurement
    datagrams go through one Decoder in capture order, each with its capture time as
    receive_realtime_ns. ``source`` ("a.b.c.d" or "a.b.c.d:port") keeps one sensor's datagrams of
    a recording of several. Raises OSError when the file is no capture or is damaged."""
    if not hasattr(_tarn, "PcapFile"):
        raise NotImplementedError("this build of tarn reads no recordings (TARN_BUILD_TOOLS=OFF)")
    address, _, port = (source or "").partition(":")
    with Decoder() as decoder:
        for payload, time_ns, from_address, from_port in _tarn.PcapFile(os.fspath(path)):
            if not payload.startswith(_MEASUREMENT_MAGIC):
                continue
            if address and (from_address != address or (port and from_port != int(port))):
                continue
            item = decoder.push(payload, 0, time_ns)
            if isinstance(item, Frame):
                yield item
