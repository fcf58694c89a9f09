import contextlib
import os
import random
import socket

import pytest

import tarn

# Set by the build for a module built with a sanitizer ("address" or "thread").
SANITIZER = os.environ.get("TARN_PYTHON_SANITIZER", "")


def loopback_address():
    """An address of 127.0.0.0/8 that no other test is likely to use at the same time."""
    draw = random.SystemRandom().randint
    return f"127.{draw(1, 254)}.{draw(0, 255)}.{draw(1, 254)}"


def free_udp_port(address):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind((address, 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def _simulated(**sensor_options):
    address = loopback_address()
    source_port = free_udp_port(address)
    with tarn.Stream(device=address, device_port=source_port) as stream, tarn.sim.Sensor(
        port=stream.local_port, source=address, source_port=source_port, **sensor_options
    ) as sensor:
        yield stream, sensor


@pytest.fixture
def simulated():
    """simulated(**sensor_options): a stream, and the simulated sensor streaming to it from an
    address of their own."""
    return _simulated
