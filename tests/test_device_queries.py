"""Device-level queries, command checks, control handlers and construction, against a fake handle."""
import threading
import time
from array import array

import pytest

import zeq_torvak
from fake_usb import SERIAL, Endpoint, FakeHandle, FakeRegistry, reader_of, record

_Device = zeq_torvak._Device
RANGE = "通道号超出范围 (0, {}]:" + SERIAL
TOO_LONG = "命令[{}]过长。包含命令结束符后，长度不能超过[62]个字节:" + SERIAL


def timed(fn, *args):
    start = time.monotonic()
    result = fn(*args)
    return result, time.monotonic() - start


# --- queries end to end ------------------------------------------------------------


def test_queries_end_to_end(bench):
    dev, fw, _ = bench.device()
    assert dev.echo("héllo") == "héllo"
    assert fw.out[-1] == bytes([100, 13]) + "Echo héllo?\n".encode() + bytes(49)
    assert dev.echo("") == ""
    assert fw.texts(0)[-1] == "Echo ?"
    assert dev.firmware_version == fw.version
    assert dev.firmware_version == fw.version
    assert fw.texts(0).count("Version?") == 2  # every read asks again
    assert dev.channel_count == 4
    sent = len(fw.out)
    assert dev.channel_count == 4
    assert len(fw.out) == sent  # the count is asked once


def test_unanswered_queries(bench):
    dev, fw, _ = bench.device()
    fw.answer_master = False
    for query in (lambda: dev.echo("hi"), lambda: dev.firmware_version):
        result, took = timed(query)
        assert result is None and 0.4 < took < 1.5
    with pytest.raises(AssertionError) as err:
        timed(lambda: dev.channel_count)
    assert str(err.value) == "查询设备通道数量超时:" + SERIAL
    fw.answer_master = True
    assert dev.channel_count == 4  # a failed query is asked again on the next use


def test_channel_count_times_out_after_about_one_second(bench):
    dev, fw, _ = bench.device()
    fw.channel_count = None
    start = time.monotonic()
    with pytest.raises(AssertionError):
        dev.channel_count
    assert 0.9 < time.monotonic() - start < 2.5


@pytest.mark.parametrize("reply, count", [(b"4\n", 4), (b" 4", 4), (b"+4", 4), (b"4", 4), (b"1_2", 12)])
def test_channel_count_reply_forms(reply, count):
    assert _Device.handle_channel_count_response(array("B", reply)) == count


@pytest.mark.parametrize("reply", [b"", b"four", b"0x4", b"4__0"])
def test_invalid_channel_count_reply(bench, stderr, reply):
    dev, fw, _ = bench.device()
    fw.on_command = lambda target, text: fw.feed(record(100, reply)) or True
    with pytest.raises(AssertionError) as err:
        dev.channel_count
    assert str(err.value) == "查询设备通道数量超时:" + SERIAL
    assert stderr.writes == ["ChannelCount command feedback invalid: [%s]" % array("B", reply)]


@pytest.mark.parametrize("count", [0, -1])
def test_reported_channel_count_is_used_as_given(bench, count):
    dev, fw, _ = bench.device(FakeHandle(channel_count=count))
    assert dev.channel_count == count
    with pytest.raises(AssertionError) as err:
        dev.send_command_to_channel("FlushInput", 1)
    assert str(err.value) == RANGE.format(count)


def test_master_basic_handler_decoding():
    assert _Device.master_basic_handler(array("B", b"\xff")) == "\xff"
    assert _Device.master_basic_handler(array("B", "版本 2\n".encode())) == "版本 2\n"
    assert _Device.master_basic_handler(b"") == ""


def test_query_without_question_mark_is_refused(bench):
    dev, fw, _ = bench.device()
    called = []
    for command in ("Version", "Version？"):
        with pytest.raises(AssertionError) as err:
            dev.io_control_master_query(command, called.append)
        assert str(err.value) == "查询指令必须要以英文问号[?]结尾:" + SERIAL
    assert fw.out == [] and called == []


def test_two_threads_query_one_after_the_other(bench):
    dev, fw, _ = bench.device()
    fw.reply_delay = 0.3
    results = {}
    threads = [threading.Thread(target=lambda t=t: results.__setitem__(t, dev.echo(t))) for t in "AB"]
    for t in threads:
        t.start()
    for t in threads:
        t.join(5)
    assert results == {"A": "A", "B": "B"}
    first, second = fw.write_times
    assert second - first >= 0.28  # the second query was sent only after the first had its reply


def test_handler_error_leaves_the_query_lock_free(bench):
    dev, fw, _ = bench.device()

    def refuse(package):
        raise KeyError("no")

    with pytest.raises(KeyError):
        dev.io_control_master_query("Version?", refuse)
    assert dev.firmware_version == fw.version


