# tarn view's Foxglove WebSocket server, as a client sees it: channels, PointCloud2 messages
# decoded here from their CDR bytes, strict handling of client messages, slow clients.
import asyncio
import csv
import json
import math
import os
import re
import select
import socket
import struct
import subprocess
import tempfile
import time

import websockets

from conftest import TARN

SUBPROTOCOL = "foxglove.websocket.v1"


def connect(port, **kw):
    return websockets.connect("ws://127.0.0.1:%d/" % port, subprotocols=[SUBPROTOCOL],
                                    max_size=None, open_timeout=10, **kw)


async def channels_of(ws):
    info = json.loads(await asyncio.wait_for(ws.recv(), 10))
    advertise = json.loads(await asyncio.wait_for(ws.recv(), 10))
    assert info["op"] == "serverInfo" and advertise["op"] == "advertise"
    return {c["topic"]: c for c in advertise["channels"]}


async def next_data(ws, timeout=10):
    while True:
        m = await asyncio.wait_for(ws.recv(), timeout)
        if isinstance(m, bytes):
            assert m[0] == 1
            sub, stamp = struct.unpack_from("<IQ", m, 1)
            return sub, stamp, m[13:]


class Cdr:
    def __init__(self, data):
        assert data[:4] == b"\x00\x01\x00\x00"
        self.data, self.at = data, 4

    def align(self, n):
        self.at += (-(self.at - 4)) % n

    def take(self, fmt):
        self.align(struct.calcsize(fmt))
        v = struct.unpack_from("<" + fmt, self.data, self.at)[0]
        self.at += struct.calcsize(fmt)
        return v

    def string(self):
        n = self.take("I")
        s = self.data[self.at:self.at + n - 1].decode()
        self.at += n
        return s


def decode_point_cloud(data):
    c = Cdr(data)
    c.take("i"), c.take("I"), c.string()  # header
    height, width = c.take("I"), c.take("I")
    fields = {}
    for _ in range(c.take("I")):
        name = c.string()
        fields[name] = (c.take("I"), c.take("B"), c.take("I"))
    big_endian, point_step, row_step = c.take("B"), c.take("I"), c.take("I")
    n = c.take("I")
    body = c.data[c.at:c.at + n]
    assert (height, width, point_step, row_step, big_endian, n) == (150, 360, 24, 8640, 0, 150 * 360 * 24)
    return fields, body


def f32(text):
    return struct.unpack("<f", struct.pack("<f", float(text)))[0]


def simulated_frame_csv():
    """A frame of the same simulated wall, as `tarn stream --save` writes it."""
    with tempfile.TemporaryDirectory() as d:
        subprocess.run([TARN, "stream", "--frames", "2", "--save", d], check=True,
                       stdout=subprocess.DEVNULL, timeout=60)
        name = [f for f in os.listdir(d) if f.endswith(".csv")][0]
        with open(os.path.join(d, name)) as f:
            return {(int(r["row"]), int(r["column"])): r for r in csv.DictReader(f)}


