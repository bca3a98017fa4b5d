"""Faults injected at the emulated device, on the module's own USB path: unplugging at each
point where a caller waits, USB errors inside a multi-packet write and on the IN endpoint,
malformed and unrequested replies on both control paths, a device without channels, and
traffic for channels that are not open. Each case must end as the library promises: no
hang, no crash, no thread left running, the device released once its last channel is gone.

Run under umockdev:  umockdev-wrapper python3 -m pytest tests/test_faults.py
"""
import errno
import threading
import time
from array import array

import pytest

import zeq_torvak
from waiting import wait_until

MASTER = 100
USB_ERROR = zeq_torvak._usb_core.USBError
USB_TIMEOUT = zeq_torvak._usb_core.USBTimeoutError
UNPLUG_REPORT = "USB 设备[Torvak:%s]读取数据失败，有可能是设备已拔出："

pytestmark = pytest.mark.timeout(60)


# ---------------------------------------------------------------------------
# Helpers


@pytest.fixture
def registry(testbed, monkeypatch):
    """A registry of this test's own, so "ANY" and the serial numbers of other tests'
    devices cannot meet here."""
    rm = zeq_torvak._ResourceManager()
    monkeypatch.setattr(zeq_torvak, "_resource_manager", rm)
    yield rm
    # A device whose only opening failed before its channel existed stays filed (that is
    # the library's rule); closing a channel of an empty table closes and unfiles it.
    for serial in list(rm._ResourceManager__devices):
        rm._ResourceManager__devices[serial].close_channel(1)


def filed(registry):
    return list(registry._ResourceManager__devices)


def plug(testbed, serial, **options):
    emulated = testbed.plug(serial=serial, **options)
    assert wait_until(lambda: zeq_torvak._ResourceManager.find_device(serial) is not None)
    return emulated


def released(emulated):
    return wait_until(lambda: emulated.open_handles == 0 and not emulated.claimed)


def device_of(port):
    return port._Serial__handle._Channel__device


def reader_of(device):
    return device._Device__input_scanner


def texts(emulated, target):
    """The command texts the host sent to one target (0: master), in order."""
    return [
        bytes(p[2:2 + p[1]]).decode("utf-8").rstrip("\n")
        for p in emulated.out_packets()
        if p[0] == MASTER + target
    ]


def record(channel_byte, payload):
    """One IN packet holding one record, zero filled to 64 bytes."""
    packet = bytes([channel_byte, len(payload)]) + bytes(payload)
    return packet + bytes(64 - len(packet))


def data_packets(channel, data):
    """The 64-byte data packets a write of `data` to `channel` puts on the bus."""
    out = []
    for start in range(0, len(data), 62):
        piece = data[start:start + 62]
        out.append(bytes([channel, len(piece)]) + piece + bytes(62 - len(piece)))
    return out


class Background:
    """Runs call() on a thread; join() gives its result or raises what it raised."""

    def __init__(self, call):
        self.result = self.error = None
        self.started = time.monotonic()
        self.ended = None
        self._thread = threading.Thread(target=self._run, args=(call,))
        self._thread.start()

    def _run(self, call):
        try:
            self.result = call()
        except BaseException as exc:  # handed to the test thread
            self.error = exc
        self.ended = time.monotonic()

    @property
    def elapsed(self):
        return self.ended - self.started

    def join(self, timeout=10):
        self._thread.join(timeout)
        assert not self._thread.is_alive(), "the call did not return"
        return self


def assert_one_unplug_report(stderr, serial):
    assert stderr.wait_for(1)
    time.sleep(0.05)  # a second report would come right after the first
    assert len(stderr.writes) == 1, stderr.writes
    assert stderr.writes[0].startswith(UNPLUG_REPORT % serial)
    assert "No such device" in stderr.writes[0]


def assert_gone(registry, emulated, serial):
    assert serial not in filed(registry)
    assert released(emulated), "the device is still open or claimed"


# ---------------------------------------------------------------------------
# Unplugging while a caller waits


