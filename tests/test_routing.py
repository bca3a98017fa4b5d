"""torvak:// ports and the torvak command reach a device that torvak serve holds, through
the service; the same program works directly when no service runs (or its state file is
stale)."""
import asyncio
import errno
import json
import os
import select
import subprocess
import sys
import threading
import time

import pytest

from serial_support import serial
from test_serve import SERIAL, Served, device  # noqa: F401  (the fixture)
from test_event_driven_ports import read_three_registers
from torvak_emu import wait_until

import torvak_common
from torvak_common.served import DeviceEntry

SIZE = int(os.environ.get("TORVAK_ROUTING_BYTES", 64 * 1024))


@pytest.fixture
def served(device, child_env, tmp_path, monkeypatch):  # noqa: F811
    service = Served(child_env, tmp_path)
    monkeypatch.setenv("TORVAK_RUN_DIR", service.dir)
    child_env["TORVAK_RUN_DIR"] = service.dir
    assert wait_until(lambda: torvak_common.find_served(SERIAL) is not None, timeout=10), service.log()
    yield service
    assert service.stop() == 0, service.log()
    assert not os.path.exists(os.path.join(service.dir, "serve.json"))
    assert "Traceback" not in service.log(), service.log()


def torvak(env, *args, **options):
    return subprocess.run([sys.executable, "-m", "torvak_cli"] + list(args), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120, **options)


def hold_lock(directory):
    """Takes DIR/serve.lock as a running service holds it; the descriptor to close."""
    import fcntl

    fd = os.open(os.path.join(str(directory), "serve.lock"), os.O_RDWR | os.O_CREAT, 0o644)
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    return fd


def pyserial_program(url):
    """What an ordinary pyserial program does with a channel: lines, a time-out, a baud
    rate change, select() on the port."""
    import torvak_serial  # noqa: F401

    with serial.serial_for_url(url, baudrate=115200, timeout=0.3) as port:
        started = time.monotonic()
        assert port.read(10) == b""
        assert 0.2 < time.monotonic() - started < 3
        port.write(b"first line\n")
        assert port.readline() == b"first line\n"
        port.baudrate = 57600
        assert port.baudrate == 57600
        port.write(b"x" * 1000)
        port.flush()  # returns once the device has it all
        assert port.out_waiting == 0
        assert select.select([port], [], [], 5)[0] == [port]
        port.timeout = 5
        assert port.read(1000) == b"x" * 1000
        assert not select.select([port], [], [], 0)[0]
        return port.port


