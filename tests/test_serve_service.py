"""The service's own machinery, apart from the data it moves: its loop survives a failing
callback, a worker stuck in USB does not keep it from stopping, one service per run
directory, and what it tells the log about devices it cannot have."""
import logging
import os
import random
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from serial_support import serial
from test_serve import SERIAL, Served, device, served  # noqa: F401  (the fixtures)
from torvak_common import ask_service
from torvak_common.served import read_state
from torvak_common.status import status_request
from torvak_emu import wait_until

from torvak_cli.serve.loop import EventLoop


def test_a_failing_callback_is_logged_and_the_loop_goes_on_and_timers_wake_it(caplog):
    loop = EventLoop()
    ran = []
    read_end, write_end = os.pipe()
    try:
        def broken(events):
            os.read(read_end, 1)
            raise RuntimeError("handler bug")

        loop.watch(read_end, 1, broken)
        loop.post(lambda: 1 / 0)
        loop.post(lambda: ran.append("posted after the failure"))
        os.write(write_end, b"x")
        with caplog.at_level(logging.ERROR, logger="torvak.serve"):
            for _ in range(3):
                loop.run_once(0.1)
        assert ran == ["posted after the failure"]
        assert "handler bug" in caplog.text and "ZeroDivisionError" in caplog.text
        # Calls made later run in their order, each once, and shorten the loop's wait.
        loop.call_later(0.06, lambda: ran.append("second"))
        loop.call_later(0.02, lambda: ran.append("first"))
        started = time.monotonic()
        while len(ran) < 3:
            loop.run_once(5)
        assert ran[1:] == ["first", "second"] and time.monotonic() - started < 2
        loop.run_once(0.05)
        assert len(ran) == 3
    finally:
        loop.close()
        os.close(read_end)
        os.close(write_end)


def run_child(code, env=None, timeout=20):
    """(exit status, seconds, output) of `code` run by a child interpreter."""
    started = time.monotonic()
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, timeout=timeout,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return child.returncode, time.monotonic() - started, child.stdout.decode(errors="replace")


def test_a_worker_stuck_in_usb_does_not_keep_the_service_from_stopping(tmp_path):
    """A device job that never returns: the stop still ends within STOP_LIMIT and a bit."""
    status, took, output = run_child("""
        import threading, time
        from torvak_cli.serve import device_jobs, service
        from torvak_cli.serve.states import SlotState
        service.STOP_LIMIT = 1.0
        served = service.Service({!r}, None, ["STUCK1"])
        slot = served.slots[0]
        device_jobs.DeviceWorker._open = lambda *args: time.sleep(3600)
        served.rescan = lambda: slot.state is SlotState.ABSENT and slot.open()
        threading.Timer(0.5, served.request_stop).start()
        served.run()
        print("run ended")
    """.format(str(tmp_path)))
    assert "run ended" in output and took < 8, output


def test_the_service_opens_its_channels_itself_where_a_client_is_routed(device, tmp_path, monkeypatch):  # noqa: F811
    """A state file naming the device (this process's own, its lock held) routes a client,
    this process's too; the service's worker opens the channels directly all the same, at
    their rates, each taking bytes into its queue and handing back what the device sends."""
    from test_routing import hold_lock
    from torvak_common.served import DeviceEntry, find_served, write_state

    from torvak_cli.serve.device_jobs import DeviceWorker, close_ports

    monkeypatch.setenv("TORVAK_RUN_DIR", str(tmp_path))
    write_state(str(tmp_path), os.getpid(), "127.0.0.1", [DeviceEntry(SERIAL, 0, 4, {}, {})])
    lock = hold_lock(tmp_path)
    answers = []
    worker = DeviceWorker(SERIAL, lambda posted: posted(), answers.append)
    try:
        assert find_served(SERIAL.lower()).pid == os.getpid()
        worker.open({2: 115200}, True, answers.append, answers.append)
        worker.finish()
        assert worker.join(10) and len(answers) == 1, answers
        channels = answers[0]
        assert isinstance(channels, list), channels  # else why the worker could not open them
        assert [str(c) for c in channels] == ["torvak://{}/{}".format(SERIAL, n) for n in range(1, 5)]
        assert [c.opened_rate for c in channels] == [9600, 115200, 9600, 9600]
        second = channels[1]
        assert second.queue.put(b"ping") == 4
        echoed = b""
        deadline = time.monotonic() + 5
        while len(echoed) < 4 and select.select([second.fileno()], [], [], max(0, deadline - time.monotonic()))[0]:
            echoed += second.take(64)
        assert echoed == b"ping"
    finally:
        if answers and isinstance(answers[0], list):
            close_ports(answers[0])
        os.close(lock)


