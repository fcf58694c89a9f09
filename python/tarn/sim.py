"""The simulated sensor, for trying tarn and for tests without hardware.

It streams frames of a flat wall, turned by ``tilt`` degrees about the vertical axis, to
``address``:``port`` on loopback, with IMU samples between them, and optionally serves the
control port 6501 on the loopback address ``control``. Frames carry their frame number (from 0
here, ``first_frame`` changes it) as timestamp.

Its keywords are the options of the simulated sensor's option table (``OPTIONS``), the same ones
``tarn sim`` takes, with ``_`` for ``-`` (``pixel_type`` for ``--pixel-type``) and ``source`` for
``source-address``; values are checked there, and a refused one raises ValueError.
"""

from tarn import _tarn

#: The option table: dicts of name, alias, syntax, help, default, repeated and flag.
OPTIONS = tuple(_tarn.sim_options())

#: Faults by kind, each a tuple: ("drop", frame, datagram), ("duplicate", ...),
#: ("reorder", ...), ("foreign", ...), ("truncate", frame, datagram, length) and
#: ("corrupt", frame, datagram, offset, value). Frames count from 0, the first frame sent;
#: datagrams from 0, negative from the end.
FAULT_KINDS = ("drop", "duplicate", "reorder", "foreign", "truncate", "corrupt")

#: Control commands, for Sensor.control_fault.
GET_PKG_SIZE, SET_PKG_SIZE, SET_NET, GET_NET = 0x0001, 0x0002, 0x0201, 0x0202

# The option each fault kind is given as.
_FAULT_OPTIONS = {"drop": "drop", "duplicate": "duplicate", "reorder": "delay",
                  "foreign": "foreign", "truncate": "truncate", "corrupt": "corrupt"}
# Keywords whose option has another name.
_RENAMED = {"source": "source-address"}
# Frames are numbered from 0 here, as the tests and the decoder's examples count them.
_FIRST_FRAME = 0


def _config(port=None, frames=None, control=None, faults=(), **options):
    config = _tarn.SimConfig()

    def put(keyword, name, value):
        try:
            config.set(name, str(value))
        except KeyError:
            raise TypeError(f"unexpected keyword argument '{keyword}'") from None
        except ValueError as refused:
            raise ValueError(f"{keyword} {refused}") from None

    put("first_frame", "first-frame", options.pop("first_frame", _FIRST_FRAME))
    if port is None:
        put("port", "no-stream", "")
    else:
        put("port", "port", port)
    if frames is not None:
        put("frames", "frames", frames)
    if control is not None:
        put("control", "control", control)
    for keyword, value in options.items():
        put(keyword, _RENAMED.get(keyword, keyword.replace("_", "-")), value)
    for kind, *numbers in faults:
        if kind not in _FAULT_OPTIONS:
            raise ValueError(f"unknown fault '{kind}': " + ", ".join(FAULT_KINDS))
        put("faults", _FAULT_OPTIONS[kind], ":".join(str(number) for number in numbers))
    return config


# Options taken by Sensor's own keywords, or not as keywords ("from" is a word of Python).
_NOT_KEYWORDS = ("to", "from", "port", "frames", "no-stream", "control")


def _keywords():
    lines = []
    for option in (o for o in OPTIONS if o["name"] not in _NOT_KEYWORDS):
        keyword = {v: k for k, v in _RENAMED.items()}.get(option["name"], option["name"])
        default = f" [{option['default']}]" if option["default"] else ""
        lines.append(f"    {keyword.replace('-', '_')}: " + " ".join(option["help"].split())
                     + default)
    return "\n".join(lines)


class Sensor:
    """The simulated sensor; streams on its own thread between start() and stop(), or inside a
    with block.

    port: where the frames go (None: no frames, only the control port). frames: how many to
    send (None: until stopped). faults: see FAULT_KINDS. control: a 127.x.y.z address to serve
    the control port on. The other keywords, with their defaults:
    """

    def __init__(self, port=7001, *, frames=None, faults=(), control=None, **options):
        self._config = _config(port=port, frames=frames, control=control, faults=faults, **options)
        self._sensor = _tarn.SimSensor(self._config)

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
        """Stops streaming, within a few milliseconds; the control port keeps serving."""
        self._sensor.stop()

    def counters(self):
        """What was sent so far: frames, datagrams, point_datagrams, imu, send_errors, each fault
        (dropped, duplicated, reordered, truncated, corrupted, foreign) and the control port's
        control_connections and control_requests. Also after close()."""
        return self._sensor.counters()

    def expected(self, row, column, frame):
        """Cell (row, column) of frame number ``frame`` as the library decodes it from 10-byte
        pixels: a dict of distance, intensity, x, y, z. Other pixel types carry a part of it."""
        return self._config.expected(row, column, frame)

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


Sensor.__doc__ += "\n" + _keywords() + "\n"


def encode_frame(frame, **options):
    """The datagrams (bytes) of frame number ``frame`` of the simulated wall, in sending order,
    for a tarn.Decoder; the keywords are Sensor's (tilt, distance, noise, seed, pixel_type, tag,
    ...)."""
    return _config(**options).encode_frame(frame)
