"""torvak:// ports through pyserial, against the emulated device: URLs, pyserial's time-out
and exception contract, refused settings, the channel listing, serial.threaded."""
import logging
import queue
import re
import threading
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

from serial_support import looped_device_and_port, serial, torvak_serial
from serial.rs485 import RS485Settings
from serial.threaded import LineReader, ReaderThread

SERIAL = "PYS0001"
URL = "torvak://PYS0001/1"


device, port = looped_device_and_port(SERIAL, timeout=1)


def _data_packet(channel, payload):
    return bytes([channel, len(payload)]) + bytes(payload) + bytes(62 - len(payload))


def _after(seconds, action):
    timer = threading.Timer(seconds, action)
    timer.start()
    return timer


class TestUrl:
    @pytest.mark.parametrize(
        "url, expected",
        [
            ("torvak://ANY/1", ("ANY", 1)),
            ("TORVAK://emu0001/12", ("emu0001", 12)),
            ("torvak://A%2FB/3", ("A/B", 3)),
            ("torvak://ANY/007", ("ANY", 7)),
        ],
    )
    def test_accepted(self, url, expected):
        assert torvak_serial.parse_url(url) == expected

    @pytest.mark.parametrize(
        "url",
        [
            "torvak://ANY",
            "torvak://ANY/",
            "torvak://ANY/0",
            "torvak://ANY/-1",
            "torvak://ANY/x",
            "torvak://ANY/\u0661",  # a decimal digit, but not an ASCII one
            "torvak://ANY/1/2",
            "torvak:///1",
            "torvak://A:B/1",
            "torvak://%20ANY/1",
            "torvak://ANY/1?baudrate=9600",
            "torvak://ANY/1#x",
            "loop://",
        ],
    )
    def test_refused(self, url):
        with pytest.raises(serial.SerialException, match="torvak://SERIAL/N"):
            torvak_serial.parse_url(url)

    @given(
        st.text(min_size=1).filter(lambda s: ":" not in s and s == s.strip()),
        st.integers(min_value=1, max_value=10**6),
    )
    def test_make_url_round_trips(self, serial_number, channel):
        assert torvak_serial.parse_url(torvak_serial.make_url(serial_number, channel)) == (
            serial_number,
            channel,
        )

    def test_a_bad_url_fails_before_any_device_is_touched(self, device):
        with pytest.raises(serial.SerialException, match="torvak://SERIAL/N"):
            serial.serial_for_url("torvak://PYS0001/S1")
        assert device.out_packets() == []