def test_one_service_per_run_directory_and_a_device_another_holds(device, child_env, tmp_path):  # noqa: F811
    """A second service in the same run directory leaves at once, naming the first; a
    run directory others can write is refused; a service in another directory warns once that the first holds the device, retries quietly,
    and serves it once the first has stopped."""
    first = Served(child_env, tmp_path)
    other_dir, other_log = str(tmp_path / "other"), str(tmp_path / "other.log")
    second = None
    try:
        status, _, output = run_child(
            "from torvak_cli.main import main; raise SystemExit(main(['serve', '--pty-dir', {!r}]))".format(first.dir),
            env=child_env)
        assert status == 1 and "process {}".format(first.process.pid) in output, output
        os.mkdir(other_dir)
        os.chmod(other_dir, 0o777)  # anyone could plant links or a state file there
        status, _, output = run_child(
            "from torvak_cli.main import main; raise SystemExit(main(['serve', '--pty-dir', {!r}]))".format(other_dir),
            env=child_env)
        assert status == 1 and "can be written by others" in output and os.listdir(other_dir) == [], output
        os.chmod(other_dir, 0o755)
        state = read_state(first.dir)
        assert state is not None and state["pid"] == first.process.pid
        assert ask_service(first.dir, status_request())["pid"] == first.process.pid

        with open(other_log, "wb") as log:
            second = subprocess.Popen(
                [sys.executable, "-m", "torvak_cli", "serve", "--device", SERIAL, "--pty-dir", other_dir],
                env=child_env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        time.sleep(3.5)  # a few retries
        assert first.stop() == 0, first.log()
        assert wait_until(lambda: os.path.exists(os.path.join(other_dir, SERIAL, "1")), timeout=10)
    finally:
        if first.process.poll() is None:
            first.stop()
        if second is not None:
            second.send_signal(signal.SIGHUP)  # its terminal closed: it ends as cleanly as on SIGTERM
            assert second.wait(15) == 0
            assert not any(os.path.exists(os.path.join(other_dir, name)) for name in ("serve.json", SERIAL))
    with open(other_log, "rb") as log:
        lines = log.read().decode(errors="replace").splitlines()
    assert all(line.startswith("torvak serve: ") for line in lines), lines
    warnings = [line for line in lines if ": WARNING: " in line]
    assert len(warnings) == 1 and "(pid {})".format(first.process.pid) in warnings[0], lines
    assert sum(" serving {} ".format(SERIAL) in line for line in lines) == 1, lines


def test_rfc2217_ports_beyond_65535_are_refused_at_start(tmp_path):
    status, _, output = run_child(
        "from torvak_cli.main import main; raise SystemExit(main(['serve', '--device', 'A1', '--device', 'B2', "
        "'--rfc2217-port', '65510', '--pty-dir', {!r}]))".format(str(tmp_path / "run")))
    assert status == 2 and "on port 65541, beyond 65535; the highest base is 65504" in output, output
    assert not os.path.exists(str(tmp_path / "run"))


def test_comports_lists_the_channels_the_service_serves(served, monkeypatch):
    import torvak_serial

    monkeypatch.setenv("TORVAK_RUN_DIR", served.dir)
    listed = [port.device for port in torvak_serial.comports() if port.serial_number == SERIAL]
    assert listed == ["torvak://{}/{}".format(SERIAL, n) for n in range(1, 5)]


def test_a_program_s_first_bytes_after_it_opens_the_tty_go_at_once(served):
    """Opens are noticed as they happen, not by a look every 50 ms: the round trip of a
    message written right after the open is mostly as quick as any other."""
    first = []
    for i in range(10):
        time.sleep(random.uniform(0.1, 0.15))  # any phase of the service's looks
        fd = os.open(served.link(2), os.O_RDWR | os.O_NOCTTY)
        try:
            started = time.perf_counter()
            os.write(fd, b"hello %03d\n" % i)
            back = b""
            while len(back) < 10 and select.select([fd], [], [], 5)[0]:
                back += os.read(fd, 64)
            first.append(time.perf_counter() - started)
            assert back == b"hello %03d\n" % i
        finally:
            os.close(fd)
    assert sorted(first)[5] < 0.03, first


def test_a_program_that_writes_and_closes_at_once_loses_nothing(served, device):
    """echo AT > tty: the program may have closed the tty before the service looks; what it
    wrote still goes to the device, each write whole and in order."""
    device.out_packets(clear=True)
    subprocess.run(["sh", "-c", 'for i in $(seq 10 29); do printf "<$i>" > "$0"; done', served.link(2)],
                   check=True, timeout=60)
    wanted = b"".join(b"<%d>" % i for i in range(10, 30))

    def at_device():
        return b"".join(bytes(p[2:2 + p[1]]) for p in device.out_packets())

    assert wait_until(lambda: len(at_device()) >= len(wanted), timeout=10), at_device()
    assert at_device() == wanted


def test_send_through_the_service_reports_the_time_the_device_took(served, device, child_env, tmp_path):
    """A paced device takes one packet per 2 ms frame: torvak send reports at least that
    long, not the moment the service had the data."""
    path = tmp_path / "payload"
    path.write_bytes(os.urandom(64 * 1024))
    device.set_pace_ms(2)
    try:
        device.out_packets(clear=True)
        sent = subprocess.run([sys.executable, "-m", "torvak_cli", "send", "torvak://{}/1".format(SERIAL), str(path)],
                              env=dict(child_env, TORVAK_RUN_DIR=served.dir), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=60)
        device_seconds = 0.002 * len(device.out_packets())  # the least the device needed
    finally:
        device.set_pace_ms(0)
    output = sent.stdout.decode(errors="replace")
    assert sent.returncode == 0, output
    reported = float(output.split(" in ")[1].split(" s ")[0])
    assert device_seconds > 1.0 and reported >= 0.9 * device_seconds, (output, device_seconds)


def test_no_status_request_stops_the_service(served):
    """Deep nesting, a long line, invalid UTF-8 and wrong types each get an error answer
    (or the connection ends), and the service goes on answering."""
    import json
    import socket

    hostile = [b"[" * 2000, b'{"request": "status", "x": ' + b"[" * 3000, b'{"request": "info", "serial": '
               + b"{" * 100 + b"}", b"\xff\xfe", b"null", b"[1, 2]", b'{"request": ["status"]}',
               b'{"request": "info", "serial": {"a": 1}, "echo": []}', b"x" * 100000]
    for request in hostile:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(5)
            sock.connect(os.path.join(served.dir, "serve.sock"))
            try:
                sock.sendall(request + b"\n")
                answer = sock.makefile("rb").readline()
            except OSError:  # the service ended a client that would not stop sending
                answer = b'{"error": "closed"}'
        assert "error" in json.loads(answer.decode() or '{"error": "closed"}'), (request[:40], answer)
        started = time.monotonic()
        assert ask_service(served.dir, status_request(), timeout=2.0)["pid"] == served.process.pid
        assert time.monotonic() - started < 2.0
    assert "Traceback" not in served.log()


def test_sigterm_ends_a_service_whose_loop_is_stuck(tmp_path):
    """A callback that never returns: the signal's handler cannot even run, and the
    process still ends, with status 1, soon after STOP_LIMIT."""
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import sys, time
        from torvak_cli.serve import service
        service.STOP_LIMIT, service.ABANDON_LIMIT = 1.0, 0.5
        service.Service.rescan = lambda self: self.post(lambda: (print("stuck", flush=True), time.sleep(3600)))
        from torvak_cli.main import main
        sys.exit(main(["serve", "--device", "STUCK1", "--pty-dir", {!r}]))
    """.format(str(tmp_path)))], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        # The signal goes once the loop is stuck, however long a loaded machine took to get there.
        seen = []
        for line in child.stdout:
            seen.append(line)
            if line.strip() == b"stuck":
                break
        assert seen and seen[-1].strip() == b"stuck", b"".join(seen)
        child.send_signal(signal.SIGTERM)
        status = child.wait(10)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert status == 1, child.stdout.read()


def test_a_failing_handler_ends_its_request_alone(tmp_path, caplog):
    import socket
    import types

    from torvak_cli.serve.status import StatusServer

    loop = EventLoop()
    answers = [RuntimeError("status bug"), {"pid": 1}]

    def status():
        answer = answers.pop(0)
        if isinstance(answer, Exception):
            raise answer
        return answer

    service = types.SimpleNamespace(watch=loop.watch, unwatch=loop.unwatch, status=status)
    server = StatusServer(service, str(tmp_path), None)
    try:
        for expected in ("error", "pid"):
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
                sock.connect(server.path)
                sock.sendall(b'{"request": "status"}\n')
                for _ in range(5):
                    loop.run_once(0.05)
                sock.settimeout(1)
                assert expected in sock.recv(4096).decode()
        assert "status bug" in caplog.text
    finally:
        server.close()
        loop.close()


def test_a_service_whose_loop_dies_frees_everything_and_exits_1(device, child_env, tmp_path):  # noqa: F811
    run_dir, trigger = str(tmp_path / "run"), str(tmp_path / "die")
    service = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import os, sys
        from torvak_cli.serve.loop import EventLoop
        run_once = EventLoop.run_once

        def dying(self, timeout):
            if os.path.exists({!r}):
                raise RuntimeError("loop made to die")
            run_once(self, timeout)

        EventLoop.run_once = dying
        from torvak_cli.main import main
        sys.exit(main(["serve", "--device", {!r}, "--pty-dir", {!r}]))
    """.format(trigger, SERIAL, run_dir))], env=child_env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        assert wait_until(lambda: os.path.exists(os.path.join(run_dir, SERIAL, "1")), timeout=10)
        open(trigger, "w").close()
        status = service.wait(timeout=8)
    finally:
        if service.poll() is None:
            service.kill()
            service.wait()
    output = service.stdout.read().decode(errors="replace")
    assert status == 1 and "loop made to die" in output, output
    assert sorted(os.listdir(run_dir)) == ["serve.lock"], output
    port = serial.serial_for_url("torvak://{}/1".format(SERIAL), baudrate=115200, timeout=2)  # free for the next
    try:
        port.write(b"free\n")
        assert port.read(5) == b"free\n"
    finally:
        port.close()