def test_subscribe_decode_unsubscribe(view):
    v = view()
    expected = simulated_frame_csv()

    async def run():
        async with connect(v.port) as ws:
            channels = await channels_of(ws)
            for kind in ("points", "depth", "intensity", "diagnostics", "imu"):
                c = channels["/tarn/" + kind]
                assert c["encoding"] == "cdr" and c["schemaEncoding"] == "ros2msg"
            points = channels["/tarn/points"]
            assert points["schemaName"] == "sensor_msgs/msg/PointCloud2"
            assert points["schema"].startswith("# This message holds")
            await ws.send(json.dumps({"op": "subscribe",
                                      "subscriptions": [{"id": 7, "channelId": points["id"]}]}))
            for _ in range(3):
                sub, stamp, data = await next_data(ws)
                assert sub == 7 and abs(stamp / 1e9 - time.time()) < 60
                fields, body = decode_point_cloud(data)
                assert {k: fields[k][0] for k in fields} == {
                    "x": 0, "y": 4, "z": 8, "intensity": 12, "distance": 16, "row": 20, "column": 22}
                complete = not any(math.isnan(struct.unpack_from("<f", body, i * 24)[0])
                                   for i in range(0, 54000, 97))
                if complete:
                    break
            assert complete
            for i in range(150 * 360):
                x, y, z, intensity, distance, row, column = struct.unpack_from("<5f2H", body, i * 24)
                r = expected[(i // 360, i % 360)]
                assert (row, column) == (i // 360, i % 360)
                # y and z are the wall's grid; x and the distance carry the simulated noise.
                assert (y, z) == (f32(r["y"]), f32(r["z"]))
                assert abs(x - float(r["x"])) < 5 and abs(distance - float(r["distance"])) < 5
                assert 0 <= intensity <= 255
            # Messages sent before the unsubscribe may still arrive; none after the first
            # message of a subscription made after it.
            await ws.send(json.dumps({"op": "unsubscribe", "subscriptionIds": [7]}))
            await ws.send(json.dumps({"op": "subscribe", "subscriptions": [
                {"id": 8, "channelId": channels["/tarn/depth"]["id"]}]}))
            after = []
            while len(after) < 4:
                sub, _, _ = await next_data(ws)
                if after or sub == 8:
                    after.append(sub)
            assert after == [8] * 4

    asyncio.run(run())


def test_a_recording_plays_every_frame_it_holds(view, tmp_path):
    capture = str(tmp_path / "capture.pcap")
    subprocess.run([TARN, "record", capture, "--frames", "6"], check=True,
                   stdout=subprocess.DEVNULL, timeout=60)
    # The same recording through tarn stream: its frame count, and its last frame as PLY, whose
    # points have PointCloud2's layout.
    played = subprocess.run([TARN, "stream", capture, "--save", str(tmp_path)], check=True,
                            capture_output=True, text=True, timeout=60).stdout
    frames = int(re.search(r"tarn stream: (\d+) frames in", played).group(1))
    ply = [f for f in os.listdir(tmp_path) if f.endswith(".ply")][0]
    with open(tmp_path / ply, "rb") as f:
        last = f.read().split(b"end_header\n", 1)[1]
    v = view(capture, "--realtime")

    async def run():
        async with connect(v.port) as ws:
            points = (await channels_of(ws))["/tarn/points"]["id"]
            await ws.send(json.dumps({"op": "subscribe",
                                      "subscriptions": [{"id": 1, "channelId": points}]}))
            bodies = []
            try:
                while True:
                    bodies.append(decode_point_cloud((await next_data(ws, timeout=3))[2])[1])
            except asyncio.TimeoutError:
                return bodies

    bodies = asyncio.run(run())
    assert len(bodies) == frames and bodies[-1] == last
    assert "the recording ended after %d frames" % frames in v.stop()


BAD_MESSAGES = [
    b"\x01\x02",                                              # binary
    "not json",
    json.dumps({"op": "subscribe", "subscriptions": [{"id": -1, "channelId": 1}]}),
    json.dumps({"op": "subscribe", "subscriptions": [{"id": 1, "channelId": 999}]}),
    json.dumps({"op": "unsubscribe", "subscriptionIds": [42]}),  # never subscribed
    json.dumps({"op": "advertise", "channels": []}),
    "[" * 100 + "]" * 100,
    json.dumps({"op": "subscribe", "subscriptions": [{"id": 1, "channelId": 1}], "pad": "x" * 70000}),
]


def test_a_bad_client_message_closes_only_that_client(view):
    v = view()

    async def run():
        async with connect(v.port) as good:
            channels = await channels_of(good)
            await good.send(json.dumps({"op": "subscribe", "subscriptions": [
                {"id": 1, "channelId": channels["/tarn/depth"]["id"]}]}))
            await next_data(good)
            for bad in BAD_MESSAGES:
                async with connect(v.port) as ws:
                    await channels_of(ws)
                    await ws.send(bad)
                    try:
                        while True:
                            await asyncio.wait_for(ws.recv(), 10)
                    except websockets.ConnectionClosed as e:
                        assert e.rcvd is not None and e.rcvd.code in (1008, 1009), bad
                # The same subscription twice is out of order too.
            async with connect(v.port) as ws:
                await channels_of(ws)
                sub = json.dumps({"op": "subscribe", "subscriptions": [{"id": 3, "channelId": 1}]})
                await ws.send(sub)
                await ws.send(sub)
                try:
                    while True:
                        await asyncio.wait_for(ws.recv(), 10)
                except websockets.ConnectionClosed as e:
                    assert e.rcvd.code == 1008
            for _ in range(3):
                await next_data(good)

    asyncio.run(run())


def test_clients_keep_the_rate_beside_one_that_never_reads(view):
    v = view("--max-clients", "10", "--fps", "20")

    async def run():
        # One that subscribes to everything and then never reads: its socket fills up.
        stuck = socket.socket()
        stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stuck.connect(("127.0.0.1", v.port))
        async with connect(v.port) as probe:
            ids = [c["id"] for c in (await channels_of(probe)).values()]
        key = "dGhlIHNhbXBsZSBub25jZQ=="
        stuck.sendall(("GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
                       "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n"
                       "Sec-WebSocket-Protocol: %s\r\n\r\n" % (v.port, key, SUBPROTOCOL)).encode())
        body = json.dumps({"op": "subscribe", "subscriptions": [
            {"id": i, "channelId": c} for i, c in enumerate(ids)]}).encode()
        mask = b"\x01\x02\x03\x04"
        stuck.sendall(bytes([0x81, 0xFE]) + struct.pack(">H", len(body)) + mask +
                      bytes(b ^ mask[i % 4] for i, b in enumerate(body)))

        clients = [await connect(v.port) for _ in range(8)]
        for ws in clients:
            channels = await channels_of(ws)
            await ws.send(json.dumps({"op": "subscribe", "subscriptions": [
                {"id": 1, "channelId": channels["/tarn/depth"]["id"]}]}))
        counts = [0] * len(clients)

        async def read(i, ws, until):
            while time.monotonic() < until:
                await next_data(ws)
                counts[i] += 1

        until = time.monotonic() + 4
        await asyncio.gather(*(read(i, ws, until) for i, ws in enumerate(clients)))
        for ws in clients:
            await ws.close()
        # The server hangs up on the one that never reads, after 5 s without progress.
        poll = select.poll()
        poll.register(stuck, select.POLLRDHUP | select.POLLHUP | select.POLLERR)
        assert poll.poll(30000), ("the stalled client was not dropped", v.stop())
        stuck.close()
        return counts

    counts = asyncio.run(run())
    out = v.stop()
    summary = [l for l in out.splitlines() if "frames lost" in l]
    assert summary and " 0 frames lost" in summary[0], out
    # Every client kept up with the stream's own rate over its 4 s (a scheduling hiccup aside).
    match = re.search(r"after ([\d.]+) s: (\d+) frames", summary[0])
    rate = int(match.group(2)) / float(match.group(1))
    assert min(counts) >= 0.8 * 4 * rate, (counts, rate)
    # The one that never read did fall behind: its messages were skipped, not queued.
    skipped = int(summary[0].split(" skipped for slow clients")[0].rsplit(" ", 1)[1])
    assert skipped > 0, out
    assert "1 clients dropped for not reading" in summary[0], out


def test_each_sensor_has_its_own_channels(view):
    v = view("--sensors", "2")

    async def run():
        async with connect(v.port) as ws:
            channels = await channels_of(ws)
            assert sorted(channels) == sorted("/tarn%d/%s" % (n, kind) for n in (0, 1) for kind in (
                "points", "depth", "intensity", "diagnostics", "imu"))
            await ws.send(json.dumps({"op": "subscribe", "subscriptions": [
                {"id": n, "channelId": channels["/tarn%d/depth" % n]["id"]} for n in (0, 1)]}))
            seen = set()
            while seen != {0, 1}:
                seen.add((await next_data(ws))[0])

    asyncio.run(run())


def http(port, request, timeout=10):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        data = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
                if b"\r\n\r\n" in data and b"Content-Length: 0" in data:
                    break
        except (socket.timeout, ConnectionResetError):
            pass
        return data


def status_of(response):
    return int(response.split(b" ", 2)[1]) if response.startswith(b"HTTP/1.1 ") else None


def test_http_serves_the_page_and_nothing_else(view):
    v = view()
    host = b"Host: 127.0.0.1:%d\r\n" % v.port

    def get(path, headers=host):
        return http(v.port, b"GET " + path + b" HTTP/1.1\r\n" + headers + b"Connection: close\r\n\r\n")

    page = get(b"/")
    assert status_of(page) == 200 and b"viewer.js" in page
    assert status_of(get(b"/three.min.js")) == 200
    assert status_of(get(b"/", b"Host: localhost\r\n")) == 200
    for path in (b"/../../etc/passwd", b"/%2e%2e/%2e%2e/etc/passwd", b"/etc/passwd",
                 b"//usr/share/javascript/three/three.min.js", b"/viewer.js/../../x"):
        response = get(path)
        assert status_of(response) == 404 and b"root:" not in response, path
    assert status_of(get(b"/", b"Host: attacker.example:8765\r\n")) == 403
    started = time.monotonic()
    big = http(v.port, b"GET / HTTP/1.1\r\n" + host + b"X-Pad: " + b"a" * 40000 + b"\r\n\r\n")
    assert status_of(big) in (None, 400, 413, 431) and time.monotonic() - started < 10
    # A client that sends half a request and waits is closed within the handshake's bound.
    with socket.create_connection(("127.0.0.1", v.port), timeout=15) as s:
        s.sendall(b"GET / HTTP/1.1\r\n")
        started = time.monotonic()
        while s.recv(4096):
            pass
        assert time.monotonic() - started < 10
    assert status_of(get(b"/")) == 200  # still serving