@pytest.mark.parametrize("timeout", [1.0, 0.0], ids=["time-limit", "no-limit"])
def test_unplug_while_a_read_waits(registry, testbed, stderr, timeout):
    """The reader ends with its report; a read with a time limit then simply runs out, and
    one without a limit waits until the port is closed, which it reports as the closed
    channel at its next poll."""
    emulated = plug(testbed, "FLT-READ", channels=2)
    port = zeq_torvak.Serial("Torvak:FLT-READ:S1", timeout=timeout)
    reader = reader_of(device_of(port))
    read = Background(lambda: port.read(10))
    time.sleep(0.2)
    emulated.unplug()
    reader.join(2)
    assert not reader.is_alive()
    assert_one_unplug_report(stderr, "FLT-READ")
    if timeout:
        read.join(5)
        assert read.error is None and read.result == b""
        assert 0.9 <= read.elapsed < 3.0
        port.close()
    else:
        time.sleep(0.3)
        assert read.ended is None, "a read without a limit ended on its own"
        port.close()
        read.join(5)
        assert isinstance(read.error, AssertionError)
        assert str(read.error) == "设备[Torvak:FLT-READ:S1]已关闭"
    assert_gone(registry, emulated, "FLT-READ")
    assert len(stderr.writes) == 1  # the lost "CloseChannel" is dropped without a word


def test_unplug_while_a_write_is_between_packets(registry, testbed, stderr):
    """The packets before the unplug went out in order; the write raises the USB error;
    nothing more is sent; the port still closes and releases the device."""
    emulated = plug(testbed, "FLT-WRITE", channels=2)
    port = zeq_torvak.Serial("Torvak:FLT-WRITE:S2", timeout=0.5)
    emulated.set_pace_ms(5)  # one packet every 5 ms: a 40-packet write takes 200 ms
    emulated.out_packets(clear=True)
    data = bytes(i % 251 for i in range(62 * 40))
    write = Background(lambda: port.write(data))
    assert emulated.wait_out(10, timeout=5)
    emulated.unplug()
    write.join(5)
    assert isinstance(write.error, USB_ERROR) and not isinstance(write.error, USB_TIMEOUT)
    assert write.error.errno == errno.ENODEV
    sent = emulated.out_packets()
    assert 10 <= len(sent) < 40
    assert sent == data_packets(2, data)[:len(sent)]
    assert_one_unplug_report(stderr, "FLT-WRITE")
    port.close()
    assert emulated.out_packets() == sent
    assert_gone(registry, emulated, "FLT-WRITE")


def test_unplug_while_a_master_query_waits(registry, testbed, stderr):
    """The query that waits gets no answer (None after its half second, no error); the next
    one cannot even be sent and raises the USB error; the device stays filed, as any
    device handed out without a channel, until a channel operation closes it."""
    emulated = plug(testbed, "FLT-QUERY", channels=2)
    emulated.set_fault(master="silent")
    device = zeq_torvak.get_hid_device("FLT-QUERY")
    query = Background(lambda: device.echo("are you there"))
    assert emulated.wait_out(1)
    emulated.unplug()
    query.join(5)
    assert query.error is None and query.result is None
    assert 0.4 <= query.elapsed < 2.0
    assert_one_unplug_report(stderr, "FLT-QUERY")
    with pytest.raises(USB_ERROR):
        device.firmware_version
    assert filed(registry) == ["FLT-QUERY"]
    device.close_channel(1)
    assert_gone(registry, emulated, "FLT-QUERY")


def test_unplug_while_the_channel_count_query_waits(registry, testbed, stderr):
    """Opening the first port of a device asks for its channel count; with the device gone
    the count stays unknown and the opening fails with the count's time-out, before any
    channel exists. The device, handed out before, stays filed."""
    emulated = plug(testbed, "FLT-COUNT", channels=2)
    emulated.set_fault(master="silent")
    device = zeq_torvak.get_hid_device("FLT-COUNT")
    opening = Background(lambda: zeq_torvak.Serial("Torvak:FLT-COUNT:S1", timeout=0.5))
    assert emulated.wait_out(1)
    emulated.unplug()
    opening.join(5)
    assert isinstance(opening.error, AssertionError)
    assert str(opening.error) == "查询设备通道数量超时:FLT-COUNT"
    assert 0.9 <= opening.elapsed < 3.0
    assert_one_unplug_report(stderr, "FLT-COUNT")
    assert filed(registry) == ["FLT-COUNT"]
    assert zeq_torvak.get_hid_device("FLT-COUNT") is device