class TestOpenAndClose:
    def test_serial_for_url_opens_the_channel_at_a_confirmed_rate(self, device, port):
        assert isinstance(port, serial.SerialBase) and isinstance(port, torvak_serial.Serial)
        assert port.is_open and port.port == URL and port.name == URL
        assert device.channel_state(1)["open"] and device.channel_state(1)["baud"] == 115200
        port.close()
        assert not port.is_open and not device.channel_state(1)["open"]
        port.close()  # a second close is harmless, as with pyserial's own ports

    def test_do_not_open_then_open_as_a_context_manager(self, device):
        p = serial.serial_for_url("torvak://ANY/2", baudrate=9600, do_not_open=True)
        assert not p.is_open and device.out_packets() == []
        with p:
            assert p.is_open and device.channel_state(2)["open"]
        assert not p.is_open and not device.channel_state(2)["open"]

    def test_a_port_dropped_without_close_is_closed(self, device):
        dropped = serial.serial_for_url(URL)
        del dropped  # io.IOBase's finalizer closes it
        assert not device.channel_state(1)["open"] and not device.claimed

    def test_reopen_after_close_and_port_change(self, device, port):
        port.close()
        port.open()
        assert port.write(b"x") == 1 and port.read(1) == b"x"
        port.port = "torvak://PYS0001/3"  # pyserial closes and reopens on a new port
        assert port.is_open and device.channel_state(3)["open"]
        assert not device.channel_state(1)["open"]

    @pytest.mark.parametrize(
        "url, message",
        [
            ("torvak://nosuch/1", "torvak://nosuch/1: no Torvak device with serial number NOSUCH (attached: PYS0001)"),
            ("torvak://PYS0001/5", "torvak://PYS0001/5: channel 5 is out of range: device PYS0001 has channels 1 to 4"),
        ],
    )
    def test_open_failures_say_what_is_wrong(self, device, url, message):
        before = threading.active_count()
        with pytest.raises(serial.SerialException) as info:
            serial.serial_for_url(url)
        assert str(info.value) == "could not open port " + message
        assert isinstance(info.value.__cause__, AssertionError)
        # The failed open leaves no device open behind it, and so no reader thread.
        assert not device.claimed and threading.active_count() == before

    def test_failures_carry_what_went_wrong(self, device, port):
        from torvak_common import Kind
        from torvak_serial.failure import DeviceFailure

        with pytest.raises(DeviceFailure) as info:
            serial.serial_for_url("torvak://PYS0001/5")
        failure = info.value.failure
        assert (failure.kind, failure.serial_number, failure.channel, failure.channel_count) == (
            Kind.CHANNEL_RANGE, "PYS0001", 5, 4)
        assert info.value.explain("Torvak:PYS0001:S5") == (
            "Torvak:PYS0001:S5: channel 5 is out of range: device PYS0001 has channels 1 to 4")
        with pytest.raises(DeviceFailure) as info:
            serial.serial_for_url(URL)
        assert info.value.failure.kind is Kind.CHANNEL_OPEN
        device.set_fault(config="wrong_rate")  # the device reports half the rate asked for
        with pytest.raises(DeviceFailure) as info:
            port.baudrate = 19200
        assert (info.value.failure.kind, info.value.failure.requested, info.value.failure.reported) == (
            Kind.BAUD_MISMATCH, 19200, 9600)

    def test_a_serial_number_with_lower_case_letters_reaches_its_device(self, testbed):
        """The module upper-cases a port name's serial number; the URL reaches the device
        anyway, in either spelling, with another device opened first in this process (so
        that the wildcard would not be it)."""
        other = testbed.plug(serial="PYS0002")
        lower = testbed.plug(serial="Emu0001", channels=2)
        lower.set_loopback(True)
        with serial.serial_for_url("torvak://PYS0002/1", timeout=1):
            with serial.serial_for_url("torvak://Emu0001/1", timeout=1) as first, \
                    serial.serial_for_url("torvak://EMU0001/2", timeout=1) as second:
                for port, data in ((first, b"one"), (second, b"two")):
                    assert port.write(data) == len(data) and port.read(len(data)) == data
                    assert port.device_serial_number == "Emu0001"
            with pytest.raises(serial.SerialException) as info:
                serial.serial_for_url("torvak://Emu0001/3")
            assert str(info.value) == (
                "could not open port torvak://Emu0001/3: channel 3 is out of range: device Emu0001 has channels 1 to 2")
            assert not lower.claimed  # the failed open left the device closed
        assert other.out_packets() and not other.claimed

    def test_a_channel_is_opened_once(self, port):
        with pytest.raises(serial.SerialException, match="could not open port"):
            serial.serial_for_url(URL)
        with pytest.raises(serial.SerialException, match="already open"):
            port.open()
        assert port.write(b"ok") == 2 and port.read(2) == b"ok"

    def test_rate_the_device_does_not_confirm_fails_the_open(self, device):
        device.set_fault(config="wrong_rate")
        with pytest.raises(serial.SerialException, match="could not open port") as info:
            serial.serial_for_url(URL, baudrate=19200)
        assert isinstance(info.value.__cause__, OSError)
        assert not device.channel_state(1)["open"]

    def test_a_closed_port_raises_port_not_open(self, port):
        port.close()
        operations = [
            lambda p: p.read(1),
            lambda p: p.read_until(b"\n"),
            lambda p: p.readline(),
            lambda p: p.write(b"x"),
            lambda p: p.in_waiting,
            lambda p: p.out_waiting,
            lambda p: p.reset_input_buffer(),
            lambda p: p.reset_output_buffer(),
            lambda p: p.flush(),
        ]
        for operation in operations:
            with pytest.raises(serial.PortNotOpenError):
                operation(port)


