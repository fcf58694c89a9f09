"""The sensor's control connection: its 44-byte network settings, the address check, CRC-8."""

from tarn import _log, _tarn

#: Bytes of the sensor's network settings record.
NET_INFO_BYTES = 44


@_log.forwarding
def get_net_info(ip, timeout_ms):
    """Reads the sensor's network settings over the control connection to port 6501 of ip, the
    connection made within timeout_ms. Returns 44 bytes. Raises tarn.ControlLinkError (-1989)
    when the connection is not made, tarn.ControlCommandError (-1987) when the settings are not
    read. Calls from several threads take turns; the GIL is released meanwhile."""
    return _tarn.get_net_info(ip, timeout_ms)


@_log.forwarding
def set_net_info(ip, timeout_ms, info):
    """Writes 44 bytes of network settings to the sensor at ip. Raises tarn.ControlLinkError
    (-1990) or tarn.ControlCommandError (-1988) when the sensor does not confirm them."""
    return _tarn.set_net_info(ip, timeout_ms, bytes(info))


class Control:
    """A control handle for one sensor: reads and writes its network settings over the control
    connection to port 6501 of ip, each connection made within timeout_ms. Handles of different
    sensors work in parallel from several threads (the GIL is released while a call waits);
    threads sharing one handle take turns. Each call connects, runs its command and disconnects,
    as get_net_info and set_net_info do, and raises the same errors; besides them, tarn.Error
    with code -18 when the reply's data CRC does not match its data. Use it as a context manager
    or call close()."""

    def __init__(self, ip, timeout_ms):
        self._handle = _tarn.Control(ip, timeout_ms)

    @property
    def address(self):
        """The sensor's address, as given."""
        return self._handle.address

    @property
    def closed(self):
        return self._handle.closed

    @_log.forwarding
    def get_net_info(self):
        """The sensor's 44 bytes of network settings."""
        return self._handle.get_net_info()

    @_log.forwarding
    def set_net_info(self, info):
        """Writes 44 bytes of network settings to the sensor."""
        self._handle.set_net_info(bytes(info))

    def close(self):
        """Closes the handle; a call running on another thread finishes first. Idempotent."""
        self._handle.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def check_ip_format(text):
    """True exactly when text is a dotted-quad IPv4 address (components 0 to 255)."""
    return _tarn.check_ip_format(text)


def crc8(data, init=0):
    """The sensor's CRC-8 (polynomial 0x31, no reflection, no final XOR) of bytes-like data."""
    return _tarn.crc8(bytes(data), init)