def test_a_slot_moves_only_as_its_table_allows(caplog):
    """Every move is said at debug level; one the table does not allow (a second open of a
    slot that is opening) is refused, starts nothing and leaves the state as it was."""
    from torvak_cli.serve.slot import Slot
    from torvak_cli.serve.states import SLOT_MOVES, BadMove, SlotState

    assert set(SLOT_MOVES) == set(SlotState)
    posted = []
    service = type("Service", (), {"post": staticmethod(posted.append), "stopping": False})()
    slot = Slot(service, 0, "NOSUCH1")
    with caplog.at_level(logging.DEBUG, logger="torvak.serve"):
        slot.open()
        worker = slot.device
        with pytest.raises(BadMove, match="opening cannot become opening"):
            slot.open()
        assert slot.state is SlotState.OPENING and slot.device is worker
        assert wait_until(lambda: posted, timeout=10)  # no such device: the open fails
        posted.pop()()
        assert slot.state is SlotState.ABSENT and slot.device is None and not worker.alive()
        with pytest.raises(BadMove, match="absent cannot become closing"):
            slot._move(SlotState.CLOSING)
    assert "device NOSUCH1: absent -> opening" in caplog.text
    assert "device NOSUCH1: opening -> absent" in caplog.text


def test_a_service_without_a_device_says_once_that_it_waits(child_env, testbed, tmp_path, monkeypatch):
    """Said once however many scans find nothing; then the device it waited for is served.
    A torvak:// port opened meanwhile waits for the service rather than take the device."""
    import threading

    import torvak_serial  # noqa: F401
    from serial_support import serial

    monkeypatch.setenv("TORVAK_RUN_DIR", str(tmp_path / "run"))
    opened = []

    def client():
        try:
            with serial.serial_for_url("torvak://{}/1".format(SERIAL)) as port:
                opened.append(port.through_service)
        except serial.SerialException as error:
            opened.append(str(error))

    log_path = str(tmp_path / "serve.log")
    with open(log_path, "wb") as log:
        child = subprocess.Popen([sys.executable, "-m", "torvak_cli", "serve", "--pty-dir", str(tmp_path / "run")],
                                 env=child_env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    try:
        def said():
            with open(log_path, "rb") as log:
                return log.read().decode(errors="replace")

        assert wait_until(lambda: "waiting for" in said(), timeout=10), said()
        waiting = threading.Thread(target=client)
        waiting.start()
        time.sleep(2.5)  # two more scans
        testbed.plug(serial=SERIAL, channels=2)
        assert wait_until(lambda: "serving {}".format(SERIAL) in said(), timeout=10), said()
        waiting.join()
        assert opened == [True], said()
    finally:
        child.send_signal(signal.SIGTERM)
        assert child.wait(15) == 0, said()
    lines = [line for line in said().splitlines() if "waiting for" in line]
    assert lines == ["torvak serve: INFO: waiting for a Torvak device (USB 0483:5750) to be plugged in"], said()


def test_data_from_the_device_goes_to_its_end_at_once_and_the_watch_moves_only_when_bytes_wait():
    """What the device sends goes to the end holding the channel in the same turn of the loop,
    telnet's doubled IAC included, costing no change of what the loop watches; only bytes
    left waiting have the end watched for room, and past FLOW_WINDOW its input pauses."""
    import collections
    import selectors

    from torvak_cli.serve.channel import Channel
    from torvak_cli.serve.ends import events_wanted
    from torvak_cli.serve.states import FromDevice, ToDevice
    from torvak_common.served import FLOW_WINDOW

    class End:
        outgoing, room, watched = bytearray(), 1 << 30, []

        def deliver(self, data):
            self.outgoing += data.replace(b"\xff", b"\xff\xff")

        def pass_on(self):
            del self.outgoing[:self.room]

        def watch(self, takes_input):
            self.watched.append(events_wanted(self.outgoing, takes_input))

    reads = collections.deque([bytes(range(256)), b"x" * 100, b"y" * FLOW_WINDOW, b"z"])
    channel = Channel.__new__(Channel)  # the data path alone, without a device
    channel.port = type("Port", (), {"take": lambda self, size: reads.popleft()})()
    channel.end = end = End()
    channel.taps, channel.from_device, channel.rate_jobs, channel._room = [], 0, 0, 100
    channel.from_device_state, channel.to_device_state = FromDevice.PASSING, ToDevice.TAKING
    channel._backlog = collections.deque()
    assert channel._from_port() and not end.outgoing and end.watched == []
    end.room = 10  # a client that takes little
    channel._from_port()
    assert len(end.outgoing) == 90 and end.watched == [selectors.EVENT_WRITE | selectors.EVENT_READ]
    channel._from_port()
    channel._from_port()
    assert end.watched[1:] == [selectors.EVENT_WRITE] and channel.from_device == 256 + 101 + FLOW_WINDOW
