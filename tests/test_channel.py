"""Channels on a device with a fake handle: reading, writing, baud rate, opening and closing."""
import json
import os
import subprocess
import sys
import threading
import time
from array import array

import pytest

import zeq_torvak
from fake_usb import SERIAL, reader_of

NAME = "Torvak:" + SERIAL + ":S1"
CLOSED = "设备[" + NAME + "]已关闭"
HERE = os.path.dirname(os.path.abspath(__file__))


class FakeClock:
    """Bound as the module's _now/_sleep: time moves only when the code sleeps."""

    def __init__(self, on_sleep=None):
        self.t = 1000.0
        self.sleeps = 0
        self.on_sleep = on_sleep

    def now(self):
        return self.t

    def sleep(self, seconds):
        self.sleeps += 1
        self.t += seconds
        if self.on_sleep:
            self.on_sleep(self.sleeps)


@pytest.fixture
def clock(monkeypatch):
    c = FakeClock()
    monkeypatch.setattr(zeq_torvak, "_now", c.now)
    monkeypatch.setattr(zeq_torvak, "_sleep", c.sleep)
    return c


@pytest.fixture
def channel(bench):
    """Channel 1 open at 9600 baud with a 0.5 s time limit; the firmware echoes nothing back."""
    dev, fw, registry = bench.device()
    fw.loopback = False
    ch = dev.open_channel(1, 9600, 0.5)
    ch.fw, ch.registry = fw, registry
    return ch


def chunks(ch, *parts):
    for part in parts:
        ch.input_data(array("B", part))


# --- reading ------------------------------------------------------------------------------


def test_read_takes_chunks_in_pieces(channel):
    chunks(channel, b"abc", b"de")
    assert channel.in_waiting == 5
    assert channel.read(4) == array("B", b"abcd")
    assert channel.in_waiting == 1
    assert channel._Channel__read(10) == array("B", b"e")
    assert channel._Channel__read(10) == array("B")


def test_input_data_keeps_what_bytes_makes_of_it(channel):
    # Strided and wider views are taken in order (wider items as their bytes), sequences
    # of byte values too; what bytes() refuses is refused and leaves the buffer alone.
    channel.input_data(memoryview(b"a-b-c")[::2])
    channel.input_data(bytearray(b"de"))
    channel.input_data([102, 103])
    channel.input_data(array("H", b"hi"))
    assert channel.read(20) == array("B", b"abcdefghi")
    for bad in ("text", 5, [256]):
        with pytest.raises((TypeError, ValueError)):
            channel.input_data(bad)
    assert channel.in_waiting == 0


def test_data_from_the_wire_reaches_read(bench):
    dev, fw, _ = bench.device()
    ch = dev.open_channel(1, 9600, 1.0)
    fw.feed_data(1, b"abc")
    fw.feed_data(1, b"de")
    assert fw.drain()
    assert ch.read(4) == array("B", b"abcd") and ch.in_waiting == 1
    assert ch.write("loop") == 4
    assert ch.read(5) == array("B", b"eloop")


def test_read_time_limit_real_clock(channel):
    # Timed with the wall clock, which the module's deadlines use (_now): a step of that
    # clock (a time sync) moves the deadline with it.
    start = time.time()
    assert channel.read(10) == array("B")
    assert 0.4 < time.time() - start < 1.5


def test_read_time_limit_fake_clock(channel, clock):
    assert channel.read(10) == array("B")
    assert clock.t - 1000.0 == pytest.approx(0.5, abs=0.011)
    chunks(channel, b"ab")
    assert channel.read(10) == array("B", b"ab")


def test_read_goes_on_past_the_deadline_while_data_is_buffered(channel, clock):
    # The only sleep jumps past the deadline while two chunks arrive.
    clock.on_sleep = lambda n: (setattr(clock, "t", clock.t + 1.0), chunks(channel, b"abc", b"def"))
    assert channel.read(6) == array("B", b"abcdef")
    assert clock.sleeps == 1
    chunks(channel, b"ghi")
    clock.sleeps = 0
    clock.on_sleep = lambda n: chunks(channel, b"jk") if n == 1 else None
    assert channel.read(10) == array("B", b"ghijk")


@pytest.mark.parametrize("limit", [0, -1.0])
def test_no_time_limit_waits_for_all_bytes(channel, clock, limit):
    channel.timeout = limit
    clock.on_sleep = lambda n: chunks(channel, b"xy") if n == 400 else None
    assert channel.read(2) == array("B", b"xy")
    assert clock.sleeps == 400


