"""What the Python faces do on Windows, where torvak serve cannot run: the command says so
and clients look for no service; a direct port waits in select() (sockets only there) and
asyncio's selector loop; torvak term reads piped input by a thread and the console through
pyserial's miniterm. The wheels' check runs these under wine, where they are real;
elsewhere sys.platform is made Windows'."""
import asyncio
import io
import os
import select
import sys
import threading
import time

import pytest

import torvak_serial
import zeq_torvak
from fake_usb import SERIAL
from torvak_cli import main as cli
from torvak_cli import terminal
from torvak_cli.miniterm import make_importable
from torvak_cli.reports import ReportRecorder
from torvak_common import served
from torvak_serial import native

make_importable()  # pyserial's miniterm, under wine too
import serial.tools.miniterm as miniterm  # noqa: E402


@pytest.fixture
def windows(monkeypatch, tmp_path):
    monkeypatch.setattr(sys, "platform", "win32")
    # A run directory named is no reason to look there: no service runs on Windows.
    monkeypatch.setenv("TORVAK_RUN_DIR", str(tmp_path))


def test_serve_says_it_needs_linux_whatever_it_is_asked(windows, capsys):
    for argv in (["serve"], ["serve", "--device", "EMU0001", "--rfc2217-port", "4000"], ["serve", "--status"]):
        assert cli.main(argv) == cli.SERVE_NEEDS_LINUX
    assert "needs Linux" in cli.SERVE_NEEDS_LINUX and "torvak://SERIAL/N" in cli.SERVE_NEEDS_LINUX
    assert capsys.readouterr().out == ""


def test_no_service_is_looked_for(windows, tmp_path):
    assert served.run_directories() == []
    assert served.service_running(str(tmp_path)) is False
    assert served.find_served("EMU0001") is None


@pytest.fixture
def direct_port(bench, monkeypatch, tmp_path):
    """A torvak:// port opened directly, on a device behind a fake handle (loopback)."""
    monkeypatch.setenv("TORVAK_RUN_DIR", str(tmp_path))  # no service holds it
    dev, handle, _ = bench.device()

    def open_channel(serial_number, channel, baudrate, timeout):
        port = zeq_torvak.Serial.__new__(zeq_torvak.Serial)
        setattr(port, "_Serial__handle", dev.open_channel(channel, baudrate, timeout))
        return port

    monkeypatch.setattr(native, "open_channel", open_channel)
    port = torvak_serial.Serial("torvak://{}/1".format(SERIAL), timeout=0.2)
    yield port
    port.close()


def test_the_direct_port_waits_in_select_and_in_asyncio(direct_port):
    port = direct_port
    # A read with nothing to read waits on the port's wake-up pair, which select must take
    # (a pipe there fails every such read on Windows).
    started = time.monotonic()
    assert port.read(8) == b""
    assert time.monotonic() - started >= 0.15
    assert select.select([port], [], [], 0)[0] == []
    port.write(b"ping")
    assert select.select([port], [], [], 2)[0] == [port]
    assert port.read(4) == b"ping"
    # asyncio's selector loop (Windows' default loop, the proactor, watches no descriptors).
    loop = asyncio.SelectorEventLoop()
    try:
        got = loop.create_future()
        loop.add_reader(port.fileno(), lambda: got.done() or got.set_result(port.read(port.in_waiting)))
        port.write(b"pong")
        assert loop.run_until_complete(asyncio.wait_for(got, 2)) == b"pong"
        loop.remove_reader(port.fileno())
    finally:
        loop.close()
    # cancel_read() from another thread ends a read that would wait for ever.
    port.timeout = None
    waker = threading.Timer(0.2, port.cancel_read)
    waker.start()
    assert port.read(1) == b""
    waker.join()


class ScriptedConsole(miniterm.ConsoleBase):
    """Keys as pyserial's console for Windows gives them (Enter as a line end), the last
    one (Ctrl-]) once the echo of the others has come back."""

    def __init__(self):
        super().__init__()
        self.keys = ["h", "i", "\n", "\x1d"]
        self.received = bytearray()

    def getkey(self):
        if len(self.keys) == 1:
            deadline = time.monotonic() + 2
            while len(self.received) < 3 and time.monotonic() < deadline:
                time.sleep(0.01)
        return self.keys.pop(0)

    def write_bytes(self, data):
        self.received += data

    def write(self, text):
        self.received += text.encode()

    def cancel(self):
        pass


def test_term_reads_standard_input_by_a_thread_and_the_console_through_miniterm(direct_port, monkeypatch):
    monkeypatch.setattr(sys, "platform", "win32")
    reports = ReportRecorder(io.StringIO())
    # Piped input: sent as it comes, the answer written unchanged, then the session lingers and ends.
    stdin_r, stdin_w = os.pipe()
    out_r, out_w = os.pipe()
    os.write(stdin_w, b"abc\x1d")
    os.close(stdin_w)
    try:
        terminal.run(direct_port, stdin_r, out_w, reports, "--- banner ---\n", linger=0.2)
        os.close(out_w)
        out_w = -1
        assert os.read(out_r, 100) == b"abc\x1d"
    finally:
        for fd in (stdin_r, out_r, out_w):
            if fd >= 0:
                os.close(fd)
    # At a console: miniterm's, Enter sent as a carriage return, bytes back unchanged.
    console = ScriptedConsole()
    monkeypatch.setattr(miniterm, "Console", lambda: console)
    monkeypatch.setattr(terminal.os, "isatty", lambda fd: True)
    terminal.run(direct_port, 0, 1, reports, "--- console ---\n")
    assert bytes(console.received) == b"hi\r"
    assert reports.real.getvalue() == "--- banner ---\n--- console ---\n"