class TestReading:
    def test_timeout_zero_returns_at_once_with_what_is_there(self, device, port):
        port.timeout = 0
        start = time.monotonic()
        assert port.read(10) == b""
        assert time.monotonic() - start < 0.5  # not the second the port had before
        port.write(b"abc")
        port.timeout = 1
        assert port.read(3) == b"abc"
        port.write(b"defg")
        deadline = time.monotonic() + 2
        while port.in_waiting < 4 and time.monotonic() < deadline:
            time.sleep(0.005)
        port.timeout = 0
        assert port.read(10) == b"defg"

    def test_a_positive_timeout_limits_the_whole_call(self, device, port):
        port.timeout = 0.3
        port.write(b"ab")
        start = time.monotonic()
        assert port.read(10) == b"ab"
        assert 0.25 < time.monotonic() - start < 1.0

    def test_timeout_none_waits_for_every_byte(self, device, port):
        port.timeout = None
        timer = _after(0.3, lambda: device.queue_in(_data_packet(1, b"hello")))
        start = time.monotonic()
        try:
            assert port.read(5) == b"hello"
        finally:
            timer.join()
        assert time.monotonic() - start >= 0.25

    def test_inter_byte_timeout_ends_a_read_once_data_stops(self, device, port):
        port.timeout = 5
        port.inter_byte_timeout = 0.2
        port.write(b"abc")
        start = time.monotonic()
        assert port.read(100) == b"abc"
        assert time.monotonic() - start < 1.0

    def test_read_until_with_a_multi_byte_terminator(self, port):
        port.write(b"one\r\ntwo\rthree\r\nfour")
        assert port.read_until(b"\r\n") == b"one\r\n"
        # A lone last byte of the terminator is no terminator.
        assert port.read_until(b"\r\n") == b"two\rthree\r\n"
        port.timeout = 0.2
        assert port.read_until(b"\r\n") == b"four"

    def test_read_until_a_terminator_split_across_packets(self, port):
        # The device sends at most 61 bytes a packet: "\r" ends one packet, "\n" starts the next.
        line = b"x" * 60 + b"\r\n"
        port.write(line + b"rest")
        assert port.read_until(b"\r\n") == line
        assert port.read(4) == b"rest"

    def test_read_until_stops_at_the_size_and_keeps_the_rest(self, port):
        port.write(b"abcdEND")
        assert port.read_until(b"END", size=2) == b"ab"
        assert port.read_until(b"END") == b"cdEND"
        assert port.read_until(b"END", size=0) == b""
        with pytest.raises(ValueError):
            port.read_until(b"")

    def test_readline_and_iteration(self, port):
        port.write(b"a\nbb\nccc")
        assert port.readline() == b"a\n"
        assert port.readline(1) == b"b"
        port.timeout = 0.2
        assert port.readlines() == [b"b\n", b"ccc"]

    def test_in_waiting_and_reset_input_buffer(self, device, port):
        port.write(b"abc")
        deadline = time.monotonic() + 2
        while port.in_waiting < 3 and time.monotonic() < deadline:
            time.sleep(0.005)
        assert port.in_waiting == 3
        flushed = device.channel_state(1)["flushed"]
        port.reset_input_buffer()
        assert port.in_waiting == 0
        assert device.channel_state(1)["flushed"] == flushed + 1

    def test_cancel_read_ends_a_waiting_read(self, port):
        port.timeout = None
        result = []
        reader = threading.Thread(target=lambda: result.append(port.read(10)))
        reader.start()
        time.sleep(0.1)
        start = time.monotonic()
        port.cancel_read()
        reader.join(2)
        assert not reader.is_alive() and result == [b""]
        assert time.monotonic() - start < 0.5

    def test_a_cancel_with_no_read_waiting_ends_the_next_read_only(self, port):
        port.timeout = None
        port.cancel_read()
        assert port.read(1) == b""
        port.timeout = 0.2
        start = time.monotonic()
        assert port.read(1) == b""
        assert time.monotonic() - start > 0.15

    def test_close_from_another_thread_ends_a_waiting_read(self, port):
        port.timeout = None
        errors = []

        def read():
            try:
                port.read(10)
            except serial.SerialException as exc:
                errors.append(exc)

        reader = threading.Thread(target=read)
        reader.start()
        time.sleep(0.1)
        port.close()
        reader.join(2)
        assert not reader.is_alive()
        assert len(errors) == 1 and isinstance(errors[0], serial.PortNotOpenError)


class TestWriting:
    def test_buffers_are_sent_as_their_bytes_text_and_numbers_refused(self, device, port):
        for data in [b"bytes", bytearray(b"array"), memoryview(b"view"), [1, 2, 255]]:
            assert port.write(data) == len(bytes(data))
            assert port.read(len(bytes(data))) == bytes(data)
        before = len(device.out_packets())
        for data in ["text", 5]:
            with pytest.raises(TypeError):
                port.write(data)
        assert len(device.out_packets()) == before

    def test_flush_and_reset_once_everything_has_gone_send_nothing_more(self, device, port):
        port.write(b"x")
        port.flush()
        before = len(device.out_packets())
        port.flush()
        port.reset_output_buffer()
        assert port.out_waiting == 0
        assert len(device.out_packets()) == before

    def test_write_timeout_limits_the_wait_for_room(self, device, port):
        device.set_pace_ms(30)  # the device takes one packet every 30 ms
        port.write_timeout = 0.05
        data = bytes(range(256)) * 20  # more than the 4 KiB output buffer takes
        start = time.monotonic()
        with pytest.raises(serial.SerialTimeoutException, match="of 5120 bytes written"):
            port.write(data)
        assert time.monotonic() - start < 0.4
        port.reset_output_buffer()
        port.write_timeout = None
        assert port.write(b"after") == 5

    def test_write_timeout_that_is_met(self, device, port):
        port.write_timeout = 2
        data = bytes(range(256)) * 2
        assert port.write(data) == len(data)
        assert port.read(len(data)) == data

    def test_a_usb_failure_is_a_serial_exception(self, device, port):
        device.unplug()
        with pytest.raises(serial.SerialException) as info:
            port.write(b"x")
        assert isinstance(info.value.__cause__, OSError)


