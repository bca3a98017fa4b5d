"""Published pyserial clients, unchanged, through torvak:// ports against peers modelled in
the emulated device: an XMODEM receiver and a Modbus RTU slave on two channels of one device."""
import io
import random
import threading

import pytest

from serial_support import serial

xmodem = pytest.importorskip("xmodem", reason="the xmodem package is not installed")
minimalmodbus = pytest.importorskip(
    "minimalmodbus", minversion="2.1", reason="minimalmodbus 2.1 or newer is not installed"
)

SERIAL = "CLI0001"
XMODEM_CHANNEL = 2
MODBUS_CHANNEL = 3
SLAVE = 17
REGISTERS = {0: 100, 1: 200, 2: 300, 10: 0xFFFF, 11: 0x0000, 40: 7}


@pytest.fixture
def device(testbed):
    dev = testbed.plug(serial=SERIAL, channels=4)
    dev.set_peer(MODBUS_CHANNEL, "modbus-slave", address=SLAVE, registers=REGISTERS)
    return dev


def _port(channel, **settings):
    return serial.serial_for_url("torvak://{}/{}".format(SERIAL, channel), **settings)


def _random_bytes(seed, n):
    return random.Random(seed).getrandbits(8 * n).to_bytes(n, "little")


def _send_file(port, data, mode):
    def getc(size, timeout=1):
        port.timeout = timeout
        return port.read(size) or None

    def putc(data, timeout=1):
        return port.write(data)

    modem = xmodem.XMODEM(getc, putc, mode=mode)
    # A receiver repeats its start request while it waits: drop those that came early.
    port.reset_input_buffer()
    return modem.send(io.BytesIO(data), retry=8, timeout=2, quiet=True)


@pytest.mark.parametrize(
    "mode, crc, reject",
    [("xmodem", True, [3, 300]), ("xmodem1k", False, [])],
    ids=["128-byte blocks, CRC, two blocks refused once", "1k blocks, checksum"],
)
def test_xmodem_file_arrives_byte_exact(device, mode, crc, reject):
    block = 128 if mode == "xmodem" else 1024
    data = _random_bytes(7, 64 * 1024 + 100)
    device.set_peer(XMODEM_CHANNEL, "xmodem-receiver", crc=crc, start_interval_ms=50,
                    reject_blocks=reject)
    with _port(XMODEM_CHANNEL, baudrate=115200, timeout=1) as port:
        assert _send_file(port, data, mode)
    state = device.peer_state(XMODEM_CHANNEL)
    assert state["state"] == "done"
    received = state["received"]
    blocks = -(-len(data) // block)
    assert len(received) == blocks * block
    assert received[: len(data)] == data
    assert received[len(data):] == b"\x1a" * (len(received) - len(data))  # the sender's padding
    assert state["counters"]["blocks"] == blocks
    assert state["counters"]["naks"] == len(reject)


def test_minimalmodbus_reads_and_writes_registers(device):
    with _port(MODBUS_CHANNEL, baudrate=19200, timeout=0.5) as port:
        instrument = minimalmodbus.Instrument(port, SLAVE)
        assert instrument.read_register(1) == 200
        assert instrument.read_registers(0, 3) == [100, 200, 300]
        assert instrument.read_long(10) == 0xFFFF0000
        instrument.write_register(2, 1234)  # function 16
        instrument.write_register(0, 7, functioncode=6)
        instrument.write_registers(10, [1, 2])
        assert instrument.read_registers(0, 3, functioncode=4) == [7, 200, 1234]
        assert instrument.read_register(40, number_of_decimals=1) == pytest.approx(0.7)

        port.timeout = 0.2
        with pytest.raises(minimalmodbus.IllegalRequestError):
            instrument.read_register(5)  # the slave has no register 5
        with pytest.raises(minimalmodbus.NoResponseError):
            minimalmodbus.Instrument(port, SLAVE + 1).read_register(0)

    state = device.peer_state(MODBUS_CHANNEL)
    assert state["registers"] == {0: 7, 1: 200, 2: 1234, 10: 1, 11: 2, 40: 7}
    assert state["counters"]["exceptions"] == 1
    assert state["counters"]["other_address"] == 1
    assert state["counters"]["crc_errors"] == 0


def test_the_slave_ignores_a_request_with_a_bad_crc(device):
    with _port(MODBUS_CHANNEL, baudrate=19200, timeout=0.2) as port:
        port.write(bytes([SLAVE, 3, 0, 0, 0, 1, 0x00, 0x00]))
        assert port.read(16) == b""
        assert minimalmodbus.Instrument(port, SLAVE).read_register(0) == 100
    assert device.peer_state(MODBUS_CHANNEL)["counters"]["crc_errors"] == 1


def test_file_transfer_and_modbus_on_one_device_at_once(device):
    """Both peers sit on the same device, so both clients share its USB link and reader."""
    data = _random_bytes(11, 64 * 1024)
    device.set_peer(XMODEM_CHANNEL, "xmodem-receiver", start_interval_ms=50)
    results = {}

    def transfer():
        try:
            with _port(XMODEM_CHANNEL, baudrate=115200, timeout=1) as port:
                results["sent"] = _send_file(port, data, "xmodem1k")
        except Exception as exc:  # reported below
            results["sent"] = exc

    with _port(MODBUS_CHANNEL, baudrate=19200, timeout=0.5) as port:
        instrument = minimalmodbus.Instrument(port, SLAVE)
        sender = threading.Thread(target=transfer)
        sender.start()
        try:
            reads = 0
            while sender.is_alive() or reads < 20:
                value = reads % 1000
                instrument.write_register(40, value)
                assert instrument.read_register(40) == value
                reads += 1
        finally:
            sender.join(30)
    assert results["sent"] is True
    assert device.peer_state(XMODEM_CHANNEL)["received"] == data
