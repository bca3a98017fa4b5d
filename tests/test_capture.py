"""torvak capture and torvak tap beside torvak serve on the emulated device (its firmware
echoes each channel): what programs send and receive through a served tty, its rate
changes and opens, in a pcapng file that tshark (where installed) and a reader of our own
read; a live tap through a terminal; and nobody outside the ttys' group gets either."""
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import time

import pytest

import pcapng_reader
from sandbox import SYSTEM_PYTHON, as_user, users  # noqa: F401  (fixture)
from test_serve import SERIAL, Served, device, open_tty, served  # noqa: F401  (fixtures)
from test_serve_access import shared_dir  # noqa: F401  (fixture)
from child_process import default_signals
from package_source import INSTALLED_ONLY, PYTHON_DIR
from torvak_emu import wait_until

from torvak_common.capture import capture_socket_path

TSHARK = shutil.which("tshark")


def start(env, args, **options):
    return subprocess.Popen([sys.executable, "-m", "torvak_cli"] + args, env=env, stdin=subprocess.DEVNULL,
                            preexec_fn=default_signals(options.pop("preexec_fn", None)), **options)


def subscribed(service, count):
    return wait_until(lambda: service.log().count("capture client") >= count, timeout=10)


def echo(path, data):
    """Writes `data` to the tty at `path` as a program would and reads the echo back."""
    fd, write, read = open_tty(path)
    try:
        write(data)
        back = b""
        deadline = time.monotonic() + 10
        while len(back) < len(data) and time.monotonic() < deadline:
            back += read()
        assert back == data
    finally:
        os.close(fd)