# --- command size and type checks -----------------------------------------------------


@pytest.mark.parametrize("content, ok", [
    ("x" * 55, True), ("x" * 56, False),
    ("é" * 27 + "x", True), ("é" * 28, False),  # counted in UTF-8 bytes
])
def test_echo_content_limit(bench, content, ok):
    dev, fw, _ = bench.device()
    if ok:
        assert dev.echo(content) == content
        assert fw.out[-1][1] == 62
        return
    with pytest.raises(AssertionError) as err:
        dev.echo(content)
    assert str(err.value) == TOO_LONG.format("Echo " + content + "?")
    assert fw.out == []


@pytest.mark.parametrize("command, length", [
    ("a" * 61, 62), ("a" * 61 + "\n", 62), ("あ" * 20 + "a", 62), ("a" * 62, None), ("あ" * 21, None),
])
def test_command_limit_in_utf8_bytes(bench, command, length):
    dev, fw, _ = bench.device()
    dev.channel_count
    sent = len(fw.out)
    if length is None:
        with pytest.raises(AssertionError) as err:
            dev.send_command_to_channel(command, 1)
        assert str(err.value) == TOO_LONG.format(command)
        assert len(fw.out) == sent
    else:
        dev.send_command_to_channel(command, 1)
        encoded = command.encode().rstrip(b"\n") + b"\n"
        assert fw.out[-1] == bytes([101, length]) + encoded


@pytest.mark.parametrize("command, channel", [
    ("x", 156), ("x", -101),          # channel byte outside 0..255
    ("a" * 255, 0), ("a" * 255 + "\n", 0), ("a" * 300, 0),  # length byte outside 0..255
])
def test_overflow_before_the_size_check(bench, command, channel):
    dev, fw, _ = bench.device()
    with pytest.raises(OverflowError):
        dev._send_command_to_channel(command, channel)
    assert fw.out == []


@pytest.mark.parametrize("command", ["a" * 254, "a" * 254 + "\n"])
def test_longest_length_byte_still_gets_the_size_message(bench, command):
    dev, fw, _ = bench.device()
    with pytest.raises(AssertionError) as err:
        dev._send_command_to_channel(command, 0)
    assert str(err.value) == TOO_LONG.format(command)


def test_channel_range_and_exact_types(bench):
    dev, fw, _ = bench.device()
    for channel in (0, 5):
        with pytest.raises(AssertionError) as err:
            dev.send_command_to_channel("FlushInput", channel)
        assert str(err.value) == RANGE.format(4)
    dev.send_command_to_channel("FlushInput", 4)
    assert fw.commands[-1] == (4, "FlushInput")
    sent = len(fw.out)

    class Text(str):
        pass

    for call in (lambda: dev.send_command_to_channel("FlushInput", True),
                 lambda: dev._send_command_to_channel("Version?", False),
                 lambda: dev.send_command_to_channel(Text("FlushInput"), 1),
                 lambda: dev.set_io_control_handler_for_channel(print, True),
                 lambda: dev.open_channel(True, 9600, 1.0)):
        with pytest.raises(TypeError):
            call()
    assert len(fw.out) == sent


def test_unencodable_command_sends_nothing(bench):
    dev, fw, _ = bench.device()
    with pytest.raises(UnicodeEncodeError):
        dev._send_command_to_channel("bad \udc80", 0)
    assert fw.out == []


# --- control handlers -------------------------------------------------------------------


def test_handler_registration_range(bench):
    dev, fw, _ = bench.device()
    for channel in (0, 5):
        with pytest.raises(AssertionError) as err:
            dev.set_io_control_handler_for_channel(print, channel)
        assert str(err.value) == RANGE.format(4)
    for channel in range(1, 5):
        dev.set_io_control_handler_for_channel(print, channel)


def test_handler_replace_and_reset(bench, stderr):
    dev, fw, _ = bench.device()
    first, second = [], []
    dev.set_io_control_handler_for_channel(first.append, 2)
    dev.set_io_control_handler_for_channel(second.append, 2)
    fw.feed(record(102, b"one"))
    assert fw.drain()
    assert (first, second) == ([], [array("B", b"one")])
    dev.reset_io_control_handler_for_channel(2)
    dev.reset_io_control_handler_for_channel(2)    # absent: nothing happens
    dev.reset_io_control_handler_for_channel(200)  # no range check either
    fw.feed(record(102, b"two"))
    assert fw.drain()
    assert second == [array("B", b"one")] and stderr.writes == []
    package = array("B", b"direct")
    dev.set_io_control_handler_for_channel(second.append, 2)
    dev.handle_io_control_package(package, channel=2)
    assert second[-1] is package