class TestBaudRate:
    def test_changes_are_confirmed_by_the_device(self, device, port):
        port.baudrate = 9600
        assert port.baudrate == 9600 and device.channel_state(1)["baud"] == 9600
        port.apply_settings({"baudrate": 57600})
        assert port.baudrate == 57600 and device.channel_state(1)["baud"] == 57600

    def test_a_rate_the_device_reports_otherwise_is_a_serial_exception(self, device, port):
        device.set_fault(config="wrong_rate")  # the device answers with half the rate
        with pytest.raises(serial.SerialException, match="baud rate 19200 refused: device PYS0001 reports 9600"):
            port.baudrate = 19200
        assert port.baudrate == 9600  # what the device reports, not what was asked



UNSUPPORTED_SETTINGS = [
    ("bytesize", serial.SEVENBITS, "EIGHTBITS"),
    ("bytesize", serial.FIVEBITS, "EIGHTBITS"),
    ("parity", serial.PARITY_EVEN, "PARITY_NONE"),
    ("parity", serial.PARITY_ODD, "PARITY_NONE"),
    ("parity", serial.PARITY_MARK, "PARITY_NONE"),
    ("parity", serial.PARITY_SPACE, "PARITY_NONE"),
    ("stopbits", serial.STOPBITS_TWO, "STOPBITS_ONE"),
    ("stopbits", serial.STOPBITS_ONE_POINT_FIVE, "STOPBITS_ONE"),
    ("xonxoff", True, "no software flow control"),
    ("rtscts", True, "no hardware flow control"),
    ("dsrdtr", True, "no hardware flow control"),
]

def _refusal(setting, supported):
    return "{}.*not supported.*{}".format(setting, supported)


class TestUnsupportedSettings:
    """Every setting the device cannot honour is refused with a clear error, before or
    after opening, and refusing it changes nothing."""

    def test_refused_when_opening(self, device):
        for setting, value, supported in UNSUPPORTED_SETTINGS:
            with pytest.raises(ValueError, match=_refusal(setting, supported)):
                serial.serial_for_url(URL, **{setting: value})
        assert device.out_packets() == []

    def test_refused_on_an_open_port(self, port):
        for setting, value, supported in UNSUPPORTED_SETTINGS:
            before = getattr(port, setting)
            with pytest.raises(ValueError, match=_refusal(setting, supported)):
                setattr(port, setting, value)
            with pytest.raises(ValueError, match=_refusal(setting, supported)):
                port.apply_settings({setting: value})
            assert getattr(port, setting) == before, setting
        with pytest.raises(ValueError, match=_refusal("rs485_mode", "no RS-485 mode")):
            port.rs485_mode = RS485Settings()
        assert port.rs485_mode is None
        assert port.write(b"ok") == 2 and port.read(2) == b"ok"

    def test_modem_lines_and_break_are_accepted_and_ignored(self, device, port, caplog):
        caplog.set_level(logging.DEBUG, logger="torvak_serial")
        before = len(device.out_packets())
        for value in (False, True):
            port.rts = port.dtr = port.break_condition = value
            port.setRTS(value)
            assert (port.rts, port.dtr, port.break_condition) == (value, value, value)
        port.send_break(0.01)
        assert (port.cts, port.dsr, port.cd, port.ri) == (True, True, True, False)
        assert (port.getCTS(), port.getRI()) == (True, False)
        assert len(device.out_packets()) == before
        logged = [r.getMessage() for r in caplog.records if r.name == "torvak_serial"]
        assert any("RTS False ignored" in line for line in logged) and any("break" in line for line in logged)

        unopened = serial.serial_for_url("torvak://PYS0001/2", do_not_open=True)
        unopened.dtr = False  # as miniterm --dtr 0 does before opening
        with pytest.raises(serial.PortNotOpenError):
            unopened.cts
        with unopened:
            assert unopened.dtr is False and unopened.dsr is True

    @pytest.mark.parametrize("rate", [0, -9600, "fast"])
    def test_a_baud_rate_below_1_is_refused_before_the_device_is_asked(self, device, port, rate):
        expected = "baud rate {!r} is not valid: give a whole number above 0".format(rate)
        with pytest.raises(ValueError, match=re.escape(expected)):
            serial.serial_for_url(URL, baudrate=rate)  # the URL is set after the settings
        with pytest.raises(ValueError, match=re.escape("torvak://PYS0001/1: " + expected)):
            port.baudrate = rate
        assert port.baudrate == 115200 and device.channel_state(1)["baud"] == 115200

    def test_the_defaults_are_accepted(self, device):
        p = serial.serial_for_url(
            URL,
            bytesize=serial.EIGHTBITS,
            parity=serial.PARITY_NONE,
            stopbits=serial.STOPBITS_ONE,
            xonxoff=False,
            rtscts=False,
            dsrdtr=False,
            write_timeout=None,
            inter_byte_timeout=None,
            exclusive=True,
        )
        p.close()


