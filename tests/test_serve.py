"""torvak serve as a child process against the emulated device (its firmware echoes each
channel): channels byte-exact through ptys and RFC 2217, tty rates reaching the device,
one holder per channel, unplug and re-plug with clients connected, hostile RFC 2217
input, and a clean stop on SIGTERM."""
import errno
import grp
import os
import random
import select
import signal
import socket
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from child_process import default_signals
from serial_support import serial
from torvak_emu import wait_until

SERIAL = "SERVE001"
CHANNELS = 4
# Bytes per channel per round trip; bench-sized runs set TORVAK_SERVE_BYTES=1048576.
SIZE = int(os.environ.get("TORVAK_SERVE_BYTES", 32 * 1024))
LIMIT = float(os.environ.get("TORVAK_SERVE_LIMIT", 60))  # seconds for one round trip


@pytest.fixture
def device(testbed):
    dev = testbed.plug(serial=SERIAL, channels=CHANNELS)
    dev.set_loopback(True)
    return dev


def free_base(count=CHANNELS, avoid=()):
    """A TCP port with the next `count` ports free on 127.0.0.1, two blocks of 16 away from
    each port in `avoid`."""
    for _ in range(100):
        base = random.randrange(20000, 60000)
        if any(abs(base - other) < 32 for other in avoid):
            continue
        socks = []
        try:
            for offset in range(count):
                s = socket.socket()
                socks.append(s)
                s.bind(("127.0.0.1", base + offset))
            return base
        except OSError:
            continue
        finally:
            for s in socks:
                s.close()
    raise RuntimeError("no free ports")


class Served:
    def __init__(self, env, tmp_path, options=(), preexec_fn=None):
        self.dir = str(tmp_path / "run")
        self.base = free_base()
        self.log_path = str(tmp_path / "serve.log")
        self._log = open(self.log_path, "wb")
        self.process = subprocess.Popen(
            [sys.executable, "-m", "torvak_cli", "serve", "--device", SERIAL, "--pty-dir", self.dir,
             "--rfc2217-port", str(self.base), "-v"] + list(options),
            env=env, stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT,
            preexec_fn=default_signals(preexec_fn),
        )
        assert wait_until(self.ready, timeout=10), self.log()

    def link(self, n):
        return os.path.join(self.dir, SERIAL, str(n))

    def url(self, n):
        return "rfc2217://127.0.0.1:{}".format(self.base + n - 1)

    def ready(self):
        return all(os.path.exists(self.link(n)) for n in range(1, CHANNELS + 1))

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")

    def resources(self):
        """(descriptors, threads) of the service process."""
        pid = self.process.pid
        return len(os.listdir("/proc/%d/fd" % pid)), len(os.listdir("/proc/%d/task" % pid))

    stop_signal = signal.SIGTERM

    def stop(self):
        self.process.send_signal(self.stop_signal)
        try:
            status = self.process.wait(timeout=15)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            self._log.close()
        return status


@pytest.fixture
def served(device, child_env, tmp_path):
    service = Served(child_env, tmp_path)
    yield service
    assert service.process.poll() is None, "the service died: " + service.log()
    assert service.stop() == 0, service.log()
    assert not any(os.path.lexists(service.link(n)) for n in range(1, CHANNELS + 1))
    assert "Traceback" not in service.log(), service.log()
    assert wait_until(lambda: device.open_handles == 0 or not device.connected), service.log()


def round_trip(write, read, data, limit=LIMIT):
    """Writes `data` from a thread while reading it back here, for at most `limit`
    seconds; what came back."""
    deadline = time.monotonic() + limit

    def writer():
        for i in range(0, len(data), 4096):
            if not write(data[i:i + 4096], deadline):
                return

    thread = threading.Thread(target=writer)
    thread.start()
    back = bytearray()
    try:
        while len(back) < len(data) and time.monotonic() < deadline:
            back += read()
    finally:
        thread.join()
    return bytes(back)


def open_tty(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)

    def write(chunk, deadline=float("inf")):
        view = memoryview(chunk)
        while view:
            if time.monotonic() > deadline:
                return False
            if select.select([], [fd], [], 0.2)[1]:
                view = view[os.write(fd, view):]
        return True

    def read():
        if select.select([fd], [], [], 0.5)[0]:
            return os.read(fd, 65536)
        return b""

    return fd, write, read