def test_raising_handler_is_reported_once_and_called_again(bench, stderr):
    dev, fw, _ = bench.device()
    calls = []

    def handler(package):
        calls.append(bytes(package))
        if len(calls) == 1:
            raise ValueError("bad reply")

    dev.set_io_control_handler_for_channel(handler, 1)
    fw.feed(record(101, b"1"))
    fw.feed(record(101, b"2"))
    assert fw.drain()
    assert calls == [b"1", b"2"]
    assert stderr.writes == ["处理 IOControl 命令时出错：[bad reply]:" + SERIAL]
    assert reader_of(dev).is_alive()


def test_reset_waits_for_a_handler_call_in_progress(bench):
    dev, fw, _ = bench.device()
    started, log = threading.Event(), []

    def slow(package):
        started.set()
        time.sleep(0.3)
        log.append("handler done")

    dev.set_io_control_handler_for_channel(slow, 1)
    fw.feed(record(101, b"x"))
    assert started.wait(3)
    dev.reset_io_control_handler_for_channel(1)
    log.append("reset done")
    assert log == ["handler done", "reset done"]


def test_control_records_go_through_an_overriding_method(bench):
    calls = []

    class Recording(_Device):
        def handle_io_control_package(self, package, channel):
            calls.append((bytes(package), channel))

    fw = FakeHandle()
    bench.track(Recording(FakeRegistry(), fw))
    fw.feed(record(103, b"ok"))
    assert fw.drain()
    assert calls == [(b"ok", 3)]


# --- output_data --------------------------------------------------------------------------


def test_output_data_sizes(bench):
    dev, fw, _ = bench.device()
    for size in (63, 65):
        with pytest.raises(AssertionError) as err:
            dev.output_data(array("B", bytes(size)))
        assert str(err.value) == "只支持长度为 64 的数据包:" + SERIAL
    assert fw.out == []
    fw.loopback = False
    dev.output_data(array("B", bytes([1, 1, 7]) + bytes(61)))
    assert fw.out == [bytes([1, 1, 7]) + bytes(61)]
    fw.write_result = 10
    with pytest.raises(AssertionError) as err:
        dev.output_data(bytes(64))
    assert str(err.value) == ""
    sent = len(fw.out)
    for timeout in (-1, 2**32):  # outside what a transfer takes: refused before any traffic
        with pytest.raises(ValueError, match="timeout must be between 0 and 4294967295 ms"):
            dev._Device__write(bytes(64), timeout)
        with pytest.raises(ValueError, match="timeout must be between 0 and 4294967295 ms"):
            dev._Device__read(timeout)
    assert len(fw.out) == sent


def test_write_errors_reach_the_caller(bench):
    dev, fw, _ = bench.device()
    fw.write_error = zeq_torvak._usb_core.USBTimeoutError("Operation timed out")
    with pytest.raises(zeq_torvak._usb_core.USBTimeoutError):
        dev.output_data(bytes(64))
    with pytest.raises(IOError):
        dev._send_command_to_channel("Version?", 0)


# --- construction -----------------------------------------------------------------------------


@pytest.mark.parametrize("active, detach_error, detached", [
    (True, None, [0]),
    (False, None, []),
    ("unsupported", None, []),
    (True, NotImplementedError("detach"), []),
])
def test_kernel_driver(bench, active, detach_error, detached):
    fw = FakeHandle()
    fw.kernel_driver, fw.detach_error = active, detach_error
    dev, _, _ = bench.device(fw)
    assert fw.detached == detached
    assert reader_of(dev).is_alive()


def test_construction_errors_start_no_reader():
    before = threading.active_count()
    fw = FakeHandle()
    fw.kernel_driver, fw.detach_error = True, zeq_torvak._usb_core.USBError("Access denied")
    with pytest.raises(zeq_torvak._usb_core.USBError):
        _Device(FakeRegistry(), fw)
    fw = FakeHandle()
    fw.endpoints = fw.endpoints[:1]
    with pytest.raises(IndexError):
        _Device(FakeRegistry(), fw)
    assert threading.active_count() == before


def test_serial_number_must_be_text(bench):
    dev, fw, _ = bench.device(FakeHandle(serial_number=None))
    assert dev.serial_number is None
    fw.serial_number = 1234
    with pytest.raises(TypeError):
        dev.serial_number


def test_endpoints_follow_list_position(bench):
    fw = FakeHandle()
    fw.endpoints = [Endpoint(0x02, 512), Endpoint(0x83, 64)]  # OUT listed first
    dev, _, _ = bench.device(fw)
    time.sleep(0.06)
    assert fw.read_args == (0x02, 512, 50)
    dev._send_command_to_channel("Version?", 0)
    assert fw.out_endpoints == [0x83]