def test_read_zero_returns_at_once_even_when_closed(channel, clock):
    assert channel.read(0) == array("B")
    channel.close()
    assert channel.read(0) == array("B") and channel.read_until(size=0) == array("B")
    assert clock.sleeps == 0


def test_read_until(channel, clock):
    chunks(channel, b"ab\ncd")
    assert channel.read_until() == array("B", b"ab\n")
    assert channel.in_waiting == 2
    chunks(channel, b"efghij")
    assert channel.read_until(size=3) == array("B", b"cde")
    assert channel.read_until("h") == array("B", b"fgh")
    assert channel.read_until(bytearray(b"i"), None) == array("B", b"i")
    assert clock.sleeps == 0
    assert channel.read_until() == array("B", b"j")  # nothing more arrives: the deadline ends it
    assert clock.t - 1000.0 == pytest.approx(0.5, abs=0.011)


def test_terminator_outside_a_byte_never_matches(channel, clock):
    chunks(channel, b"\x01\x00abc")
    assert channel.read_until("\u0101") == array("B", b"\x01\x00abc")


@pytest.mark.parametrize("expected", ["\r\n", b"\r\n", b"", 10])
def test_bad_terminator_is_refused_before_reading(channel, expected):
    chunks(channel, b"ab\r\n")
    with pytest.raises((TypeError, ValueError)):
        channel.read_until(expected)
    assert channel.in_waiting == 4


def test_read_in_another_thread_fails_when_the_channel_closes(channel):
    channel.timeout = 0
    errors = []

    def reader():
        try:
            channel.read(5)
        except AssertionError as e:
            errors.append(str(e))

    t = threading.Thread(target=reader)
    t.start()
    time.sleep(0.1)
    channel.close()
    t.join(2)
    assert not t.is_alive() and errors == [CLOSED]


def test_closed_channel(channel):
    chunks(channel, b"abc")
    channel.close()
    chunks(channel, b"def")
    assert (channel.in_waiting, channel.is_open) == (0, False)
    for call in (lambda: channel.read(1), lambda: channel.read_until(), lambda: channel._Channel__read(1)):
        with pytest.raises(AssertionError) as err:
            call()
        assert str(err.value) == CLOSED


def test_timeout_property_and_name(channel):
    channel.timeout = 2
    assert channel.timeout == 2.0 and type(channel.timeout) is float
    with pytest.raises(TypeError):
        channel.timeout = None
    assert channel.name == NAME


# --- writing --------------------------------------------------------------------------------


def test_write_encodes_text(channel):
    fw = channel.fw
    assert channel.write("é") == 2
    assert fw.data_packets(1) == [bytes([1, 2, 0xC3, 0xA9]) + bytes(60)]
    assert channel.write(b"") == 0 and channel.write("") == 0
    assert len(fw.data_packets(1)) == 1


def test_write_slices_sequences(channel):
    fw = channel.fw
    data = list(range(64))
    assert channel.write(data) == 64
    assert fw.data_packets(1) == [bytes([1, 62]) + bytes(data[:62]), bytes([1, 2, 62, 63]) + bytes(60)]


@pytest.mark.parametrize("data, wire", [
    (memoryview(b"abcdef")[::2], b"ace"),
    (memoryview(b"abcdef")[::-1], b"fedcba"),
    (memoryview(bytearray(b"abcdef")).cast("B", (2, 3)), None),  # no one-dimensional slicing
])
def test_write_respects_the_buffer_layout(channel, data, wire):
    fw = channel.fw
    if wire is None:
        with pytest.raises((TypeError, NotImplementedError)):
            channel.write(data)
        return
    assert channel.write(data) == len(wire)
    assert fw.data_packets(1) == [bytes([1, len(wire)]) + wire + bytes(62 - len(wire))]


def test_write_refuses_values_outside_a_byte(channel):
    fw = channel.fw
    data = [1] * 62 + [256]
    with pytest.raises(OverflowError):
        channel.write(data)
    assert len(fw.data_packets(1)) == 1  # the packets before it have gone out
    for data in (array("b", [-1]), 7):  # signed items are not byte values; no length
        with pytest.raises(TypeError):
            channel.write(data)
    assert len(fw.data_packets(1)) == 1


