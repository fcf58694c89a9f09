"""tarn: frames of the KESO depth sensor as NumPy arrays.

    import tarn
    with tarn.Stream(device="192.168.1.10", device_port=2368, local_port=2368) as stream:
        for frame in stream.frames(timeout=1.0):
            print(frame.info.sequence, frame.xyz[75, 180])

Streams (Stream, default_stream), datagrams and recordings (Decoder, read_pcap), one way to read
frames from either (tarn.open("capture.pcap") or tarn.open("udp://192.168.1.10:2368")), the control connection
(get_net_info, set_net_info, check_ip_format, crc8), rotation and the plane angle (rotate,
PlaneAngle), MCAP files of ROS 2 messages (tarn.mcap.Writer; tarn.open reads them back), and a
simulated sensor (tarn.sim.Sensor; python3 -m tarn.demo). Failures raise
tarn.Error with the library's result code. The library's printed lines go to the logger "tarn".
"""

from tarn import _tarn
from tarn import dds, mcap, sim
from tarn.control import NET_INFO_BYTES, Control, check_ip_format, crc8, get_net_info, set_net_info
from tarn.decoder import Decoder, read_pcap
from tarn.errors import (AngleError, AngleInUseError, ConnectError, ControlCommandError,
                         ControlLinkError, DecodeError, Error, GeometryError, McapError,
                         StreamError, TimeoutError, error_for)
from tarn.frame import COLUMNS, POINT_DTYPE, ROWS, Frame, FrameInfo, ImuSample
from tarn.geometry import PlaneAngle, rotate
from tarn.source import Source, open
from tarn.stream import Stream, connect_device, default_stream, disconnect_device

__version__ = _tarn.version()