def test_a_capture_holds_both_directions_rate_changes_and_opens(served, device, child_env, tmp_path):
    env = dict(child_env, TORVAK_RUN_DIR=served.dir)
    path = str(tmp_path / "capture.pcapng")
    capture = start(env, ["capture", SERIAL, "1", "2", "-w", path], stderr=subprocess.PIPE)
    try:
        assert subscribed(served, 1), served.log()
        echo(served.link(1), b"hello capture\n")
        subprocess.run(["stty", "-F", served.link(1), "57600"], check=True)
        assert wait_until(lambda: device.channel_state(1)["baud"] == 57600, timeout=5), served.log()
        echo(served.link(2), b"\x00\xffsecond")
        echo(served.link(3), b"not captured")
        assert wait_until(lambda: "SERVE001/2: the tty was closed" in served.log(), timeout=10), served.log()
    finally:
        capture.send_signal(signal.SIGTERM)
        _, errors = capture.communicate(timeout=20)
    assert capture.returncode == 0, errors
    assert b"stopped" in errors and b" 0 records lost" in errors, errors

    interfaces, packets = pcapng_reader.read(path)
    assert interfaces == ["SERVE001/1", "SERVE001/2"]

    def crossed(interface, direction):
        return b"".join(p.data for p in packets if p.interface == interface and p.direction == direction)

    assert crossed("SERVE001/1", 2) == crossed("SERVE001/1", 1) == b"hello capture\n"
    assert crossed("SERVE001/2", 2) == crossed("SERVE001/2", 1) == b"\x00\xffsecond"
    comments = [(p.interface, c) for p in packets for c in p.comments]
    assert ("SERVE001/1", "baud rate 57600") in comments
    opens = [i for i, c in comments if c.startswith("opened by a program on its tty " + served.dir)]
    assert sorted(set(opens)) == ["SERVE001/1", "SERVE001/2"], comments  # (stty's may pass unseen)
    assert len(opens) == sum(c == "closed" for _, c in comments), comments
    times = [p.micros for p in packets]
    assert times == sorted(times) and abs(times[0] / 1e6 - time.time()) < 600

    if TSHARK is not None:  # stock tshark reads it with nothing to say of any frame
        shown = subprocess.run([TSHARK, "-r", path, "-T", "fields", "-e", "frame.interface_name", "-e", "data",
                                "-e", "frame.comment"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        assert shown.returncode == 0, shown.stderr
        rows = [line.split("\t") for line in shown.stdout.decode().splitlines()]
        assert len(rows) == len(packets)
        assert ["SERVE001/1", b"hello capture\n".hex(), ""] in rows
        assert ["SERVE001/2", b"\x00\xffsecond".hex(), ""] in rows
        assert ["SERVE001/1", "", "baud rate 57600"] in rows
        warnings = [line for line in shown.stderr.decode().splitlines() if "Running as user" not in line]
        assert not warnings, warnings


def test_a_capture_opens_with_who_holds_each_channel(
        served, device, child_env, tmp_path, monkeypatch):
    """A capture started while a routed port holds a channel opens with who holds it and at
    what rate, and routed ports are named as such, there and in the log."""
    import torvak_serial  # noqa: F401
    from serial_support import serial

    monkeypatch.setenv("TORVAK_RUN_DIR", served.dir)
    env = dict(child_env, TORVAK_RUN_DIR=served.dir)
    path = str(tmp_path / "capture.pcapng")
    who = "routed torvak:// client user root (process {})".format(os.getpid())
    port = serial.serial_for_url("torvak://SERVE001/1", baudrate=57600, timeout=5)
    capture = start(env, ["capture", SERIAL, "1", "2", "-w", path], stderr=subprocess.PIPE)
    try:
        assert subscribed(served, 1), served.log()
        port.write(b"routed\n")
        assert port.readline() == b"routed\n"
        port.close()
        assert wait_until(lambda: "SERVE001/1: {} disconnected".format(who) in served.log(), timeout=10)
        time.sleep(0.3)  # the close is told right after that line, and the capture writes it
    finally:
        port.close()
        capture.send_signal(signal.SIGTERM)
        _, errors = capture.communicate(timeout=20)
    assert capture.returncode == 0, errors
    assert "SERVE001/1: {} connected".format(who) in served.log(), served.log()

    interfaces, packets = pcapng_reader.read(path)
    first = next(p for p in packets if p.interface == "SERVE001/1")
    assert first.comments == ["held by {} at baud rate 57600 when the capture started".format(who)], first
    assert [c for p in packets if p.interface == "SERVE001/1" for c in p.comments][-1] == "closed"


def test_bytes_and_rates_are_captured_as_they_go_into_the_device_s_queue():
    """What the queue has no room for waits in the service: it is recorded when it goes into
    the queue, in the pieces the queue takes, with a rate change in its place among them."""
    import collections

    from torvak_cli.serve.channel import Channel
    from torvak_cli.serve.states import ToDevice
    from torvak_common.capture import Kind

    class Queue:
        room = 1000

        def put(self, data):
            taken = min(len(data), self.room)
            self.room -= taken
            return taken

        def events(self):
            return self.room, 0, 0, []

        def change_rate(self, rate):
            return True

    told = []
    channel = Channel.__new__(Channel)
    channel.slot = type("Slot", (), {"serial": "X", "taps": type("Taps", (), {
        "tell": lambda self, number, kind, payload=b"": told.append((kind, bytes(payload)))})()})()
    channel.number, channel.taps, channel.tty, channel.end, channel.rate = 1, ["a subscriber"], None, None, 9600
    channel.queue, channel._room, channel._backlog = Queue(), 1000, collections.deque()
    channel.to_device = channel.rate_jobs = channel._waiting = 0
    channel.to_device_state = ToDevice.TAKING
    channel._polls = type("Polls", (), {"taken": 0, "answer": lambda self, backlog: False})()
    channel._stall = type("Stall", (), {"note": lambda self, full, waiting: None})()

    channel.send(b"a" * 2500)
    channel.request_rate(57600, "tty")
    channel.send(b"b" * 10)
    assert told == [(Kind.TO_DEVICE, b"a" * 1000)]
    for _ in range(3):
        channel.queue.room = 1000
        channel._collect()
    assert told == [(Kind.TO_DEVICE, b"a" * 1000)] * 2 + [
        (Kind.TO_DEVICE, b"a" * 500), (Kind.RATE, b"57600"), (Kind.TO_DEVICE, b"b" * 10)]


def test_tap_shows_another_program_s_traffic_in_a_terminal(served, child_env):
    env = dict(child_env, TORVAK_RUN_DIR=served.dir)
    master, slave = pty.openpty()
    tap = start(env, ["tap", SERIAL + "/3"], stdout=slave, stderr=slave)
    os.close(slave)
    shown = b""

    def shows(text):
        nonlocal shown
        deadline = time.monotonic() + 10
        while text not in shown and time.monotonic() < deadline:
            if select.select([master], [], [], 0.2)[0]:
                try:
                    shown += os.read(master, 4096)
                except OSError:  # the tap has ended and closed the terminal
                    break
        return text in shown

    try:
        assert shows(b"SERVE001/3 at 9600 baud"), shown
        echo(served.link(3), b"tapped!")
        assert shows(b"-> 74 61 70 70 65 64 21"), shown
        assert shows(b"<- 74 61 70 70 65 64 21"), shown
        assert shows(b"|tapped!|") and shows(b"-- closed"), shown
        tap.send_signal(signal.SIGINT)
        assert tap.wait(timeout=20) == 0
        assert shows(b"-- stopped"), shown
    finally:
        if tap.poll() is None:
            tap.kill()
            tap.wait()
        os.close(master)


# Run as another user: what the capture socket at argv[1] answers a subscription with.
SUBSCRIBE = r"""
import socket, sys
from torvak_common.capture import parse_record, subscribe_request
sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
sock.settimeout(10)
sock.connect(sys.argv[1])
try:
    sock.send(subscribe_request([]))
except OSError:
    pass
record = parse_record(sock.recv(65536))
print(record.kind.name, record.payload.decode(), sock.recv(65536))
"""


def test_users_outside_the_group_are_refused_capture_and_tap(users, device, child_env, shared_dir):  # noqa: F811
    """By the socket's mode, and by the service itself should the mode have let them in."""
    if INSTALLED_ONLY:
        pytest.skip("other users cannot run the test environment's interpreter or its packages")
    service = Served(child_env, shared_dir)
    # The system's python3 (other users may run it) on this tree's packages.
    env = {"PATH": "/usr/bin:/bin", "PYTHONPATH": PYTHON_DIR, "TORVAK_RUN_DIR": service.dir}

    def command(*args):
        return [SYSTEM_PYTHON, "-m", "torvak_cli"] + list(args)

    def run(user, *args):
        done = subprocess.run(command(*args), env=env, cwd="/",
                              preexec_fn=as_user(user), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)
        return done.returncode, done.stderr.decode()

    try:
        outsider = users["outsider"]
        for args in (["capture", SERIAL, "-w", "/dev/null"], ["tap", SERIAL + "/1"]):
            status, said = run(outsider, *args)
            assert status == 1 and "refused: " in said and "members of group dialout" in said, said
            assert "sudo usermod -aG dialout $USER" in said, said
        path = capture_socket_path(service.dir, SERIAL)
        os.chmod(path, 0o666)  # a mistake of the admin's: the service still asks who it is
        done = subprocess.run([SYSTEM_PYTHON, "-c", SUBSCRIBE, path], env=env, cwd="/", preexec_fn=as_user(outsider),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        assert done.returncode == 0, done.stderr
        assert done.stdout.decode().startswith("REFUSED only users who may open the ttys"), done.stdout
        assert "members of group dialout" in done.stdout.decode(), done.stdout
        assert "capture client user {}".format(outsider.pw_name) in service.log()
        member = subprocess.Popen(command("capture", SERIAL, "-w", "/dev/null"), env=env, cwd="/",
                                  preexec_fn=as_user(users["member"]), stderr=subprocess.PIPE)
        try:
            assert wait_until(lambda: "subscribed" in service.log(), timeout=10), service.log()
        finally:
            member.send_signal(signal.SIGTERM)
            assert member.wait(timeout=20) == 0, member.stderr.read()
    finally:
        assert service.stop() == 0, service.log()


def test_a_full_subscriber_loses_records_counted_and_never_blocks_the_service():
    """The service's side alone, over a socket pair: the device's events reach every
    subscriber, a channel's only its own; a subscriber that does not read loses records,
    the service never waits for it, and once its socket has room a LOST record says how
    many, though no more traffic comes (else the next record that gets through would)."""
    import selectors
    import socket

    from torvak_cli.serve import taps as taps_module
    from torvak_common.capture import Kind, parse_record

    class Service:
        gid = None
        watched = {}

        def watch(self, fd, events, callback):
            self.watched[fd] = (events, callback)

        def unwatch(self, fd):
            self.watched.pop(fd, None)

    taps = taps_module.Taps(Service(), "CAP1", lambda: {1: 9600, 2: 115200})
    served, client = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    taps._admit(served)  # this process's own user: let in
    taps.device_back()  # nothing for a client before its request
    client.send(b'{"channels": [2]}')
    taps._on_ready(taps.subscribers[served.fileno()])
    hello = parse_record(client.recv(65536))
    assert hello.kind is Kind.HELLO and b'"rates": {"1": 9600, "2": 115200}' in hello.payload
    assert taps.of(1) == [] and len(taps.of(2)) == 1

    taps.tell(1, Kind.TO_DEVICE, b"not subscribed")
    started = time.monotonic()
    for _ in range(3000):  # more than the socket's buffer (SEND_BUFFER, doubled by the kernel) holds
        taps.tell(2, Kind.FROM_DEVICE, bytes(1000))
    assert time.monotonic() - started < 5
    got = []
    client.setblocking(False)
    try:
        while True:
            got.append(parse_record(client.recv(65536)))
    except BlockingIOError:
        pass
    assert got and all(r.channel == 2 and r.payload == bytes(1000) and r.dropped == 0 for r in got)
    lost = 3000 - len(got)
    assert lost > 0
    events, ready = Service.watched[served.fileno()]
    assert events & selectors.EVENT_WRITE  # the loop tells it when the socket has room
    ready(selectors.EVENT_WRITE)
    caught_up = parse_record(client.recv(65536))
    assert (caught_up.channel, caught_up.kind, caught_up.dropped) == (0, Kind.LOST, lost)
    assert Service.watched[served.fileno()][0] == selectors.EVENT_READ
    taps.device_gone()
    gone = parse_record(client.recv(65536))
    assert (gone.channel, gone.kind, gone.dropped) == (0, Kind.GONE, 0)
    client.close()
    taps.tell(2, Kind.TO_DEVICE, b"x")  # a subscriber that has gone is forgotten
    assert taps.subscribers == {} and taps.of(2) == []


def test_capture_slots_are_counted_per_user_and_a_refusal_says_why():
    """One user's clients take MOST_PER_USER slots at most; the next is told why once its
    request is in (not reset), as is one that never sends it, and one refused while too
    many wait is told at once, its request read so that the reason is what it reads."""
    import socket

    from torvak_cli.serve import taps as taps_module
    from torvak_common.capture import Kind, parse_record

    class Service:
        gid = None

        def watch(self, fd, events, callback):
            pass

        def unwatch(self, fd):
            pass

        class refusals:
            @staticmethod
            def refused(*args):
                pass

    taps = taps_module.Taps(Service(), "CAP1", lambda: {1: 9600})
    pairs = [socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET) for _ in range(taps_module.MOST_PER_USER + 2)]
    try:
        for served, client in pairs:
            taps._admit(served)
        refused = [s for s in taps.subscribers.values() if s.refusal is not None]
        assert len(refused) == 2 and "capture clients of device CAP1 already" in refused[0].refusal
        served, client = pairs[-2]
        client.send(b'{"channels": [1]}')
        taps._on_ready(taps.subscribers[served.fileno()])
        record = parse_record(client.recv(65536))
        assert record.kind is Kind.REFUSED and b"4 capture clients of device CAP1" in record.payload
        assert client.recv(65536) == b""  # the end, not ECONNRESET
        taps_module.REQUEST_LIMIT, limit = 0.0, taps_module.REQUEST_LIMIT
        try:
            taps.expire()  # the silent one, and those let in that sent nothing
        finally:
            taps_module.REQUEST_LIMIT = limit
        assert parse_record(pairs[-1][1].recv(65536)).kind is Kind.REFUSED
        assert taps.subscribers == {}
        taps_module.MOST_REFUSING, most = 0, taps_module.MOST_REFUSING
        try:
            served, client = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            pairs.append((served, client))
            taps_module.MOST_PER_USER, per_user = 0, taps_module.MOST_PER_USER
            client.send(b'{"channels": [1]}')  # in before the accept
            taps._admit(served)
        finally:
            taps_module.MOST_REFUSING, taps_module.MOST_PER_USER = most, per_user
        assert parse_record(client.recv(65536)).kind is Kind.REFUSED and client.recv(65536) == b""
    finally:
        for served, client in pairs:
            served.close()
            client.close()