def test_unplug_while_a_baud_rate_setting_waits(registry, testbed, stderr):
    """"Config?" went out and the device is gone: the setting runs into its time-out, and
    the half-open channel is closed again, which closes and unfiles the device."""
    emulated = plug(testbed, "FLT-BAUD", channels=2)
    emulated.set_fault(config="silent")
    opening = Background(lambda: zeq_torvak.Serial("Torvak:FLT-BAUD:S2", 19200, timeout=0.5))
    assert emulated.wait_out(3)  # "ChannelCount?", "Config 19200", "Config?"
    assert texts(emulated, 2) == ["Config 19200", "Config?"]
    emulated.unplug()
    opening.join(5)
    assert type(opening.error) is OSError
    assert str(opening.error) == "设置波特率超时:Torvak:FLT-BAUD:S2:目标值 = 19200"
    assert 0.9 <= opening.elapsed < 3.0
    assert_one_unplug_report(stderr, "FLT-BAUD")
    assert_gone(registry, emulated, "FLT-BAUD")


def test_unplug_while_the_baud_rate_of_an_open_port_changes(registry, testbed, stderr):
    emulated = plug(testbed, "FLT-REBAUD", channels=2)
    port = zeq_torvak.Serial("Torvak:FLT-REBAUD:S1", 9600, timeout=0.5)
    emulated.set_fault(config="silent")
    emulated.out_packets(clear=True)

    def change():
        port.baudrate = 57600

    setting = Background(change)
    assert emulated.wait_out(2)
    emulated.unplug()
    setting.join(5)
    assert type(setting.error) is OSError
    assert str(setting.error) == "设置波特率超时:Torvak:FLT-REBAUD:S1:目标值 = 57600"
    assert port.baudrate is None
    assert port.is_open
    port.close()
    assert_one_unplug_report(stderr, "FLT-REBAUD")
    assert_gone(registry, emulated, "FLT-REBAUD")


# The OUT packets of opening the first port of a fresh device, in order.
OPENING = ["ChannelCount?", "Config 9600", "Config?", "OpenChannel", "FlushInput"]


@pytest.mark.parametrize("lost", range(2, 6), ids=OPENING[1:])
def test_unplug_while_a_channel_opens(registry, testbed, stderr, lost):
    """The device leaves while it takes the lost-th packet of the opening: the USB error
    reaches the caller, and the half-open channel is closed again, with the device."""
    emulated = plug(testbed, "FLT-OPEN", channels=2)
    emulated.unplug_after_out(lost)
    with pytest.raises(USB_ERROR) as failure:
        zeq_torvak.Serial("Torvak:FLT-OPEN:S1", timeout=0.5)
    assert failure.value.errno == errno.ENODEV
    sent = [bytes(p[2:2 + p[1]]).decode().rstrip("\n") for p in emulated.out_packets()]
    assert sent == OPENING[:lost]
    assert_one_unplug_report(stderr, "FLT-OPEN")
    assert_gone(registry, emulated, "FLT-OPEN")


def test_unplug_while_the_channel_count_is_sent(registry, testbed, stderr):
    """The first packet of an opening fails: no channel exists yet, so nothing is closed,
    and the device, handed out before, stays filed."""
    emulated = plug(testbed, "FLT-OPEN0", channels=2)
    zeq_torvak.get_hid_device("FLT-OPEN0")
    emulated.unplug_after_out(1)
    with pytest.raises(USB_ERROR):
        zeq_torvak.Serial("Torvak:FLT-OPEN0:S1", timeout=0.5)
    assert_one_unplug_report(stderr, "FLT-OPEN0")
    assert filed(registry) == ["FLT-OPEN0"]


@pytest.mark.parametrize("others", [0, 1], ids=["last-channel", "one-of-two"])
def test_unplug_while_a_channel_closes(registry, testbed, stderr, others):
    """"CloseChannel" is the packet the device leaves on: the failure to send it is
    dropped, the channel is closed locally, and closing the last channel closes the device
    at once (its reader has already ended)."""
    emulated = plug(testbed, "FLT-CLOSE", channels=2)
    ports = [zeq_torvak.Serial("Torvak:FLT-CLOSE:S%d" % n, timeout=0.5) for n in range(1, 2 + others)]
    reader = reader_of(device_of(ports[0]))
    emulated.out_packets(clear=True)
    emulated.unplug_after_out(1)
    start = time.monotonic()
    ports[0].close()
    assert time.monotonic() - start < 1.0
    assert not ports[0].is_open
    assert texts(emulated, 1) == ["CloseChannel"]
    assert_one_unplug_report(stderr, "FLT-CLOSE")
    if others:
        assert filed(registry) == ["FLT-CLOSE"]
        assert ports[1].is_open
        with pytest.raises(USB_ERROR):
            ports[1].write(b"gone")
        ports[1].close()
    assert not reader.is_alive()
    assert_gone(registry, emulated, "FLT-CLOSE")
    assert len(stderr.writes) == 1