def tty_round_trip(path, data):
    fd, write, read = open_tty(path)
    try:
        return round_trip(write, read, data)
    finally:
        os.close(fd)


def rfc2217_round_trip(url, data):
    with serial.serial_for_url(url, timeout=0.5) as port:
        return round_trip(lambda chunk, deadline: port.write(chunk), lambda: port.read(port.in_waiting or 1), data)


def all_channels(function, make_url, served, device):
    data = [os.urandom(SIZE) for _ in range(CHANNELS)]
    with ThreadPoolExecutor(CHANNELS) as pool:
        backs = list(pool.map(function, [make_url(n) for n in range(1, CHANNELS + 1)], data))
    for n, (sent, back) in enumerate(zip(data, backs), 1):
        assert back == sent, "channel {}: {} of {} bytes back, equal up to {} (first bytes {}); {}\n{}".format(
            n, len(back), len(sent), equal_up_to(sent, back), back[:8].hex(), on_the_way_out(device, n, sent),
            served.log())


def equal_up_to(sent, got):
    return next((i for i, (a, b) in enumerate(zip(sent, got)) if a != b), len(got))


def on_the_way_out(device, n, sent):
    """Which way a round trip went wrong: what the device received on channel n (its data
    packets since it was plugged, [n, count, data...]) against what was sent."""
    received = b"".join(bytes(p[2:2 + p[1]]) for p in device.out_packets() if p[0] == n)
    return "the device received {} bytes, equal up to {} (first bytes {})".format(
        len(received), equal_up_to(sent, received), received[:8].hex())


def refusal(served, n):
    """What a raw TCP client on channel n gets before the service closes the connection."""
    with socket.create_connection(("127.0.0.1", served.base + n - 1), timeout=5) as s:
        got = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                return got
            got += chunk


def tty_speed(path):
    return subprocess.run(["stty", "-F", path, "speed"], stdout=subprocess.PIPE, check=True).stdout.decode().strip()


def test_ttys_carry_every_channel_byte_exact_and_set_the_rate(served, device):
    all_channels(tty_round_trip, served.link, served, device)

    # The rate set on the tty reaches the device, by stty (B constant) and by pyserial
    # (a rate without one, set with TCSETS2).
    subprocess.run(["stty", "-F", served.link(1), "57600"], check=True)
    assert wait_until(lambda: device.channel_state(1)["baud"] == 57600, timeout=3), served.log()
    assert wait_until(lambda: "SERVE001/1: baud rate 57600 in force" in served.log(), timeout=3), served.log()
    # A rate the device does not confirm: the tty is set back to the rate in force.
    device.set_fault(config="wrong_rate")
    subprocess.run(["stty", "-F", served.link(1), "19200"], check=True)
    assert wait_until(lambda: "refused baud rate 19200" in served.log(), timeout=3), served.log()
    assert wait_until(lambda: tty_speed(served.link(1)) != "19200", timeout=3), served.log()
    device.set_fault(config="ok")
    with serial.Serial(served.link(2), 250000, timeout=5) as port:  # generous: a loaded machine
        assert wait_until(lambda: device.channel_state(2)["baud"] == 250000, timeout=3), served.log()
        port.write(b"through pyserial\n")
        assert port.readline() == b"through pyserial\n"

    # Programs open and close the tty one after another; the service's descriptors and
    # threads stay as they were.
    before = served.resources()
    for i in range(100):
        message = b"round %d\n" % i
        assert tty_round_trip(served.link(3), message) == message
    # (The last close may still be being seen to: a descriptor for an instant.)
    assert wait_until(lambda: served.resources() == before, timeout=5), (served.resources(), before)