def test_send_and_receive_side_by_side_with_status_and_info(served, device, child_env, tmp_path):
    device.cross_lines(1, 2)
    data = os.urandom(SIZE)
    source, target = tmp_path / "in.bin", tmp_path / "out.bin"
    source.write_bytes(data)
    receiver = subprocess.Popen(
        [sys.executable, "-m", "torvak_cli", "receive", "torvak://serve001/2", str(target), "--size", str(SIZE),
         "--no-progress"], env=child_env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert wait_until(lambda: b"routed torvak:// client" in torvak(child_env, "status").stdout, timeout=10)
        status = torvak(child_env, "serve", "--status").stdout.decode()
        row = next(line for line in status.splitlines() if line.split()[:1] == ["2"])
        assert "routed torvak:// client user root (process " in row and served.link(2) in row, status
        sent = torvak(child_env, "send", "torvak://SERVE001/1", str(source), "--no-progress")
        assert sent.returncode == 0, sent.stderr
        _, errors = receiver.communicate(timeout=120)
    finally:
        if receiver.poll() is None:
            receiver.kill()
            receiver.wait()
    assert receiver.returncode == 0, errors
    assert target.read_bytes() == data
    rows = {line.split()[0]: line.split() for line in torvak(child_env, "status").stdout.decode().splitlines()
            if line.strip()[:1].isdigit()}
    assert rows["1"][-2:] == ["0", str(SIZE)] and rows["2"][-2:] == [str(SIZE), "0"]

    info = torvak(child_env, "info", "serve001")
    assert info.returncode == 0, info.stderr
    assert b"channels          4" in info.stdout and b"served by         torvak serve" in info.stdout
    assert b"SERVE001  4 " in torvak(child_env, "list").stdout
    # The same, machine-readable.
    [listed] = json.loads(torvak(child_env, "list", "--json").stdout)
    assert (listed["serial"], listed["channels"], listed["error"]) == ("SERVE001", 4, None) and listed["firmware"]
    [answer] = json.loads(torvak(child_env, "-v", "status", "--json").stdout)
    assert answer["pid"] == served.process.pid and answer["devices"][0]["state"] == "serving"
    channels = {entry["channel"]: entry for entry in answer["devices"][0]["channels"]}
    assert (channels[1]["to_device"], channels[2]["from_device"], channels[2]["tty"]) == (SIZE, SIZE, served.link(2))


def test_pyserial_program_through_the_service_and_one_holder_per_channel(served, device):
    assert pyserial_program("torvak://SERVE001/2") == "torvak://SERVE001/2"
    assert device.channel_state(2)["baud"] == 57600
    import torvak_serial  # noqa: F401

    with serial.serial_for_url(served.link(3)) as tty:
        with pytest.raises(serial.SerialException, match=r"^torvak serve refused: SERVE001/3 is in use by a program on its tty "):
            serial.serial_for_url("torvak://SERVE001/3")
        tty.write(b"still works\n")
    device.set_fault(config="wrong_rate")
    with serial.serial_for_url("torvak://SERVE001/4", timeout=1) as port:
        with pytest.raises(serial.SerialException, match=r"baud rate 19200 refused by device SERVE001"):
            port.baudrate = 19200
        assert port.baudrate == 9600
        port.write(b"at 9600\n")
        assert port.readline() == b"at 9600\n"
    device.set_fault(config="ok")


def test_a_reconnecting_logger_waits_for_the_service_across_an_unplug_and_a_replug(served, device, testbed,
                                                                                  monkeypatch):
    """A logger that opens the channel again as soon as it fails never takes the device from
    the service that serves it: its opens wait while the device is away."""
    import torvak_serial  # noqa: F401
    from torvak_serial import routed

    opens, failures, stop = [], [], threading.Event()

    def logger():
        while not stop.is_set():
            try:
                with serial.serial_for_url("torvak://SERVE001/4", timeout=0.1) as port:
                    opens.append(port.through_service)
                    while not stop.is_set():
                        port.read(100)
            except serial.SerialException as error:
                failures.append(str(error))
                stop.wait(0.05)

    thread = threading.Thread(target=logger)
    thread.start()
    try:
        assert wait_until(lambda: opens == [True], timeout=10), failures
        device.unplug()
        assert wait_until(lambda: failures, timeout=5)
        time.sleep(0.5)  # the logger keeps trying meanwhile
        plugged = time.monotonic()
        back = testbed.plug(serial=SERIAL, channels=4)
        assert wait_until(lambda: served.ready() and len(opens) > 1, timeout=5), (served.log(), failures)
        assert time.monotonic() - plugged < 3.0, served.log()
        assert set(opens) == {True} and "cannot serve" not in served.log(), (opens, served.log())
    finally:
        stop.set()
        thread.join()

    # A device that stays away: the open says so once its time is up.
    back.unplug()
    assert wait_until(lambda: not torvak_common.find_served(SERIAL).present, timeout=5), served.log()
    monkeypatch.setattr(routed, "ANSWER_LIMIT", 0.3)
    with pytest.raises(serial.SerialException, match=r"serves device SERVE001, but it is unplugged"):
        serial.serial_for_url("torvak://serve001/1")


def test_a_routed_port_after_reset_output_buffer(served, device):
    """out_waiting is 0 at once (flush() returns at once), and the service's answer to the
    purge does not wake a select() on fileno() with nothing to read."""
    import torvak_serial  # noqa: F401

    device.set_loopback(False)
    with serial.serial_for_url("torvak://SERVE001/1", timeout=0) as port:
        port.write(b"a" * 20000)
        port.reset_output_buffer()
        port.write(b"b")
        assert select.select([port], [], [], 0.5)[0] == []
        assert port.read(100) == b""
        port.write(b"a" * 20000)
        port.reset_output_buffer()
        assert port.out_waiting == 0
        device.set_loopback(True)
        port.write(b"c")
        assert select.select([port], [], [], 5)[0] == [port]
        assert port.read(100) == b"c"


def test_asyncio_client_through_the_service(served):
    """pyserial-asyncio waits on fileno() of the routed port: lines and a larger transfer."""
    serial_asyncio = pytest.importorskip("serial_asyncio")
    data = os.urandom(16 * 1024)

    async def exchange():
        reader, writer = await serial_asyncio.open_serial_connection(url="torvak://SERVE001/1", baudrate=115200)
        try:
            for n in range(50):
                writer.write(b"line %d\n" % n)
                assert await asyncio.wait_for(reader.readline(), 10) == b"line %d\n" % n
            writer.write(data)
            assert await asyncio.wait_for(reader.readexactly(len(data)), 60) == data
        finally:
            writer.close()
            await asyncio.wait_for(writer.wait_closed(), 20)

    asyncio.run(exchange())


def test_same_program_directly_when_the_state_file_is_stale_or_garbled(device, tmp_path, monkeypatch):  # noqa: F811
    monkeypatch.setenv("TORVAK_RUN_DIR", str(tmp_path))
    # The service was killed and its pid is now another process's (anyone can fork until
    # they get it): nobody holds its lock, so it is gone.
    other = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        torvak_common.served.write_state(str(tmp_path), other.pid, "127.0.0.1",
                                         [DeviceEntry(SERIAL, 0, 4, {}, {2: 1})])
        os.close(os.open(str(tmp_path / "serve.lock"), os.O_CREAT | os.O_WRONLY, 0o644))
        assert torvak_common.find_served(SERIAL) is None
        assert pyserial_program("torvak://SERVE001/2") == "torvak://SERVE001/2"
        lock = hold_lock(tmp_path)
        try:
            assert torvak_common.find_served(SERIAL) is not None  # its lock held: it runs
        finally:
            os.close(lock)
        assert torvak_common.find_served(SERIAL) is None
    finally:
        other.kill()
        other.wait()
    (tmp_path / "serve.json").write_text('{"pid": %d, "devices": [' % os.getpid())
    assert torvak_common.find_served(SERIAL) is None
    assert pyserial_program("torvak://serve001/2") == "torvak://serve001/2"


def test_a_slow_device_loses_nothing_through_the_service(served, device, monkeypatch):
    """close() waits while the service still takes what was written, however long a slow
    device needs; a device three times slower than a packet's old USB time-out is waited
    for: nothing lost, doubled or reordered."""
    from torvak_serial import routed

    monkeypatch.setattr(routed, "CLOSE_LIMIT", 1.0)  # without progress; the device needs seconds
    device.set_pace_ms(2)
    try:
        port = serial.serial_for_url("torvak://SERVE001/3", baudrate=115200)
        port.write(bytes(range(256)) * 768)
        port.close()
    finally:
        device.set_pace_ms(0)
    status = torvak_common.ask_service(served.dir, {"request": "status"})
    assert status["devices"][0]["channels"][2]["to_device"] == 196608

    data = os.urandom(20 * 62)
    assert wait_until(lambda: not device.pending_in(), timeout=30)  # the echoes, ahead of rate answers
    with serial.serial_for_url("torvak://SERVE001/2", baudrate=115200) as port:
        device.out_packets(clear=True)
        device.set_pace_ms(300)
        try:
            port.write(data)
            assert wait_until(lambda: len(_sent_on(device, 2)) >= len(data), timeout=30)
            time.sleep(0.5)
        finally:
            device.set_pace_ms(0)
        assert _sent_on(device, 2) == data


def _sent_on(device, channel):
    return b"".join(bytes(p[2:2 + p[1]]) for p in device.out_packets() if p[0] == channel)


def test_a_routed_port_when_the_service_stops(served):
    """Never a hang: a read waiting on a routed port, and select on it, end when the
    service stops; a write then fails with the way out."""
    import threading

    port = serial.serial_for_url("torvak://SERVE001/1", baudrate=115200, timeout=30, write_timeout=0)
    assert port.write(b"echo\n") == 5  # write_timeout 0: what the connection takes now
    assert port.read(5) == b"echo\n"
    errors = []

    def reader():
        try:
            port.read(1)
        except serial.SerialException as error:
            errors.append(str(error))

    thread = threading.Thread(target=reader)
    thread.start()
    assert served.stop() == 0
    thread.join(10)
    assert not thread.is_alive() and "the connection to torvak serve" in errors[0], errors
    assert select.select([port], [], [], 0)[0] == [port]
    with pytest.raises(serial.SerialException, match="close the port and open it again"):
        port.write(b"more")
    port.close()


def test_which_service_a_client_finds(tmp_path, monkeypatch):
    """$TORVAK_RUN_DIR alone when set, else /run/torvak then $XDG_RUNTIME_DIR/torvak; letter
    case does not matter; "ANY" is the service's device only when it is the first attached;
    a process finds the service it runs itself, as any other (the service never asks)."""
    other = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        locks = []

        def publish(directory, pid, serial_number):
            directory.mkdir(exist_ok=True)
            torvak_common.served.write_state(str(directory), pid, "127.0.0.1",
                                             [DeviceEntry(serial_number, 0, 4, {}, {1: 4000})])
            if not os.path.exists(str(directory / "serve.lock")):
                locks.append(hold_lock(directory))

        xdg = tmp_path / "xdg"
        xdg.mkdir()
        publish(xdg / "torvak", other.pid, "ABC123")
        monkeypatch.delenv("TORVAK_RUN_DIR", raising=False)
        monkeypatch.setenv("XDG_RUNTIME_DIR", str(xdg))
        found = torvak_common.find_served("abc123")
        assert found is not None and found.rfc2217_address(1) == "127.0.0.1:4000"
        assert torvak_common.find_served("ANY", ["ABC123", "OTHER1"]) == found
        assert torvak_common.find_served("ANY", ["OTHER1", "ABC123"]) is None
        assert torvak_common.find_served("OTHER1") is None

        monkeypatch.setenv("TORVAK_RUN_DIR", str(tmp_path / "run"))
        assert torvak_common.find_served("ABC123") is None  # the variable replaces the others
        publish(tmp_path / "run", os.getpid(), "ABC123")
        assert torvak_common.find_served("ABC123").directory == str(tmp_path / "run")
    finally:
        for lock in locks:
            os.close(lock)
        other.kill()
        other.wait()


def test_a_routed_port_polls_writable_only_while_the_connection_takes_more(served, device, monkeypatch):
    """With the device slow, the service's window and the connection fill: fileno() polls
    unwritable after a non-blocking write taken in part, writable once the device caught
    up, the port closed or the device went; pyserial-asyncio-fast's writer waits meanwhile
    instead of trying again and again. Every byte comes back once, in order."""
    def fill(port, sent, pace):
        # A write taken in part may find the service reading on meanwhile (it takes up to
        # 64 KiB at once while its window has room): then the port polls writable, and the
        # next write must take more. Once the window is full, it stays unwritable.
        device.set_pace_ms(pace)
        for _ in range(64):  # the service's window and the connection's buffer hold far less
            data = os.urandom(64 * 1024)
            taken = port.write(data)
            sent += data[:taken]
            if taken < len(data):
                if select.select([], [port], [], 0)[1] == []:
                    return True
                more = port.write(data[taken:])
                assert more > 0, "the port polled writable but took nothing"
                sent += data[taken : taken + more]
        return False

    port, sent = serial.serial_for_url("torvak://SERVE001/1", timeout=60, write_timeout=0), bytearray()
    try:
        assert fill(port, sent, 2)
        device.set_pace_ms(0)
        assert select.select([], [port], [], 30)[1] == [port] and port.read(len(sent)) == bytes(sent)
        assert fill(port, bytearray(), 1)
        port.close()  # ends the waiter, then delivers what was written
        assert select.select([], [port], [], 0)[1] == [port]
        asyncio.run(asyncio_fast_exchange(device, monkeypatch))
        port.open()
        assert fill(port, bytearray(), 2)
        device.unplug()
        # Each comes in its own time, and select returns at the first: writable once the
        # service reads on (dropping what the device can no longer take), readable once it
        # has seen the device go and ended the connection. Both then stay.
        assert select.select([port], [], [], 10)[0] == [port]
        assert select.select([], [port], [], 10)[1] == [port]
    finally:
        device.set_pace_ms(0)
        port.close()


async def asyncio_fast_exchange(device, monkeypatch):
    serial_asyncio_fast = pytest.importorskip("serial_asyncio_fast")
    from torvak_serial import protocol_torvak

    data, calls, write = os.urandom(256 * 1024), [], protocol_torvak.Serial.write
    monkeypatch.setattr(protocol_torvak.Serial, "write", lambda port, chunk: calls.append(1) or write(port, chunk))
    reader, writer = await serial_asyncio_fast.open_serial_connection(url="torvak://SERVE001/2")
    try:
        device.set_pace_ms(1)
        writer.write(data)
        assert await asyncio.wait_for(reader.readexactly(len(data)), 120) == data
        device.set_pace_ms(0)
        idle = time.process_time()
        await asyncio.sleep(2)  # that library spins here after a write that went out in parts
        print("256 KiB through pyserial-asyncio-fast: {} port writes; CPU in 2 s idle after: {:.2f} s".format(
            len(calls), time.process_time() - idle))
        assert len(calls) < 100
    finally:
        writer.close()
        await asyncio.wait_for(writer.wait_closed(), 20)


def test_status_fails_when_a_service_it_found_does_not_answer(child_env, tmp_path):
    # The state file of a live process (this one) that has no status socket.
    from torvak_common.served import write_state

    write_state(str(tmp_path), os.getpid(), "127.0.0.1", [DeviceEntry(SERIAL, 0, 4, {}, {})])
    lock = hold_lock(tmp_path)
    child_env["TORVAK_RUN_DIR"] = str(tmp_path)
    try:
        text = torvak(child_env, "status")
        as_json = torvak(child_env, "status", "--json")
    finally:
        os.close(lock)
    assert text.returncode == 1 and b"no answer (cannot ask torvak serve" in text.stdout, text
    assert b"1 of 1 torvak serve processes did not answer" in text.stderr, text
    assert as_json.returncode == 1 and json.loads(as_json.stdout)[0]["pid"] == os.getpid(), as_json


def test_a_routed_port_polls_readable_exactly_while_data_waits(served, device):
    """Not for the service's answers alone (after flushes, rate changes and purges); at
    once after a blocking write that had to take received data in (the service stops
    reading a client that does not read); and within 10 ms of its arrival while a flush
    waits for a slow device."""
    device.set_loopback(True)
    port = serial.serial_for_url("torvak://SERVE001/2", baudrate=115200, timeout=0)
    fd = port.fileno()

    def readable():
        return select.select([fd], [], [], 0)[0] == [fd]

    try:
        port.write(b"x")
        port.flush()
        assert wait_until(lambda: port.in_waiting == 1, timeout=10)
        assert readable() and port.read(1) == b"x" and port.out_waiting == 0  # the last answer is in too
        for change in (port.flush, port.reset_output_buffer, lambda: setattr(port, "baudrate", 57600)):
            change()
            assert not readable() and port.in_waiting == 0

        # 1 MiB written at once and echoed unread: the service's buffers fill, and the write
        # goes on only by taking the echo in.
        data = os.urandom(1024 * 1024)
        port.write_timeout = 60
        assert port.write(data) == len(data)
        assert readable()
        echoed, port.timeout = bytearray(), 10
        while len(echoed) < len(data):
            assert readable()
            echoed += port.read(len(data) - len(echoed))
        assert bytes(echoed) == data and not readable()

        # A flush on a paced device while it streams back: each packet is readable as it
        # arrives (the device's log says when), not once the flush is done.
        device.set_pace_ms(20)
        port.timeout, arrivals, size = 0, [], 40 * 61

        def watch():
            while sum(len(chunk) for _, chunk in arrivals) < size and select.select([fd], [], [], 5)[0]:
                arrivals.append((time.monotonic(), port.read(4096)))

        device.in_log(clear=True)
        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            port.write(b"?" * size)
            port.flush()
            flushed = time.monotonic()
        finally:
            watcher.join(10)
        assert all(chunk for _, chunk in arrivals), arrivals  # never woken for an answer alone
        assert b"".join(chunk for _, chunk in arrivals) == b"?" * size
        # Each packet against the first read that gave its last byte.
        sent, seen, total = device.in_log(), [], 0
        for at, chunk in arrivals:
            total += len(chunk)
            seen += [at] * (total // 61 - len(seen))
        late = [got - at for got, (at, _) in zip(seen + [arrivals[-1][0]], sent)]
        assert len(sent) == 40 and sum(at < flushed for at, _ in sent) > 5, (sent, flushed)
        assert max(late) < 0.5, late  # about 1 ms on an idle machine; generous for a loaded CI run
    finally:
        device.set_pace_ms(0)
        port.close()
    assert readable() and select.select([], [fd], [], 0)[1] == [fd]


def test_a_routed_port_writes_like_a_tty_on_a_slow_device(served, device):
    """The output side through the service, on a paced device: a write with a time limit
    raises in time, out_waiting counts exactly what the device may not have yet, a flush
    returns once it has it all, and reset_output_buffer() returns within 0.5 s, after which
    out_waiting is 0 and little more than the socket's 4 KiB reaches the device."""
    port = serial.serial_for_url("torvak://SERVE001/4", baudrate=115200, timeout=0, write_timeout=0.5)
    try:
        device.set_pace_ms(5)
        data = os.urandom(10000)
        port.write(data)
        assert port.out_waiting == len(data)  # no answer can come before the device has it
        port.flush()
        assert _sent_on(device, 4) == data and port.out_waiting == 0
        started = time.monotonic()
        port.flush()
        assert time.monotonic() - started < 0.05

        device.out_packets(clear=True)
        started = time.monotonic()
        with pytest.raises(serial.SerialTimeoutException) as raised:
            port.write(b"\xff" * (1 << 20))
        raised_at = time.monotonic() - started
        taken = int(str(raised.value).split()[2])
        assert 0.45 < raised_at < 1.5 and 0 < taken < (1 << 20), (raised_at, raised.value)
        assert port.out_waiting == taken
        started = time.monotonic()
        port.reset_output_buffer()
        took = time.monotonic() - started
        before = len(_sent_on(device, 4))
        assert took < 0.8 and port.out_waiting == 0  # it waits for the answer, 0.5 s at most
        port.flush()  # returns at once: what was written is dropped or on its way
        assert time.monotonic() - started < 0.8
        # The service purges once it reads the purge (behind the socket's 4 KiB): what was
        # on its way still goes.
        seen = -1
        while len(_sent_on(device, 4)) != seen:
            seen = len(_sent_on(device, 4))
            time.sleep(0.3)
        after = seen - before
        assert after <= 8192, after  # the socket's 4 KiB and what was on its way
        print("routed: write_timeout 0.5 raised at {:.3f} s; reset_output_buffer {:.1f} ms, {} bytes "
              "after".format(raised_at, took * 1000, after))
        device.set_pace_ms(0)
        device.out_packets(clear=True)
        port.write(b"after the purge\n")
        port.flush()
        assert _sent_on(device, 4) == b"after the purge\n"
    finally:
        device.set_pace_ms(0)
        port.close()


@pytest.mark.parametrize("package, size", [("serial_asyncio", 65536), ("serial_asyncio_fast", 2048)])
def test_asyncio_clients_through_a_routed_port(served, device, package, size):
    """An asyncio writer on a paced device waits on the connection for room instead of
    spinning (one write, as pyserial-asyncio-fast 0.16 spins by itself after any write taken
    in part); pymodbus's async RTU client reads registers from a Modbus peer behind the
    service."""
    module = pytest.importorskip(package)
    pymodbus_client = pytest.importorskip("pymodbus.client", reason="pymodbus is not installed")
    data = os.urandom(size)

    async def write_then_idle():
        reader, writer = await module.open_serial_connection(url="torvak://SERVE001/1", baudrate=115200)
        try:
            device.set_pace_ms(1)
            writer.write(data)
            assert await asyncio.wait_for(reader.readexactly(len(data)), 60) == data
            before = time.process_time()
            await asyncio.sleep(2)
            return time.process_time() - before
        finally:
            device.set_pace_ms(0)
            writer.close()
            await asyncio.wait_for(writer.wait_closed(), 20)

    idle = asyncio.run(write_then_idle())
    print("{}, one {} byte write through the service: {:.3f} s CPU in 2 s idle".format(package, size, idle))
    assert idle < 0.3  # a spinning writer burns most of it

    device.set_peer(3, "modbus-slave", address=17, registers={0: 100, 1: 200, 2: 300})
    assert read_three_registers(pymodbus_client, "torvak://SERVE001/3") == [100, 200, 300]


def test_a_routed_port_read_in_one_thread_while_another_writes_and_flushes(served, device):
    """As miniterm and serial.threaded use a port: every byte comes back once and in order
    while the writer's flushes and rate changes take the service's answers from the same
    connection."""
    import threading

    data = os.urandom(256 * 1024)
    received = bytearray()
    port = serial.serial_for_url("torvak://SERVE001/2", baudrate=115200, timeout=0.05)

    def reader():
        while len(received) < len(data):
            received.extend(port.read(4096))

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        for at in range(0, len(data), 8192):
            port.write(data[at:at + 8192])
            if at % 32768 == 0:
                port.flush()
            assert port.out_waiting >= 0
        port.baudrate = 57600
        port.flush()
        thread.join(60)
        assert not thread.is_alive() and bytes(received) == data
    finally:
        if thread.is_alive():
            port.cancel_read()
        port.close()
        thread.join(10)