# ---------------------------------------------------------------------------
# USB errors without unplugging


@pytest.mark.parametrize(
    "error, libusb_errno",
    [(errno.EPIPE, errno.EPIPE), (errno.EPROTO, errno.EIO)],
    ids=["stall", "bus-error"],
)
@pytest.mark.parametrize("size, failing", [(400, 4), (62 * 70 - 5, 67)], ids=["7-packets", "70-packets"])
def test_usb_error_in_the_middle_of_a_multi_packet_write(registry, testbed, stderr, error, libusb_errno,
                                                         size, failing):
    """The packets before the failed one went out in order, the rest were not sent, the
    write raises that USB error; the device stays usable and its reader keeps going."""
    emulated = plug(testbed, "FLT-STALL", channels=2)
    emulated.set_loopback(True)
    port = zeq_torvak.Serial("Torvak:FLT-STALL:S1", timeout=1.0)
    emulated.out_packets(clear=True)
    data = bytes(i * 7 % 251 for i in range(size))
    emulated.fail_out_after(failing, error)
    with pytest.raises(USB_ERROR) as failure:
        port.write(data)
    assert not isinstance(failure.value, USB_TIMEOUT)
    assert failure.value.errno == libusb_errno
    sent = failing - 1
    assert emulated.out_packets() == data_packets(1, data)[:sent]
    assert port.read(sent * 62) == data[:sent * 62]  # what went out came back
    assert port.write(b"after") == 5
    assert port.read(5) == b"after"
    assert reader_of(device_of(port)).is_alive()
    port.close()
    assert stderr.writes == []
    assert_gone(registry, emulated, "FLT-STALL")


def test_usb_error_on_the_in_endpoint_ends_the_reader(registry, testbed, stderr):
    """A failed IN transfer ends the reader with its report; writing still works, reading
    runs into its time-out, and closing returns at once."""
    emulated = plug(testbed, "FLT-INERR", channels=2)
    emulated.set_loopback(True)
    port = zeq_torvak.Serial("Torvak:FLT-INERR:S1", timeout=0.3)
    reader = reader_of(device_of(port))
    emulated.fail_in_next(errno.EPROTO)
    reader.join(2)
    assert not reader.is_alive()
    assert stderr.wait_for(1)
    assert len(stderr.writes) == 1
    assert stderr.writes[0].startswith(UNPLUG_REPORT % "FLT-INERR")
    assert "Input/Output Error" in stderr.writes[0]
    assert port.write(b"echo") == 4
    assert port.read(4) == b""
    start = time.monotonic()
    port.close()
    assert time.monotonic() - start < 1.0
    assert_gone(registry, emulated, "FLT-INERR")


# ---------------------------------------------------------------------------
# Replies on the control paths


def _answer_next_master_query(emulated, payload, sent_before):
    """Waits until the next master query is on the bus, then answers it with `payload`."""
    assert emulated.wait_out(sent_before + 1)
    emulated.queue_in(record(MASTER, payload))


