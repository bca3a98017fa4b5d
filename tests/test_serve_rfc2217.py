"""The protocol's own signals on a served channel, over a raw RFC 2217 connection to a paced
device: a line state poll answered once the device has every byte sent before it, a
PURGE-DATA that drops what waits without suspending the client, and a refusal that says
why in the protocol."""
import os
import shutil
import socket
import subprocess
import time

import pytest

from serial_support import serial
from test_serve import SERIAL, device, served  # noqa: F401  (the fixtures)
from torvak_cli.serve.polls import MAX_WAITING, Polls
from torvak_common.telnet import SB, Command, TelnetInput
from torvak_common import refusals
from torvak_common.wire import channel_data
from torvak_emu import wait_until

IAC, SE, COM_PORT = b"\xff", b"\xf0", b"\x2c"
NOTIFY_LINESTATE, PURGE_DATA, PURGE_TRANSMIT = b"\x06", b"\x0c", b"\x02"
SERVER_SIGNATURE, SERVER_NOTIFY_LINESTATE, SERVER_FLOWCONTROL_SUSPEND, SERVER_PURGE_DATA = 0x64, 0x6a, 0x6c, 0x70
SHIFT_REGISTER_EMPTY = 0x40


def subnegotiation(*parts):
    return IAC + bytes((SB,)) + COM_PORT + b"".join(parts) + IAC + SE


POLL = subnegotiation(NOTIFY_LINESTATE)


class Connection:
    """A raw client of a channel's TCP port: what it sends, and the service's commands."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.telnet = TelnetInput()
        self.commands = []  # (code, value) of each COM-PORT-OPTION subnegotiation

    def until(self, wanted, limit=20):
        """Reads until a COM-PORT-OPTION reply `wanted` comes (or the connection ends);
        that reply's value, or None."""
        deadline = time.monotonic() + limit
        self.sock.settimeout(0.5)
        while time.monotonic() < deadline:
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            for piece in self.telnet.feed(data):
                if isinstance(piece, Command) and piece.verb == SB and piece.body[:1] == COM_PORT:
                    self.commands.append((piece.body[1], piece.body[2:]))
                    if piece.body[1] == wanted:
                        return piece.body[2:]
            if not data:
                return None
        return None

    def close(self):
        self.sock.close()


def received(device):
    return channel_data(device.out_packets()).get(1, b"")


def test_a_line_state_poll_waits_for_the_device_and_a_purge_drops_what_waits(served, device):
    device.set_loopback(False)
    device.set_pace_ms(2)  # about 31 KB/s
    client = Connection(served.base)
    try:
        # On an idle channel the answer comes at once.
        client.sock.sendall(POLL)
        answer = client.until(SERVER_NOTIFY_LINESTATE, limit=5)
        assert answer is not None and answer[0] & SHIFT_REGISTER_EMPTY, served.log()
        # Behind 16 KiB (half a second of the device), only once the device has them all.
        data = os.urandom(16 * 1024)
        client.sock.sendall(data.replace(IAC, IAC + IAC) + POLL)
        answer = client.until(SERVER_NOTIFY_LINESTATE)
        assert received(device) == data, served.log()
        assert answer is not None and answer[0] & SHIFT_REGISTER_EMPTY

        # A purge drops what waits for the device; the bytes after it follow at once.
        device.out_packets(clear=True)
        data = os.urandom(96 * 1024)
        client.sock.sendall(data.replace(IAC, IAC + IAC))
        assert wait_until(lambda: len(received(device)) >= 4096, timeout=10)
        client.sock.sendall(subnegotiation(PURGE_DATA, PURGE_TRANSMIT) + b"after the purge" + POLL)
        assert client.until(SERVER_PURGE_DATA) == PURGE_TRANSMIT
        assert client.until(SERVER_NOTIFY_LINESTATE) is not None
        got = received(device)
        assert got.endswith(b"after the purge") and len(got) < len(data), len(got)
        assert data.startswith(got[:-len(b"after the purge")])
        assert SERVER_FLOWCONTROL_SUSPEND not in [code for code, _ in client.commands]
    finally:
        client.close()


def test_a_refused_client_is_told_why_in_the_protocol(served, device):
    with serial.serial_for_url(served.url(1), timeout=1) as holder:
        client = Connection(served.base)
        try:
            client.until(None, limit=10)  # to the end of the connection
        finally:
            client.close()
        said = [value.decode() for code, value in client.commands if code == SERVER_SIGNATURE]
        assert said and said[0].startswith(refusals.in_use("{}/1".format(SERIAL), "another RFC 2217 client (")), said
        # pyserial's own client fails to open (as before, without the reason) rather than
        # hang, and the holder goes on.
        try:
            serial.serial_for_url(served.url(1), timeout=1).close()
        except (serial.SerialException, OSError):
            pass
        else:
            raise AssertionError("a second client was let in")
        holder.write(b"still mine")
        assert holder.read(10) == b"still mine"


class _Queue:
    waiting_now = 0

    def waiting(self):
        return self.waiting_now


def test_polls_wait_for_their_own_bytes_and_a_purge_lets_them_go():
    queue, answered = _Queue(), []
    polls = Polls(queue)
    polls.taken, queue.waiting_now = 100, 100
    polls.add(0, lambda: answered.append("a"))  # behind the 100 bytes taken
    polls.taken, queue.waiting_now = 300, 250
    polls.add(50, lambda: answered.append("b"))  # behind 300 taken and 50 more in the backlog
    assert not polls.answer(50) and answered == []
    queue.waiting_now = 200  # 100 have left: the first poll's bytes, not the second's
    assert polls.answer(50) and answered == ["a"]
    # A purge drops the backlog (the queue keeps 10 bytes in flight); then new bytes come.
    polls.purged()
    polls.taken, queue.waiting_now = 400, 110
    assert not polls.answer(0)  # the 10 in flight were sent before it
    queue.waiting_now = 100
    assert polls.answer(0) and answered == ["a", "b"]  # not waiting for the new bytes
    polls.add(0, lambda: answered.append("c"))
    polls.taken = 450  # bytes lost to a failure never leave: an empty queue answers all
    queue.waiting_now = 0
    assert polls.answer(0) and answered == ["a", "b", "c"]
    # A client polling faster than the device drains makes the service keep a bounded list.
    answered.clear()
    queue.waiting_now = 1
    for n in range(10 * MAX_WAITING):
        polls.taken += n % 2  # a byte between every other poll, and the device takes none
        queue.waiting_now += n % 2
        polls.add(0, lambda: answered.append(1))
    assert len(polls._waiting) == MAX_WAITING and not answered
    queue.waiting_now = 0
    assert polls.answer(0) and len(answered) == MAX_WAITING


def test_gensio_s_rfc2217_client_goes_through_the_service(served, device):
    """A stock client other than pyserial's: gensio's gensiot (Debian's gensio-bin), both
    ways through a looped-back channel."""
    if shutil.which("gensiot") is None:
        pytest.skip("gensiot is not installed (apt-get install gensio-bin)")
    device.set_loopback(True)
    script = "(printf 'through gensio\\n'; sleep 2) | gensiot 'telnet(rfc2217),tcp,127.0.0.1,{}'".format(served.base)
    done = subprocess.run(["sh", "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    assert (done.returncode, done.stdout) == (0, b"through gensio\n"), done.stderr
