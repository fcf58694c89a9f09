"""ROS 2 topics over DDS (Eclipse Cyclone DDS), with no ROS installation.

    import tarn, tarn.dds
    with tarn.dds.Publisher(domain=42) as publisher:
        front = publisher.add_sensor("front", frame_id="front_link")
        with tarn.Stream(device="192.168.1.10", device_port=6301, local_port=7001) as stream:
            for frame in stream.frames(timeout=1.0):
                front.publish(frame)

Each sensor publishes /NS/points, /NS/depth/image, /NS/intensity/image and /NS/diagnostics as
ROS 2 does (DDS topics rt/NS/..., types sensor_msgs::msg::dds_::PointCloud2_ and so on). Data
topics use ROS 2's sensor-data QoS (best effort, keep last 5) unless ``reliable``; diagnostics
are reliable, once a second. ``dds_config`` is a Cyclone DDS configuration file or XML text;
without it CYCLONEDDS_URI applies. ``domain=None`` reads ROS_DOMAIN_ID as ROS 2 does.
"""

import dataclasses

from tarn import _tarn


class Sensor:
    """One sensor's topics. ``publish`` serialises the frame and returns; a thread of the
    publisher writes it."""

    def __init__(self, native, namespace):
        self._native = native
        self.namespace = namespace

    def publish(self, frame):
        """Publishes a tarn.Frame as points, depth/image and intensity/image."""
        info = dataclasses.astuple(frame.info)
        self._native.publish_frame(frame.points, info)

    def stats(self):
        """Per topic: offered, published, not_published, failed and subscribers."""
        return self._native.stats()


class Publisher:
    """One DDS participant; any number of sensors publish through it."""

    def __init__(self, domain=None, dds_config=None, reliable=False, depth=5,
                 reliable_diagnostics=True, diagnostics_period=1.0):
        self._native = _tarn.DdsPublisher(-1 if domain is None else int(domain), dds_config or "",
                                      bool(reliable), int(depth), bool(reliable_diagnostics),
                                      int(round(diagnostics_period * 1000)))
        self._sensors = []

    def add_sensor(self, namespace="tarn", frame_id=None):
        """A sensor publishing under /namespace, its messages' frame_id ``frame_id`` (default:
        the namespace with '/' as '_')."""
        if frame_id is None:
            frame_id = namespace.replace("/", "_")
        sensor = Sensor(self._native.add_sensor(namespace, frame_id), namespace)
        self._sensors.append(sensor)
        return sensor

    def close(self):
        """Stops the publisher's thread and removes its writers from the network."""
        self._native.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