def test_write_on_a_closed_channel(channel):
    channel.close()
    with pytest.raises(AssertionError) as err:
        channel.write(b"x")
    assert str(err.value) == CLOSED
    assert channel.fw.data_packets(1) == []


def test_flush_input(channel):
    chunks(channel, b"stale")
    channel.flush_input()
    assert channel.in_waiting == 0
    assert channel.fw.commands[-1] == (1, "FlushInput")


# --- baud rate ----------------------------------------------------------------------------


def test_baud_rate_confirmed(bench):
    dev, fw, _ = bench.device()
    ch = dev.open_channel(1, 115200, 1.0)
    assert ch.baudrate == 115200
    assert fw.texts(1) == ["Config 115200", "Config?", "OpenChannel", "FlushInput"]
    fw.config_reply = "silent"
    fw.on_command = lambda target, text: fw.feed(bytes([101, 5]) + b"9600\n") if text == "Config?" else None
    ch.baudrate = 9600  # a reply ending in a line feed is accepted
    assert ch.baudrate == 9600


def test_baud_rate_mismatch(channel):
    channel.fw.config_reply = 4800
    with pytest.raises(IOError) as err:
        channel.baudrate = 19200
    assert str(err.value) == "设置波特率失败:" + NAME + ":当前值 = 4800:目标值 = 19200"
    assert channel.baudrate == 4800


def test_baud_rate_unanswered(channel, clock):
    channel.fw.config_reply = "silent"
    with pytest.raises(IOError) as err:
        channel.baudrate = 19200
    assert str(err.value) == "设置波特率超时:" + NAME + ":目标值 = 19200"
    assert channel.baudrate is None
    assert clock.t - 1000.0 == pytest.approx(1.0, abs=0.011)
    assert channel.fw.texts(1)[-2:] == ["Config 19200", "Config?"]


def test_baud_rate_garbage(channel, stderr, clock):
    fw = channel.fw
    fw.config_reply = "garbage"
    # The reply travels through the reader thread; give it real time to arrive.
    clock.on_sleep = lambda n: time.sleep(0.005)
    with pytest.raises(IOError) as err:
        channel.baudrate = 19200
    assert str(err.value) == "设置波特率超时:" + NAME + ":目标值 = 19200"
    assert stderr.writes == ["波特率查询结果异常:" + NAME + "：[fast\n]"]
    # The handler was removed: a late reply changes nothing.
    fw.feed(bytes([101, 5]) + b"1200\n")
    assert fw.drain()
    assert channel.baudrate is None


@pytest.mark.parametrize("value", [9600.0, True])
def test_baud_rate_type(channel, value):
    sent = len(channel.fw.out)
    with pytest.raises(TypeError):
        channel.baudrate = value
    with pytest.raises(TypeError):
        channel.initialize(value)
    assert len(channel.fw.out) == sent


# --- opening and closing on a device ------------------------------------------------------


def test_open_out_of_range_and_twice(bench):
    dev, fw, _ = bench.device()
    for number in (0, 5):
        with pytest.raises(AssertionError) as err:
            dev.open_channel(number, 9600, 1.0)
        assert str(err.value) == "通道号超出范围 (0, 4]:" + SERIAL
    assert [t for t, _ in fw.commands] == [0]
    ch = dev.open_channel(1, 9600, 1.0)
    with pytest.raises(AssertionError) as err:
        dev.open_channel(1, 9600, 1.0)
    assert str(err.value) == "通道[1]已经打开:" + SERIAL
    assert ch.write(b"still") == 5 and ch.read(5) == array("B", b"still")
    ch.close()


def test_failed_baud_rate_closes_the_only_channel_and_the_device(bench):
    dev, fw, registry = bench.device()
    fw.config_reply = "silent"
    start = time.time()  # the module's clock for this wait (_now)
    with pytest.raises(IOError) as err:
        dev.open_channel(2, 9600, 1.0)
    assert 0.9 < time.time() - start < 2.5
    assert str(err.value) == "设置波特率超时:Torvak:" + SERIAL + ":S2:目标值 = 9600"
    assert fw.texts(2)[-1] == "CloseChannel"
    assert registry.closed == [dev] and not reader_of(dev).is_alive()