class TestMasterReplies:
    @pytest.fixture
    def device(self, registry, testbed):
        self.emulated = plug(testbed, "FLT-MASTER", channels=3)
        self.emulated.set_fault(master="silent")
        return zeq_torvak.get_hid_device("FLT-MASTER")

    def _query(self, call, payload):
        sent = len(self.emulated.out_packets())
        query = Background(call)
        _answer_next_master_query(self.emulated, payload, sent)
        return query.join(5)

    def test_empty_reply(self, device, stderr):
        assert self._query(lambda: device.echo("x"), b"").result == ""
        count = self._query(lambda: device.channel_count, b"")
        assert isinstance(count.error, AssertionError)
        assert str(count.error) == "查询设备通道数量超时:FLT-MASTER"
        assert stderr.writes == ["ChannelCount command feedback invalid: [array('B')]"]

    def test_bytes_that_are_not_utf8_read_as_latin1(self, device, stderr):
        assert self._query(lambda: device.firmware_version, b"\xff\xfe v1\n").result == "\xff\xfe v1\n"
        assert stderr.writes == []

    def test_reply_that_fills_the_packet(self, device, stderr):
        text = ("0123456789" * 7)[:62].encode()
        assert self._query(lambda: device.firmware_version, text).result == text.decode()
        # A count padded with blanks up to the packet's end still reads as a number.
        padded = b"3" + b" " * 60 + b"\n"
        assert self._query(lambda: device.channel_count, padded).result == 3
        assert stderr.writes == []

    def test_long_count_with_leading_zeros(self, device, stderr):
        assert self._query(lambda: device.channel_count, b"0" * 40 + b"42\n").result == 42
        assert stderr.writes == []

    def test_unrequested_replies_are_not_taken_for_answers(self, device, stderr):
        emulated = self.emulated
        # Before any query: stored, then thrown away by the next query's clearing.
        emulated.queue_in(record(MASTER, b"unasked"))
        time.sleep(0.1)
        assert self._query(lambda: device.echo("one"), b"one").result == "one"
        # Between queries the flag is still set: dropped.
        emulated.queue_in(record(MASTER, b"between"))
        time.sleep(0.1)
        assert self._query(lambda: device.echo("two"), b"two").result == "two"
        # Late: the query ran out, its answer is stored and thrown away by the next one.
        late = Background(lambda: device.echo("late"))
        assert late.join(5).result is None
        emulated.queue_in(record(MASTER, b"late"))
        time.sleep(0.1)
        assert self._query(lambda: device.echo("three"), b"three").result == "three"
        assert stderr.writes == []
        assert reader_of(device).is_alive()


def test_an_old_reply_in_a_backlog_does_not_fail_the_channel_count(registry, testbed, stderr):
    """A device opened while it still holds what an earlier program left (its data, then
    the reply to a version query it never read): the count comes within the query's
    second, and a device answering garbage still fails it, once reported."""
    emulated = plug(testbed, "FLT-STALE", channels=3)
    emulated.set_pace_ms(1)  # 200 packets take about 200 ms to read
    for n in range(200):
        emulated.queue_in(record(2, b"old data %d" % n))
    emulated.queue_in(record(MASTER, b"Torvak-EMU 1.0"))
    opening = Background(lambda: zeq_torvak.get_hid_device("FLT-STALE").channel_count).join(5)
    assert opening.error is None and opening.result == 3
    assert opening.elapsed < 1.0
    assert stderr.writes == ["ChannelCount command feedback invalid: [%r]" % array("B", b"Torvak-EMU 1.0")]
    assert texts(emulated, 0) == ["ChannelCount?", "ChannelCount?"]

    stderr.writes.clear()
    garbage = plug(testbed, "FLT-GARBAGE", channels=3)
    garbage.set_fault(master="garbage")
    failing = Background(lambda: zeq_torvak.get_hid_device("FLT-GARBAGE").channel_count).join(5)
    assert str(failing.error) == "查询设备通道数量超时:FLT-GARBAGE"
    assert len(stderr.writes) == 1 and texts(garbage, 0) == ["ChannelCount?"]


class TestChannelControlReplies:
    def _open_with_reply(self, testbed, serial, payload, baudrate=9600):
        """Opens S1 of a device whose firmware does not answer "Config?", answering it with
        `payload` instead."""
        emulated = plug(testbed, serial, channels=2)
        emulated.set_fault(config="silent")
        opening = Background(lambda: zeq_torvak.Serial("Torvak:%s:S1" % serial, baudrate, timeout=0.5))
        assert emulated.wait_out(3)  # "ChannelCount?", "Config R", "Config?"
        emulated.queue_in(record(MASTER + 1, payload))
        return emulated, opening.join(5)

    def test_empty_reply(self, registry, testbed, stderr):
        emulated, opening = self._open_with_reply(testbed, "FLT-CFG1", b"")
        assert type(opening.error) is OSError
        assert str(opening.error) == "设置波特率超时:Torvak:FLT-CFG1:S1:目标值 = 9600"
        assert stderr.writes == ["波特率查询结果异常:Torvak:FLT-CFG1:S1：[]"]
        assert_gone(registry, emulated, "FLT-CFG1")

    def test_reply_that_fills_the_packet(self, registry, testbed, stderr):
        emulated, opening = self._open_with_reply(testbed, "FLT-CFG2", b"  57600" + b" " * 54 + b"\n", 57600)
        assert opening.error is None
        port = opening.result
        assert port.baudrate == 57600
        port.close()
        assert stderr.writes == []
        assert_gone(registry, emulated, "FLT-CFG2")

    def test_text_that_is_no_number(self, registry, testbed, stderr):
        emulated, opening = self._open_with_reply(testbed, "FLT-CFG3", b"\xb5 9600\n")
        assert type(opening.error) is OSError
        assert stderr.writes == ["波特率查询结果异常:Torvak:FLT-CFG3:S1：[\xb5 9600\n]"]
        assert_gone(registry, emulated, "FLT-CFG3")


