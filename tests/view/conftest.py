import os
import re
import subprocess
import time

import pytest

TARN = os.environ.get("TARN_COMMAND", "tarn")
URL = re.compile(r"open http://127\.0\.0\.1:(\d+)/")


class View:
    """A running `tarn view` on a free loopback port, stopped at the end of the test."""

    def __init__(self, *options):
        self.process = subprocess.Popen(
            [TARN, "view", "--port", "0", "--duration", "120", *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines = []
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            line = self.process.stdout.readline()
            if not line:
                break
            self.lines.append(line)
            match = URL.search(line)
            if match:
                self.port = int(match.group(1))
                return
        self.stop()
        raise AssertionError("tarn view printed no URL: %r %s" % (self.lines, self.process.stderr.read()))

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def stop(self):
        """Ends the process (SIGINT, as Ctrl-C) and returns its remaining standard output."""
        if self.process.poll() is None:
            self.process.send_signal(2)
        out, _ = self.process.communicate(timeout=20)
        return out


@pytest.fixture
def view():
    views = []

    def start(*options):
        v = View(*options)
        views.append(v)
        return v

    yield start
    for v in views:
        v.stop()
        # A sanitizer's report, or any failure, ends the tool with another status.
        assert v.process.returncode in (0, -2), v.process.stderr.read()