class TestListing:
    def test_every_channel_of_every_addressable_device(self, testbed):
        testbed.plug(serial="LSTB0002", channels=2)
        testbed.plug(serial="LSTA0001", channels=12)
        lower = testbed.plug(serial="lst0003", channels=2)
        testbed.plug(serial="LSTD0004", serial_string=False)
        ports = torvak_serial.comports()
        assert [p.device for p in ports] == [
            "torvak://LSTA0001/{}".format(n) for n in range(1, 13)
        ] + ["torvak://LSTB0002/1", "torvak://LSTB0002/2"]
        first = ports[0]
        assert first.name == "Torvak:LSTA0001:S1"
        assert (first.vid, first.pid, first.serial_number) == (0x0483, 0x5750, "LSTA0001")
        assert first.hwid == "USB VID:PID=0483:5750 SER=LSTA0001"
        assert "LSTA0001" in first.description and "1" in first.description
        # Listing opened no device for good: nothing of it stays claimed, no reader runs.
        assert all(not d.claimed for d in testbed.devices())
        assert lower.open_handles == 0

    def test_listed_urls_open_and_listing_leaves_open_ports_alone(self, testbed):
        testbed.plug(serial="LSTA0001", channels=2).set_loopback(True)
        with serial.serial_for_url("torvak://LSTA0001/2", timeout=1) as busy:
            ports = torvak_serial.comports()
            assert [p.device for p in ports] == ["torvak://LSTA0001/1", "torvak://LSTA0001/2"]
            assert busy.is_open and busy.write(b"still") == 5 and busy.read(5) == b"still"
            with serial.serial_for_url(ports[0].device, timeout=1) as other:
                assert other.write(b"1") == 1 and other.read(1) == b"1"

    def test_no_devices(self, testbed):
        assert torvak_serial.comports() == []


class _Lines(LineReader):
    TERMINATOR = b"\r\n"

    def __init__(self):
        super().__init__()
        self.lines = queue.Queue()
        self.lost = queue.Queue()

    def handle_line(self, line):
        self.lines.put(line)

    def connection_lost(self, exc):
        # pyserial's own connection_lost() raises exc again, inside the reader thread.
        self.transport = None
        self.lost.put(exc)


class TestReaderThread:
    def test_line_reader_over_loopback(self, port):
        port.timeout = None
        thread = ReaderThread(port, _Lines)
        with thread as protocol:
            protocol.write_line("hello")
            protocol.write_line("wörld")
            protocol.write_line("x" * 150)  # spans three packets each way
            got = [protocol.lines.get(timeout=2) for _ in range(3)]
            assert got == ["hello", "wörld", "x" * 150]
            start = time.monotonic()
        # Leaving the block stops the thread through cancel_read() and closes the port.
        assert time.monotonic() - start < 1.0
        assert not thread.is_alive() and not port.is_open
        assert protocol.lost.get(timeout=1) is None

    def test_the_thread_ends_with_an_error_when_the_port_is_closed_under_it(self, port):
        port.timeout = None
        thread = ReaderThread(port, _Lines)
        thread.start()
        _, protocol = thread.connect()
        time.sleep(0.1)  # the thread is waiting in read() by now
        port.close()
        thread.join(2)
        assert not thread.is_alive()
        assert isinstance(protocol.lost.get(timeout=1), serial.SerialException)
