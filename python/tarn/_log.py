"""The library's printed lines go to the logger "tarn" instead of standard output and error.

The library prints on its own threads too, so its lines wait in the extension until a tarn call
on a Python thread hands them on: every public call that may make the library print does.
"""

from __future__ import annotations

import atexit
import functools
import logging
from typing import Any, Callable, TypeVar, cast

from tarn import _tarn

logger = logging.getLogger("tarn")
F = TypeVar("F", bound=Callable[..., Any])


def forward() -> None:
    """Hands the library's waiting lines to the logger."""
    lines, dropped = _tarn.take_log()
    for line in lines:
        logger.warning("%s", line)
    if dropped:
        logger.warning("%d earlier lines of the library were dropped", dropped)


def forwarding(function: F) -> F:
    """Decorates a call that may make the library print."""

    @functools.wraps(function)
    def call(*args: Any, **kwargs: Any) -> Any:
        try:
            return function(*args, **kwargs)
        finally:
            forward()

    return cast(F, call)


_tarn.capture_log(True)
atexit.register(forward)
