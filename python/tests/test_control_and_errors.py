import pytest

import tarn
from conftest import loopback_address

# Settings as the simulated sensor lays them out: the address first.
ADDRESS_BYTES = slice(0, 4)


@pytest.fixture(scope="module")
def control():
    address = loopback_address()
    sensor = tarn.sim.Sensor(port=None, control=address)
    yield address, sensor
    sensor.close()


def test_get_and_set_net_info_against_the_simulated_sensor(control):
    address, sensor = control
    record = tarn.get_net_info(address, 1000)
    assert record == sensor.settings and len(record) == tarn.NET_INFO_BYTES
    assert list(record[ADDRESS_BYTES]) == [int(part) for part in address.split(".")]
    changed = bytes(range(44))
    tarn.set_net_info(address, 1000, bytearray(changed))
    assert sensor.settings == changed
    assert tarn.sim.GET_NET in sensor.received_commands()
    assert tarn.sim.SET_NET in sensor.received_commands()
    with pytest.raises(ValueError):
        tarn.set_net_info(address, 1000, b"\0" * 43)


def test_control_handles_of_several_sensors_work_in_parallel_threads():
    import threading

    addresses = [loopback_address() for _ in range(4)]
    sensors = [tarn.sim.Sensor(port=None, control=address) for address in addresses]
    try:
        for n, sensor in enumerate(sensors):
            sensor.settings = bytes([n]) * 44
        results = [None] * len(sensors)

        def work(n, address):
            with tarn.Control(address, 1000) as control:
                before = control.get_net_info()
                control.set_net_info(bytes([n + 100]) * 44)
                results[n] = (before, control.get_net_info(), control.address)

        threads = [threading.Thread(target=work, args=(n, address))
                   for n, address in enumerate(addresses)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for n, sensor in enumerate(sensors):
            assert results[n] == (bytes([n]) * 44, bytes([n + 100]) * 44, addresses[n])
            assert sensor.settings == bytes([n + 100]) * 44
    finally:
        for sensor in sensors:
            sensor.close()


def test_control_handle_reports_a_data_crc_mismatch_and_closes(control):
    address, sensor = control
    sensor.control_fault(tarn.sim.GET_NET, "wrong-data-crc")
    try:
        assert tarn.get_net_info(address, 1000) == sensor.settings  # accepted, as ever
        with tarn.Control(address, 1000) as handle:
            with pytest.raises(tarn.Error) as raised:
                handle.get_net_info()
            assert raised.value.code == -18
        assert handle.closed
        with pytest.raises(ValueError, match="closed"):
            handle.get_net_info()
    finally:
        sensor.clear_control_faults()
    with pytest.raises(tarn.Error) as refused:
        tarn.Control("not an address", 10)
    assert refused.value.code == -4


def test_check_ip_format_and_crc8():
    for text, valid in [("192.168.1.10", True), ("0.0.0.0", True), ("256.1.1.1", False),
                        ("1.2.3", False), (" 1.2.3.4", False), ("1.2.3.4\0", False)]:
        assert tarn.check_ip_format(text) is valid, text
    assert tarn.crc8(b"123456789") == 0xA2
    assert tarn.crc8(bytearray(b"123456789"), init=0xFF) == 0xF7
    assert tarn.crc8(b"", init=0x5A) == 0x5A


@pytest.mark.parametrize("call", [
    lambda: tarn.Stream(device="1.2.3.4\0x"),
    lambda: tarn.Stream(device="127.0.0.1", local_address="127.0.0.1\0x"),
    lambda: tarn.connect_device(7001, "127.0.0.1\0x", 6301),
    lambda: tarn.get_net_info("127.0.0.1\0x", 10),
    lambda: tarn.set_net_info("127.0.0.1\0x", 10, bytes(44)),
])
def test_text_arguments_refuse_nul(call):
    with pytest.raises(ValueError, match="NUL"):
        call()


@pytest.mark.parametrize("code, family", [
    (-9, tarn.ConnectError), (-2000, tarn.ConnectError), (-14, tarn.StreamError),
    (-15, tarn.TimeoutError), (-17, tarn.DecodeError), (2, tarn.ControlLinkError),
    (-1989, tarn.ControlLinkError), (-1987, tarn.ControlCommandError),
    (-1986, tarn.GeometryError), (-99, tarn.AngleError), (12345, tarn.Error),
])
def test_every_code_maps_to_its_family_with_the_library_message(code, family):
    error = tarn.error_for(code)
    assert type(error) is family and error.code == code
    assert error.message == tarn._tarn.strerror(code) and str(code) in str(error)


def refused_control(command):
    def call(address, sensor):
        sensor.control_fault(command, "refuse", replies=-1)
        try:
            if command == tarn.sim.GET_NET:
                tarn.get_net_info(address, 1000)
            else:
                tarn.set_net_info(address, 1000, bytes(44))
        finally:
            sensor.clear_control_faults()

    return call


def bound_twice(address, _):
    with tarn.Stream(device=address) as first:
        tarn.Stream(device=address, local_port=first.local_port)


FAILURES = [
    (lambda a, s: tarn.Stream(device="192.168.1.300"), tarn.ConnectError, -4),
    (lambda a, s: tarn.Stream(device=a, local_port=70000), tarn.ConnectError, -3),
    (bound_twice, tarn.ConnectError, -9),
    (lambda a, s: tarn.connect_device(0, a, 1), tarn.ConnectError, -2000),
    (lambda a, s: tarn.Stream(device=a).latest(), tarn.StreamError, -14),
    (lambda a, s: next(tarn.Stream(device=a).frames(timeout=0.05)), tarn.TimeoutError, -15),
    (lambda a, s: tarn.Decoder().push(b""), tarn.DecodeError, -17),
    (lambda a, s: tarn.get_net_info(loopback_address(), 1000), tarn.ControlLinkError, -1989),
    (lambda a, s: tarn.set_net_info(loopback_address(), 1000, bytes(44)),
     tarn.ControlLinkError, -1990),
    (refused_control(tarn.sim.GET_NET), tarn.ControlCommandError, -1987),
    (refused_control(tarn.sim.SET_NET), tarn.ControlCommandError, -1988),
]


@pytest.mark.parametrize("call, family, code", FAILURES)
def test_each_failure_raises_its_family_with_its_code(control, call, family, code):
    with pytest.raises(family) as raised:
        call(*control)
    assert raised.value.code == code


def test_library_lines_go_to_the_tarn_logger(caplog):
    # A receive buffer of one byte cannot hold two frames: the library warns at open.
    with tarn.Stream(device=loopback_address(), receive_buffer_bytes=1):
        pass
    assert any(record.name == "tarn" for record in caplog.records)
