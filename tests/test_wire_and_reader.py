"""Packet layouts on the wire and the reader thread's routing, against a fake handle."""
import time
from array import array

import pytest

import zeq_torvak
from fake_usb import NO_DEVICE, SERIAL, FakeHandle, reader_of, record

FAILED = "USB 设备[Torvak:" + SERIAL + "]读取数据失败，有可能是设备已拔出："


def settle(seconds=0.15):
    """Lets the reader run a few idle polls; for checks that nothing (more) happens."""
    time.sleep(seconds)


# --- what the host sends ------------------------------------------------------------


def test_command_packet_layouts(bench):
    dev, fw, _ = bench.device()
    fw.answer_master = False
    dev._send_command_to_channel("Version?", 0)
    assert fw.out[-1] == bytes([0x64, 0x09]) + b"Version?\n" + bytes(53)
    fw.answer_master = True
    dev.send_command_to_channel("Config?", 2)
    assert fw.out[-1] == bytes([0x66, 0x08]) + b"Config?\n" + bytes(54)
    dev.send_command_to_channel("", 3)
    assert fw.out[-1] == bytes([0x67, 0x01, 0x0A]) + bytes(61)
    assert all(len(p) == 64 for p in fw.out)


@pytest.mark.parametrize("text, wire", [
    ("Zürich\n", "Zürich\n".encode()),      # already terminated: no second line feed, L in bytes
    ("Hi\r\n", b"Hi\r\n"),                  # only the last byte is examined
    ("a\nb", b"a\nb\n"),                    # inner line feeds go as they are
])
def test_command_terminator(bench, text, wire):
    dev, fw, _ = bench.device()
    dev.send_command_to_channel(text, 1)
    assert fw.out[-1] == bytes([101, len(wire)]) + wire + bytes(62 - len(wire))


def test_data_packet_layouts(bench):
    dev, fw, _ = bench.device()
    fw.loopback = False
    ch = dev.open_channel(1, 9600, 0.1)
    data = bytes(range(100, 163))
    assert ch.write(data[:62]) == 62
    assert fw.data_packets(1) == [bytes([1, 62]) + data[:62]]
    assert ch.write(data) == 63
    assert fw.data_packets(1)[1:] == [bytes([1, 62]) + data[:62], bytes([1, 1, data[62]]) + bytes(61)]
    ch.close()


# --- what the reader routes ---------------------------------------------------------


def test_records_of_two_channels_in_one_packet(bench, stderr):
    dev, fw, _ = bench.device()
    one, two = dev.open_channel(1, 9600, 0.1), dev.open_channel(2, 9600, 0.1)
    fw.feed(bytes([0x01, 0x02, 0x61, 0x62, 0x02, 0x01, 0x63]) + bytes(57))
    assert fw.drain()
    assert (one.read(10), two.read(10)) == (array("B", b"ab"), array("B", b"c"))
    assert stderr.writes == []


def test_control_record_ends_the_packet(bench, stderr):
    dev, fw, _ = bench.device()
    one, two = dev.open_channel(1, 9600, 0.1), dev.open_channel(2, 9600, 0.1)
    got = []
    dev.set_io_control_handler_for_channel(got.append, 1)
    fw.feed(bytes([0x01, 0x01, 0x78, 0x65, 0x03, 0x31, 0x32, 0x33, 0x02, 0x01, 0x79]) + bytes(53))
    assert fw.drain()
    assert got == [array("B", b"123")] and type(got[0]) is array
    assert one.read(10) == array("B", b"x")
    assert two.in_waiting == 0
    assert reader_of(dev).is_alive() and stderr.writes == []


def test_master_reply_payload(bench):
    dev, fw, _ = bench.device()
    fw.on_command = lambda target, text: fw.feed(bytes([0x64, 0x02, 0x34, 0x0A]) + bytes(60)) or True
    got = []
    assert dev.io_control_master_query("Version?", lambda p: got.append(p) or "done") == "done"
    assert got == [array("B", [0x34, 0x0A])] and got[0].typecode == "B"


def test_data_for_a_channel_not_open_is_dropped_and_parsing_goes_on(bench, stderr):
    dev, fw, _ = bench.device()
    one = dev.open_channel(1, 9600, 0.1)
    fw.feed(bytes([3, 2, 0x7A, 0x7A, 1, 1, 0x61]) + bytes(57))
    assert fw.drain()
    assert one.read(10) == array("B", b"a")
    assert stderr.writes == [] and reader_of(dev).is_alive()


def test_zero_first_byte_carries_no_records(bench, stderr):
    dev, fw, _ = bench.device()
    one = dev.open_channel(1, 9600, 0.1)
    fw.feed(bytes([0, 1, 1, 0x41]) + bytes(60))
    assert fw.drain()
    assert one.in_waiting == 0
    fw.feed_data(1, b"after")
    assert fw.drain()
    assert one.read(10) == array("B", b"after")
    assert stderr.writes == []


def test_master_reply_while_the_event_is_set_is_dropped(bench):
    dev, fw, _ = bench.device()

    def two_replies(target, text):
        # Both arrive after the query cleared the event and before it waits.
        fw.feed(record(100, b"first"))
        fw.feed(record(100, b"second"))
        fw.drain()
        return True

    fw.on_command = two_replies
    assert dev.io_control_master_query("Version?", dev.master_basic_handler) == "first"


