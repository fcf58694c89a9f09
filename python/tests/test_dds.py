"""tarn.dds over the library's DDS publisher, on the committed loopback configuration and a
domain of its own (the publisher's threads and the subscriber side are in tests/dds)."""
import pathlib
import time

import pytest

import tarn
from tarn import _tarn

from conftest import SANITIZER

LOOPBACK = pathlib.Path(__file__).resolve().parents[2] / "tests" / "dds" / "loopback.xml"

# Cyclone DDS is not instrumented and the interpreter reads no suppressions of it.
pytestmark = pytest.mark.skipif(SANITIZER == "thread", reason="uninstrumented Cyclone DDS")


def test_a_frame_is_published_and_counted_and_a_closed_publisher_refuses():
    with tarn.Decoder() as decoder:
        frame = next(iter(decoder.frames(_tarn.SimConfig().encode_frame(0))))
    publisher = tarn.dds.Publisher(domain=46, dds_config=str(LOOPBACK))
    with pytest.raises(RuntimeError, match="namespace"):
        publisher.add_sensor("2front")
    front = publisher.add_sensor("front")
    front.publish(frame)
    for _ in range(200):
        points = front.stats()["points"]
        if points["published"] + points["not_published"] == 1:
            break
        time.sleep(0.01)
    assert points["offered"] == 1 and points["published"] == 1 and points["failed"] == 0
    publisher.close()
    with pytest.raises(RuntimeError, match="closed"):
        front.publish(frame)
