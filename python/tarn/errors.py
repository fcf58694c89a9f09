"""The exceptions of tarn: every library result code becomes a tarn.Error.

Each error carries ``code`` (the library's result code) and ``message`` (the library's text for
it). The subclass says which family the code belongs to.
"""

from __future__ import annotations

import builtins
from typing import Dict, Optional, Tuple, Type


class Error(Exception):
    """A library call failed; ``code`` is its result code, ``message`` the library's text."""

    def __init__(self, code: Optional[int], message: str) -> None:
        super().__init__(code, message)
        self.code = code
        self.message = message

    def __str__(self) -> str:
        return self.message if self.code is None else f"{self.message} (code {self.code})"


class ConnectError(Error):
    """A stream could not be opened, or the KESO connection could not be made."""


class StreamError(Error):
    """A stream or decoder call failed: closed, not connected, or no frame yet."""


class TimeoutError(StreamError, builtins.TimeoutError):
    """No new frame or IMU sample arrived within the time-out."""


class DecodeError(Error):
    """A datagram handed to a Decoder was refused."""


class ControlLinkError(Error):
    """The control connection to the sensor was not made."""


class ControlCommandError(Error):
    """The control connection was made, but the sensor did not carry out the command."""


class GeometryError(Error):
    """A rotation was refused."""


class AngleError(Error):
    """The plane angle measurement is not enabled (its PlaneAngle was closed)."""


class AngleInUseError(Error):
    """A second PlaneAngle while one is live: the measurement is process-wide."""

    def __init__(self, message: str) -> None:
        super().__init__(None, message)


class McapError(Error, OSError):
    """Recording into an MCAP file failed (a full disk, a chunk not compressed), or a file's
    frames could not be read back."""


# The codes of the messages and MCAP interfaces (tarn/messages.h, tarn/mcap.h), named by
# tarn_mcap_strerror.
_MCAP_CODES = (-40, -41, -43, -50, -51, -52, -54, -55, -56, -57, -58)

# Result codes by family; tarn.h and KESOApi.h name them.
_FAMILIES: Dict[Type[Error], Tuple[int, ...]] = {
    ConnectError: (-2, -3, -4, -5, -6, -7, -8, -9, -10, -11, -2000, -1999, -1998),
    StreamError: (-1, -12, -13, -14, -16, -1995, -1992),
    TimeoutError: (-15,),
    DecodeError: (-17,),
    ControlLinkError: (2, -1990, -1989),
    ControlCommandError: (-1988, -1987, -18),
    GeometryError: (-1986,),
    AngleError: (-98, -99, -100),
    McapError: _MCAP_CODES,
}
_CLASS_OF_CODE = {code: cls for cls, codes in _FAMILIES.items() for code in codes}


def error_for(code: int) -> Error:
    """The exception for a library result code, with the library's message."""
    from tarn import _tarn  # here, since the extension imports this module while it loads

    text = _tarn.mcap_strerror(code) if code in _MCAP_CODES else _tarn.strerror(code)
    return _CLASS_OF_CODE.get(code, Error)(code, text)