def test_master_reply_after_a_timed_out_query_is_stored(bench):
    dev, fw, _ = bench.device()
    fw.answer_master = False
    assert dev.io_control_master_query("Version?", dev.master_basic_handler, 0.05) is None
    # A late reply that arrives before the next query is thrown away by that query ...
    fw.feed(record(100, b"late"))
    assert fw.drain()
    fw.answer_master = True
    assert dev.firmware_version == fw.version

    # ... and one that arrives after the next query cleared the event is taken as its answer.
    fw.answer_master = False
    assert dev.io_control_master_query("Version?", dev.master_basic_handler, 0.05) is None
    fw.on_command = lambda target, text: fw.feed(record(100, b"late")) or fw.feed(record(100, b"own"))
    assert dev.io_control_master_query("Version?", dev.master_basic_handler) == "late"


# --- how the reader keeps going or ends ---------------------------------------------


def test_idle_reader_polls_quietly(bench, stderr):
    dev, fw, _ = bench.device()
    settle()
    assert fw.read_args == (0x81, 64, 50)
    assert reader_of(dev).is_alive() and stderr.writes == []
    assert reader_of(dev).daemon is False


@pytest.mark.parametrize("packet, delivered", [
    (bytes([1, 62]) + bytes(range(62)), bytes(range(62))),  # the record fills the 64-byte packet
    (bytes([1, 61]) + bytes(range(61)) + b"\0", bytes(range(61))),
    (bytes([1, 3]) + b"abc", b"abc"),                        # a short packet ending right after a record
    (b"", b""),                                              # a zero-length packet is an idle poll
])
def test_reader_goes_on(bench, stderr, packet, delivered):
    dev, fw, _ = bench.device()
    one = dev.open_channel(1, 9600, 0.1)
    fw.feed(packet)
    fw.feed_data(1, b"next")
    assert fw.drain()
    assert one.read(100) == array("B", delivered + b"next")
    assert reader_of(dev).is_alive() and stderr.writes == []


@pytest.mark.parametrize("packet, delivered", [
    (bytes([1, 5]) + b"ab", b"ab"),          # payload cut short: the part received is delivered first
    (bytes([1, 1]) + b"x" + bytes([2]), b"x"),  # the next record's count byte is missing
    (bytes([1]), b""),                       # the count byte is missing
])
def test_malformed_packet_ends_the_reader(bench, stderr, packet, delivered):
    dev, fw, _ = bench.device()
    one = dev.open_channel(1, 9600, 0.1)
    fw.feed(packet)
    fw.feed_data(1, b"never")
    reader_of(dev).join(3)
    assert not reader_of(dev).is_alive()
    assert len(stderr.writes) == 1 and stderr.writes[0].startswith(FAILED)
    assert len(stderr.writes[0]) > len(FAILED)
    assert one.read(100) == array("B", delivered)
    one.close()


def test_usb_failure_ends_the_reader_with_one_report(bench, stderr):
    dev, fw, registry = bench.device()
    fw.feed(zeq_torvak._usb_core.USBError("Pipe error"))
    reader_of(dev).join(3)
    assert not reader_of(dev).is_alive()
    settle()
    assert stderr.writes == [FAILED + "Pipe error"]
    # Writes still go out; nothing comes back.
    assert dev.echo("anyone?") is None
    assert fw.texts(0)[-1] == "Echo anyone??"
    start = time.monotonic()
    dev.close()
    assert time.monotonic() - start < 0.5
    assert registry.closed == []


def test_unplug_ends_the_reader_and_close_returns_at_once(bench, stderr):
    dev, fw, _ = bench.device()
    fw.unplug()
    reader_of(dev).join(3)
    assert stderr.writes == [FAILED + NO_DEVICE]
    start = time.monotonic()
    dev.close()
    assert time.monotonic() - start < 0.5


class StridedReads(FakeHandle):
    """A handle whose reads come back as a non-contiguous view."""

    def read(self, endpoint, size_or_buffer, timeout):
        packet = super().read(endpoint, size_or_buffer, timeout)
        return memoryview(bytes(x for b in packet for x in (b, 0xEE)))[::2]


def test_read_result_may_be_any_buffer(bench, stderr):
    dev, fw, _ = bench.device(StridedReads())
    one = dev.open_channel(1, 9600, 0.1)
    fw.feed_data(1, b"abc")
    assert fw.drain()
    assert one.read(10) == array("B", b"abc")
    assert stderr.writes == []


def test_error_escaping_input_data_ends_the_reader(bench, stderr, monkeypatch):
    class Refusing(zeq_torvak._Channel):
        def input_data(self, data):
            raise RuntimeError("buffer refused")

    monkeypatch.setattr(zeq_torvak, "_Channel", Refusing)
    dev, fw, _ = bench.device()
    one = dev.open_channel(1, 9600, 0.1)
    assert type(one) is Refusing
    fw.feed_data(1, b"x")
    reader_of(dev).join(3)
    assert stderr.writes == [FAILED + "buffer refused"]


# --- close ------------------------------------------------------------------------------


def test_close_joins_the_reader_and_a_second_close_does_nothing(bench, stderr):
    dev, fw, registry = bench.device()
    settle(0.06)
    start = time.monotonic()
    dev.close()
    assert time.monotonic() - start < 0.5
    assert not reader_of(dev).is_alive()
    reads = fw.read_args
    start = time.monotonic()
    dev.close()
    assert time.monotonic() - start < 0.1
    assert registry.closed == [] and stderr.writes == [] and fw.read_args == reads
    assert dev.serial_number == SERIAL