def test_unrequested_control_replies_are_dropped(registry, testbed, stderr):
    """Replies on the control path of an open channel without a pending setting, of a
    channel that is not open, and of channel numbers beyond the device's count, go
    nowhere; the reader keeps going and data still arrives."""
    emulated = plug(testbed, "FLT-UNASKED", channels=3)
    emulated.set_loopback(True)
    port = zeq_torvak.Serial("Torvak:FLT-UNASKED:S1", 9600, timeout=1.0)
    for channel_byte in (MASTER + 1, MASTER + 2, MASTER + 3, MASTER + 50, 255):
        emulated.queue_in(record(channel_byte, b"115200\n"))
    assert port.write(b"still here") == 10
    assert port.read(10) == b"still here"
    assert port.baudrate == 9600
    assert reader_of(device_of(port)).is_alive()
    port.close()
    assert stderr.writes == []
    assert_gone(registry, emulated, "FLT-UNASKED")


# ---------------------------------------------------------------------------
# Channels that do not exist or are not open


def test_device_with_no_channels(registry, testbed, stderr):
    """A channel count of 0 is a count: every channel number is out of range, nothing is
    sent to any channel, and the count is not asked again."""
    emulated = plug(testbed, "FLT-ZERO", channels=0)
    device = zeq_torvak.get_hid_device("FLT-ZERO")
    with pytest.raises(AssertionError) as failure:
        zeq_torvak.Serial("Torvak:FLT-ZERO:S1", timeout=0.5)
    assert str(failure.value) == "通道号超出范围 (0, 0]:FLT-ZERO"
    assert device.channel_count == 0
    with pytest.raises(AssertionError) as failure:
        device.send_command_to_channel("FlushInput", 1)
    assert str(failure.value) == "通道号超出范围 (0, 0]:FLT-ZERO"
    with pytest.raises(AssertionError):
        device.set_io_control_handler_for_channel(print, 1)
    assert texts(emulated, 0) == ["ChannelCount?"]
    assert len(emulated.out_packets()) == 1
    assert filed(registry) == ["FLT-ZERO"]
    assert stderr.writes == []


def test_records_for_channels_that_are_not_open_are_dropped(registry, testbed, stderr):
    """Data for a channel that is not open (never opened, closed again, or beyond the
    device's count) and control records for channels without a handler are dropped; the
    records after them in the same packet are still delivered."""
    emulated = plug(testbed, "FLT-ROUTE", channels=4)
    ports = {n: zeq_torvak.Serial("Torvak:FLT-ROUTE:S%d" % n, timeout=0.5) for n in (1, 2)}
    ports[2].close()
    mixed = bytes([3, 2]) + b"ab" + bytes([2, 3]) + b"old" + bytes([1, 3]) + b"xyz" + bytes([99, 1]) + b"!"
    emulated.queue_in(mixed + bytes([1, 2]) + b"!!" + bytes(64 - len(mixed) - 4))
    emulated.queue_in(record(2, b"closed"))
    emulated.queue_in(record(60, b"beyond"))
    emulated.queue_in(record(MASTER + 4, b"9600\n"))
    emulated.queue_in(record(1, b"end"))
    assert ports[1].read(8) == b"xyz!!end"
    assert ports[1].in_waiting == 0
    assert ports[2].in_waiting == 0
    assert reader_of(device_of(ports[1])).is_alive()
    ports[1].close()
    assert stderr.writes == []
    assert_gone(registry, emulated, "FLT-ROUTE")
