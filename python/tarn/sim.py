"""The simulated sensor, for trying tarn and for tests without hardware.

It streams frames of a flat wall, turned by ``tilt`` degrees about the vertical axis, to
``address``:``port`` on loopback, with IMU samples between them, and optionally serves the
control port 6501 on the loopback address ``control``. Frames carry their frame number (from 0)
as timestamp.
"""

from tarn import _tarn

#: Faults by kind, each a tuple: ("drop", frame, datagram), ("duplicate", ...),
#: ("reorder", ...), ("foreign", ...), ("truncate", frame, datagram, length) and
#: ("corrupt", frame, datagram, offset, value). Frames count from 0, the first frame sent;
#: datagrams from 0, negative from the end.
FAULT_KINDS = ("drop", "duplicate", "reorder", "foreign", "truncate", "corrupt")

#: Control commands, for Sensor.control_fault.
GET_PKG_SIZE, SET_PKG_SIZE, SET_NET, GET_NET = 0x0001, 0x0002, 0x0201, 0x0202


def _options(port=None, frames=None, control=None, faults=(), **settings):
    options = _tarn.SimOptions()
    options.port = 0 if port is None else port
    options.frames = frames or 0
    options.control = control or ""
    for name, value in settings.items():
        setattr(options, name, value)
    for kind, frame, datagram, *rest in faults:
        offset, value = (list(rest) + [0, 0])[:2]  # truncate: the length as offset
        options.add_fault(kind, frame, datagram, offset, value)
    return options


class Sensor:
    """The simulated sensor; streams on its own thread between start() and stop(), or inside a
    with block.

    port: where the frames go (None: no frames, only the control port). frames: how many to
    send (None: until stopped). pixel_type: 0 (distance), 1 (x y z) or 2 (both). loss,
    duplicates, reorder: share of datagrams hit at random; faults: see FAULT_KINDS. control: a
    127.x.y.z address to serve the control port on.
    """

    def __init__(self, port=7001, *, address="127.0.0.1", source="127.0.0.1", source_port=6301,
                 tilt=12.0, distance=2000.0, noise=2.0, seed=1, fps=15.0, frames=None,
                 pixel_type=2, imu_rate=100.0, tag=0, spread=0.5, loss=0.0, duplicates=0.0,
                 reorder=0.0, faults=(), control=None):
        options = _options(port=port, frames=frames, control=control, faults=faults,
                           address=address, source=source, source_port=source_port, tilt=tilt,
                           distance=distance, noise=noise, seed=seed, fps=fps,
                           pixel_type=pixel_type, imu_rate=imu_rate, tag=tag, spread=spread,
                           loss=loss, duplicates=duplicates, reorder=reorder)
        self._sensor = _tarn.SimSensor(options)

    @property
    def source_port(self):
        """The UDP port the frames come from."""
        return self._sensor.source_port

    def start(self):
        """Starts streaming; a second call does nothing."""
        self._sensor.start()
        return self

    def wait(self, timeout):
        """True once every frame asked for is sent, within timeout seconds."""
        return self._sensor.wait(timeout)

    def stop(self):
        """Stops streaming, within one frame period; the control port keeps serving."""
        self._sensor.stop()

    def counters(self):
        """What was sent: frames, datagrams, imu, send_errors, dropped. After the stream ended."""
        return self._sensor.counters()

    def expected(self, row, column, frame):
        """Cell (row, column) of frame number ``frame`` as the library decodes it from 10-byte
        pixels: a dict of distance, intensity, x, y, z. Other pixel types carry a part of it."""
        return self._sensor.expected(row, column, frame)

    @property
    def settings(self):
        """The 44-byte network settings the control port serves."""
        return self._sensor.settings()

    @settings.setter
    def settings(self, record):
        self._sensor.set_settings(bytes(record))

    def control_fault(self, command, fault, replies=-1, status=1):
        """Spoils the replies to a control command: fault is one of refuse, wrong-command,
        wrong-head-crc, wrong-data-len, wrong-data-crc, truncated-data, split, late, silent,
        close-mid-reply; replies -1 spoils every reply."""
        self._sensor.set_control_fault(command, fault, replies, status)

    def clear_control_faults(self):
        self._sensor.clear_control_faults()

    def received_commands(self):
        """The control commands received so far, in order."""
        return self._sensor.received_commands()

    def close(self):
        """Stops streaming and serving the control port; a second call does nothing."""
        self._sensor.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()


def encode_frame(frame, *, tilt=12.0, distance=2000.0, noise=2.0, seed=1, pixel_type=2, tag=0):
    """The datagrams (bytes) of frame number ``frame`` of the simulated wall, in sending order,
    for a tarn.Decoder."""
    options = _options(tilt=tilt, distance=distance, noise=noise, seed=seed,
                       pixel_type=pixel_type, tag=tag)
    return _tarn.sim_encode_frame(options, frame)