def open_as_dialout_member(path):
    """Opens the tty as a user of the group the ttys belong to (not root, whom the kernel
    lets past TIOCEXCL): "opened" or the errno's name; None where that cannot be tried
    (not root, no such group)."""
    try:
        gid = grp.getgrnam("dialout").gr_gid
    except KeyError:
        return None
    if os.geteuid() != 0:
        return None
    # The tty by a descriptor that names it (the run directory's pty instance lies under
    # root's own temporary directory, which the user may not cross).
    named = os.open(path, os.O_PATH)
    code = ("import errno, os\n"
            "os.setgid(%d); os.setgroups([%d]); os.setuid(65534)\n"
            "try:\n    os.close(os.open('/proc/self/fd/%d', os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)); print('opened')\n"
            "except OSError as e:\n    print(errno.errorcode[e.errno])\n" % (gid, gid, named))
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    try:
        return subprocess.run([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE, pass_fds=(named,),
                              check=True).stdout.decode().strip()
    finally:
        os.close(named)


def test_rfc2217_ports_carry_every_channel_one_holder_at_a_time(served, device):
    all_channels(rfc2217_round_trip, served.url, served, device)

    tty_1 = os.readlink(served.link(1))
    # Free again once the service has seen the last client go.
    assert wait_until(lambda: open_as_dialout_member(tty_1) in ("opened", None), timeout=2)
    with serial.serial_for_url(served.url(1), baudrate=115200, timeout=1) as port:
        assert wait_until(lambda: device.channel_state(1)["baud"] == 115200, timeout=3), served.log()
        assert b"in use by another RFC 2217 client" in refusal(served, 1)
        # The tty is exclusive to the service meanwhile.
        assert open_as_dialout_member(tty_1) in ("EBUSY", None)
        port.write(b"still mine\n")
        assert port.readline() == b"still mine\n"

    fd, write, read = open_tty(served.link(2))
    try:
        assert b"in use by a program on its tty" in refusal(served, 2)
    finally:
        os.close(fd)

    before = served.resources()
    for _ in range(100):
        with socket.create_connection(("127.0.0.1", served.base + 2), timeout=5):
            pass
    assert wait_until(lambda: served.resources() == before, timeout=5), (served.resources(), before)
    assert rfc2217_round_trip(served.url(3), b"after the churn\n") == b"after the churn\n"


def test_unplug_hangs_clients_up_and_replug_serves_again(served, device, testbed):
    fd, write, read = open_tty(served.link(1))
    client = socket.create_connection(("127.0.0.1", served.base + 1), timeout=5)
    try:
        assert round_trip(write, read, b"before\n") == b"before\n"  # the tty is served
        device.unplug()
        # The tty hangs up (EIO or end of file), the TCP client is disconnected.
        deadline = time.monotonic() + 5
        ended = False
        while not ended and time.monotonic() < deadline:
            try:
                ended = select.select([fd], [], [], 0.5)[0] and os.read(fd, 4096) == b""
            except OSError as error:
                ended = error.errno == errno.EIO
        assert ended, served.log()
        while client.recv(4096):
            pass
    finally:
        os.close(fd)
        client.close()

    plugged = time.monotonic()
    again = testbed.plug(serial=SERIAL, channels=CHANNELS)
    again.set_loopback(True)
    assert wait_until(served.ready, timeout=5), served.log()
    assert time.monotonic() - plugged < 3.0, served.log()  # 2 s wanted; slack for busy CI
    assert tty_round_trip(served.link(1), b"after\n") == b"after\n"
    assert rfc2217_round_trip(served.url(2), b"and over TCP\n") == b"and over TCP\n"


IAC, SB, SE, DO, WILL = 255, 250, 240, 253, 251
COM_PORT = 44
HOSTILE = [
    os.urandom(4096),
    bytes([IAC, SB, COM_PORT, 1, 0, 0, IAC, SE]),  # truncated SET_BAUDRATE
    bytes([IAC, SB, COM_PORT, 3, 9, IAC, SE]),  # unknown parity
    bytes([IAC, SB, COM_PORT, 10, IAC, SE]),  # empty SET_LINESTATE_MASK
    bytes([IAC, DO, 99, IAC, WILL, 98, IAC, SB, 77, 1, 2, IAC, SE]),  # unknown options
    bytes([IAC, SB, COM_PORT]),  # cut off inside a subnegotiation
    bytes([IAC]),
]


def test_hostile_rfc2217_clients_do_not_stop_the_service(served, device):
    served.stop_signal = signal.SIGINT  # Ctrl-C stops it as cleanly as SIGTERM
    for junk in HOSTILE:
        with socket.create_connection(("127.0.0.1", served.base), timeout=5) as s:
            s.sendall(junk)
            time.sleep(0.05)

    # A client that never reads, on a channel where the device keeps sending: the
    # service drops what it cannot deliver and serves the other channels meanwhile.
    greedy = socket.create_connection(("127.0.0.1", served.base + 1), timeout=5)
    try:
        greedy.sendall(bytes(range(255)) * 64)
        device.stream_in([2], interval_ms=2.0)
        time.sleep(1)
        data = os.urandom(SIZE)
        assert tty_round_trip(served.link(3), data) == data
        assert rfc2217_round_trip(served.url(1), b"still served\n") == b"still served\n"
    finally:
        device.stream_in([])
        greedy.close()
    assert served.process.poll() is None, served.log()


def test_a_rate_refused_after_the_tty_changed_again_asks_for_the_newer_one():
    """The device refuses 57600 after a program has already set 38400 on the tty: 38400 is
    asked for next, and the tty is not set back over it; with no newer rate it is."""
    import collections

    from torvak_cli.serve.service import Channel

    class Pty:
        def __init__(self, now):
            self.now, self.rate, self.set = now, 57600, []

        def rate_changed(self):
            changed = self.now != self.rate
            self.rate = self.now
            return self.now if changed else None

        def set_rate(self, rate):
            self.set.append(rate)

    for tty_now, asked, set_back in ((38400, [38400], []), (57600, [], [9600])):
        channel = Channel.__new__(Channel)
        channel.rate, channel.rate_jobs, channel.end = 57600, 1, None
        channel.tty = type("TtyEnd", (), {"pty": Pty(tty_now)})()
        channel.queue = type("Queue", (), {"asked": [], "change_rate": lambda self, rate: self.asked.append(rate) or 1})()
        channel.slot = type("Slot", (), {"serial": "X"})()
        channel.number, channel._backlog = 1, collections.deque()
        channel.taps = []  # nobody captures it
        channel.rate_refused(57600, 9600, OSError("refused"))
        assert channel.queue.asked == asked
        assert channel.tty.pty.set == set_back
        assert channel.rate == (asked[0] if asked else 9600)


def test_a_channel_s_way_to_the_device_moves_only_as_its_table_allows(caplog):
    """Input is read only in TAKING; the pauses for room and for rate answers are states of
    their own, each move said at debug level; a stopped channel moves no more."""
    import collections
    import logging

    import pytest

    from torvak_cli.serve import channel as channel_module
    from torvak_cli.serve.states import TO_DEVICE_MOVES, BadMove, ToDevice, move

    class End:
        watched = []

        def watch(self, takes_input):
            self.watched.append(takes_input)

    channel = channel_module.Channel.__new__(channel_module.Channel)
    channel.slot = type("Slot", (), {"serial": "X"})()
    channel.number, channel.end, channel.to_device_state = 1, End(), ToDevice.WAITING_ROOM
    channel._backlog, channel._room, channel.rate_jobs = collections.deque(), 0, 0
    with caplog.at_level(logging.DEBUG, logger="torvak.serve"):
        for room, jobs, backlog, state in ((0, 0, [], ToDevice.WAITING_ROOM), (10, 0, [], ToDevice.TAKING),
                                           (10, 0, [b"x"], ToDevice.WAITING_ROOM),
                                           (10, channel_module.RATE_BACKLOG, [], ToDevice.WAITING_RATES),
                                           (10, 1, [], ToDevice.TAKING)):
            channel._room, channel.rate_jobs, channel._backlog = room, jobs, collections.deque(backlog)
            channel.update()
            assert channel.to_device_state is state
            assert End.watched[-1] == (state is ToDevice.TAKING) == channel.takes_input()
        assert "X/1: to the device: waiting_room -> taking" in caplog.text
        assert "X/1: to the device: waiting_rates -> taking" in caplog.text
        channel._move_to_device(ToDevice.CLOSED)
        channel.update()
        assert channel.to_device_state is ToDevice.CLOSED and len(End.watched) == 5
    assert all(ToDevice.CLOSED in TO_DEVICE_MOVES[state] for state in ToDevice if state is not ToDevice.CLOSED)
    with pytest.raises(BadMove, match="closed cannot become taking"):
        move(channel, ToDevice.CLOSED, ToDevice.TAKING, TO_DEVICE_MOVES)
