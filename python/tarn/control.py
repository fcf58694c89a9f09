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


def check_ip_format(text):
    """True exactly when text is a dotted-quad IPv4 address (components 0 to 255)."""
    return _tarn.check_ip_format(text)


def crc8(data, init=0):
    """The sensor's CRC-8 (polynomial 0x31, no reflection, no final XOR) of bytes-like data."""
    return _tarn.crc8(bytes(data), init)