def test_failed_baud_rate_leaves_other_channels_open(bench):
    dev, fw, registry = bench.device()
    one = dev.open_channel(1, 9600, 1.0)
    fw.config_reply = 300
    with pytest.raises(IOError):
        dev.open_channel(2, 9600, 1.0)
    assert registry.closed == [] and reader_of(dev).is_alive()
    fw.config_reply = "rate"
    two = dev.open_channel(2, 9600, 1.0)  # the number is free again
    two.close()
    one.close()


class Refused(Exception):
    pass


def test_any_error_while_opening_closes_the_channel_and_is_raised_again(bench):
    dev, fw, registry = bench.device()
    error = Refused("no")

    def refuse_open(target, text):
        if text == "OpenChannel":
            raise error

    fw.on_command = refuse_open
    with pytest.raises(Refused) as err:
        dev.open_channel(3, 9600, 1.0)
    assert err.value is error
    assert fw.texts(3) == ["Config 9600", "Config?", "OpenChannel", "CloseChannel"]
    assert registry.closed == [dev] and not reader_of(dev).is_alive()


def test_closing_channels(bench):
    dev, fw, registry = bench.device()
    one, two = dev.open_channel(1, 9600, 1.0), dev.open_channel(2, 9600, 1.0)
    one.close()
    assert fw.texts(1)[-1] == "CloseChannel"
    assert registry.closed == [] and reader_of(dev).is_alive()
    assert two.write(b"ok") == 2 and two.read(2) == array("B", b"ok")
    dev.close_channel(3)  # never opened: nothing changes
    assert registry.closed == [] and reader_of(dev).is_alive()
    two.close()
    assert registry.closed == [dev] and not reader_of(dev).is_alive()


def test_second_close_does_nothing(bench):
    dev, fw, registry = bench.device()
    ch = dev.open_channel(1, 9600, 1.0)
    ch.close()
    sent = len(fw.out)
    ch.close()
    assert len(fw.out) == sent and registry.closed == [dev]


def test_close_channel_on_an_empty_table_closes_the_device(bench):
    dev, _, registry = bench.device()
    dev.close_channel(1)
    assert registry.closed == [dev] and not reader_of(dev).is_alive()


def test_close_goes_on_when_close_channel_cannot_be_sent(bench):
    dev, fw, registry = bench.device()
    ch = dev.open_channel(1, 9600, 1.0)
    fw.write_error = zeq_torvak._usb_core.USBError("Pipe error")
    ch.close()
    assert not ch.is_open and registry.closed == [dev]


# --- with assertions disabled ----------------------------------------------------------------

OPTIMISED = r"""
import json
from array import array
import zeq_torvak
from fake_usb import Bench, FakeHandle

assert False, "assertions must be off"
out = {}
bench = Bench()
dev, fw, registry = bench.device()
fw.loopback = False
one, two = dev.open_channel(1, 9600, 0.1), dev.open_channel(2, 9600, 0.1)
one.close()
for name, call in [("read", lambda: one.read(1)), ("read_until", lambda: one.read_until()),
                   ("flush_input", lambda: one.flush_input())]:
    try:
        call()
    except Exception as e:
        out[name] = [type(e).__name__, str(e)]
out["flush_sent"] = fw.commands[-1]
out["closed_write"] = one.write(b"abc")
dev.output_data(bytes(63))
fw.write_result = 10
dev.output_data(bytes(64))
fw.write_result = None
dev._send_command_to_channel("a" * 70, 0)
dev.send_command_to_channel("x", 9)
dev.io_control_master_query("Version", lambda p: None, 0)
dev.set_io_control_handler_for_channel(print, 0)
out["sizes"] = [len(p) for p in fw.out[-6:]]
out["last"] = fw.commands[-2:]
two.close()
mute = FakeHandle(channel_count=None)
out["count"] = bench.device(mute)[0].channel_count
bench.shutdown()
print(json.dumps(out))
"""


def test_with_assertions_disabled():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(zeq_torvak.__file__), HERE]))
    run = subprocess.run([sys.executable, "-O", "-c", OPTIMISED], env=env, capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    out = json.loads(run.stdout)
    assert out["read"] == out["read_until"] == ["TypeError", "object of type 'NoneType' has no len()"]
    assert out["flush_input"][0] == "AttributeError"
    assert out["flush_sent"] == [1, "FlushInput"]
    assert out["closed_write"] == 3
    assert out["sizes"] == [64, 63, 64, 73, 64, 64]
    assert out["last"] == [[9, "x"], [0, "Version"]]
    assert out["count"] is None
