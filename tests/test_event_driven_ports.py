"""torvak:// ports are event-driven: fileno() is a readiness descriptor that select,
selectors and asyncio wait on, reads wake at once on data, close, cancel_read and unplug,
and write_timeout 0 is a non-blocking write. Real asyncio clients from PyPI run unchanged."""
import asyncio
import errno
import random
import select
import threading
import time
from unittest import mock

import pytest

from serial_support import looped_device_and_port, serial, torvak_serial  # noqa: F401  (registers torvak://)
from serial.threaded import Protocol, ReaderThread
from torvak_serial.device_channel import open_device_channel
from torvak_serial.output import SERVICE_QUEUE

SERIAL = "EVT0001"
URL = "torvak://{}/1".format(SERIAL)


device, port = looped_device_and_port(SERIAL, timeout=5)


def readable(port, timeout):
    return bool(select.select([port], [], [], timeout)[0])


def in_thread(fn, delay):
    timer = threading.Timer(delay, fn)
    timer.start()
    return timer


class TestWakeUps:
    def test_readiness_follows_the_receive_buffer(self, port):
        assert not readable(port, 0.1)
        port.write(b"ping")
        assert readable(port, 2)
        assert port.read(4) == b"ping"
        assert not readable(port, 0.1)

    @pytest.mark.parametrize("how", ["data", "cancel_read", "close"])
    def test_a_waiting_read_wakes_at_once(self, device, port, how):
        other = serial.serial_for_url("torvak://{}/2".format(SERIAL), timeout=1)
        try:
            action = {"data": lambda: port.write(b"x"), "cancel_read": port.cancel_read,
                      "close": port.close}[how]
            timer = in_thread(action, 0.2)
            start = time.monotonic()
            if how == "close":
                with pytest.raises(serial.PortNotOpenError):
                    port.read(10)
            else:
                assert port.read(10 if how == "cancel_read" else 1) == (b"x" if how == "data" else b"")
            assert 0.15 < time.monotonic() - start < 1.5
            timer.join()
        finally:
            other.close()

    def test_unplug_wakes_readers_and_ends_a_reader_thread(self, device, port):
        lost = []

        class Recorder(Protocol):
            def connection_lost(self, exc):
                lost.append(exc)

        port.write(b"before")
        assert readable(port, 2)
        reader = ReaderThread(port, Recorder)
        reader.start()
        in_thread(device.unplug, 0.3)
        reader.join(5)
        assert not reader.is_alive()
        assert len(lost) == 1 and isinstance(lost[0], serial.SerialException)
        assert "gone" in str(lost[0])
        assert port.fileno() >= 0 and readable(port, 0)  # the descriptor keeps working
        port.flush()


def test_bytes_received_before_an_unplug_are_read_first(device, port):
    port.timeout = None  # waits for all 10 bytes: the loss must end the wait
    port.write(b"12345")
    assert readable(port, 2)
    device.unplug()
    assert port.read(10) == b"12345"
    with pytest.raises(serial.SerialException, match="gone"):
        port.read(1)
    with pytest.raises(serial.SerialException, match="gone"):
        port.in_waiting


def test_write_timeout_zero_is_a_non_blocking_write(device, port):
    device.set_pace_ms(30)  # one packet every 30 ms: the device cannot take much at once
    port.write_timeout = 0
    start = time.monotonic()
    sent = port.write(bytes(6200))
    assert time.monotonic() - start < 0.5
    assert sent == 4096  # what the output buffer takes
    port.reset_output_buffer()


def _sent_on(device, channel):
    """The payload bytes the device has received for `channel`, in order."""
    return b"".join(bytes(p[2:2 + p[1]]) for p in device.out_packets() if p[0] == channel)


def writable(port, timeout):
    return bool(select.select([], [port], [], timeout)[1])


class TestOutputBuffer:
    def test_a_write_is_buffered_whole_and_flush_waits_for_the_device(self, device, port):
        device.set_pace_ms(5)  # one packet per 5 ms frame: 4 KiB take about 335 ms
        device.out_packets(clear=True)
        data = random.Random(2).getrandbits(8 * 4096).to_bytes(4096, "little")
        port.write_timeout = 0
        start = time.monotonic()
        assert port.write(data) == 4096
        assert time.monotonic() - start < 0.2  # about 1 ms; generous for a loaded machine
        assert port.out_waiting > 0
        port.flush()
        assert port.out_waiting == 0
        assert _sent_on(device, 1) == data  # all of it, in order, by the time flush() returns
        port.timeout = 5
        assert port.read(4096) == data

    def test_readiness_writable_only_with_room_and_reset_drops_the_rest(self, device, port):
        device.set_pace_ms(30)
        device.out_packets(clear=True)
        port.write_timeout = 0
        assert writable(port, 0)
        assert port.write(bytes(5000)) == 4096
        assert not writable(port, 0.1)
        port.reset_output_buffer()
        assert writable(port, 0) and port.out_waiting <= 2048  # only what is in flight
        port.flush()
        assert port.out_waiting == 0 and len(_sent_on(device, 1)) < 4096

    def test_an_unplug_fails_flush_and_a_waiting_write_at_once(self, device, port):
        device.set_pace_ms(30)
        port.write_timeout = 0
        port.write(bytes(4096))
        port.write_timeout = None
        failures = []

        def blocked_writer():
            try:
                port.write(bytes(1000))  # waits for room
            except serial.SerialException as error:
                failures.append((time.monotonic(), error))

        writer = threading.Thread(target=blocked_writer)
        writer.start()
        time.sleep(0.2)
        unplugged = time.monotonic()
        device.unplug()
        writer.join(2)
        assert failures and failures[0][0] - unplugged < 1.0
        assert "gone" in str(failures[0][1]) and "not delivered" in str(failures[0][1])
        port.close()  # the failure was reported once: close does not raise it again

    def test_a_failed_transfer_stops_the_drain_and_the_next_call_says_how_much_was_lost(self, device, port):
        device.set_pace_ms(10)  # time for the transfers behind the failed one to be stopped
        device.out_packets(clear=True)
        data = bytes(range(256)) * 16
        device.fail_out_after(10, errno.EPIPE)  # the device refuses the 10th packet
        port.write_timeout = 0
        assert port.write(data) == 4096
        with pytest.raises(serial.SerialException, match="3538 bytes written were not delivered"):
            port.flush()
        assert _sent_on(device, 1) == data[:9 * 62]  # a prefix: nothing after the gap
        assert port.out_waiting == 0
        device.set_pace_ms(0)  # the emulator keeps the frames it had planned for what was stopped
        port.write(b"after")  # reported once; the drain goes on with what comes next
        port.flush()
        assert _sent_on(device, 1) == data[:9 * 62] + b"after"

    def test_writes_of_every_size_on_two_channels_at_once_arrive_intact(self, device):
        device.set_pace_ms(1)
        ports = [serial.serial_for_url("torvak://{}/{}".format(SERIAL, n), timeout=10) for n in (1, 2)]
        streams = [random.Random(n).getrandbits(8 * 40000).to_bytes(40000, "little") for n in (1, 2)]
        failures = []

        def write_all(port, data, seed):
            # Sizes around the packet and buffer sizes, blocking and non-blocking, so the
            # buffer wraps at every offset and fills up again and again.
            sizes = random.Random(seed)
            try:
                at = 0
                while at < len(data):
                    size = sizes.choice([1, 61, 62, 63, 1000, 4095, 4096, 5000])
                    port.write_timeout = sizes.choice([None, 0, 5])
                    at += port.write(data[at:at + size])
                port.flush()
            except Exception as error:  # reported below
                failures.append(error)

        writers = [threading.Thread(target=write_all, args=(p, d, n)) for n, (p, d) in enumerate(zip(ports, streams))]
        for w in writers:
            w.start()
        try:
            echoes = [p.read(len(d)) for p, d in zip(ports, streams)]
            for w in writers:
                w.join(30)
            assert not failures
            assert echoes == streams
        finally:
            for p in ports:
                p.close()

    def test_close_drains_what_was_queued(self, device):
        device.set_pace_ms(2)
        device.out_packets(clear=True)
        data = bytes(range(256)) * 16
        port = serial.serial_for_url(URL, write_timeout=0)
        assert port.write(data) == 4096
        port.close()
        assert _sent_on(device, 1) == data


def _asyncio_module(name):
    return pytest.importorskip(name, reason="{} is not installed".format(name))


@pytest.mark.parametrize("package", ["serial_asyncio", "serial_asyncio_fast"])
def test_asyncio_line_protocol_and_a_64k_transfer(device, package):
    module = _asyncio_module(package)
    data = random.Random(1).getrandbits(8 * 65536).to_bytes(65536, "little")

    async def exchange():
        reader, writer = await module.open_serial_connection(url=URL, baudrate=115200)
        try:
            for n in range(100):
                writer.write(b"line %d\n" % n)
                assert await asyncio.wait_for(reader.readline(), 5) == b"line %d\n" % n
            # pyserial-asyncio-fast 0.16 leaves its writer registered after a partial write
            # has been completed, and then fails its own assertion on every loop turn: give
            # it writes the port's 4 KiB output buffer takes whole.
            step = len(data) if package == "serial_asyncio" else 2048
            for at in range(0, len(data), step):
                writer.write(data[at:at + step])
                await writer.drain()
            got = await asyncio.wait_for(reader.readexactly(len(data)), 60)
            assert got == data
        finally:
            writer.close()
            await asyncio.wait_for(writer.wait_closed(), 5)  # the port is closed by then

    asyncio.run(exchange())


@pytest.mark.parametrize("package, size", [("serial_asyncio", 65536), ("serial_asyncio_fast", 2048)])
def test_asyncio_writers_wait_instead_of_spinning(device, package, size):
    module = _asyncio_module(package)
    device.set_pace_ms(1)
    data = random.Random(3).getrandbits(8 * size).to_bytes(size, "little")

    async def write_then_idle():
        reader, writer = await module.open_serial_connection(url=URL, baudrate=115200)
        try:
            writer.write(data)  # one write: the transport waits on the descriptor for room
            assert await asyncio.wait_for(reader.readexactly(size), 30) == data
            before = time.process_time()
            await asyncio.sleep(1)
            return time.process_time() - before
        finally:
            writer.close()
            await asyncio.wait_for(writer.wait_closed(), 5)

    assert asyncio.run(write_then_idle()) < 0.3  # a spinning writer burns most of the second


def test_pymodbus_async_rtu_client_reads_registers(testbed):
    pymodbus_client = pytest.importorskip("pymodbus.client", reason="pymodbus is not installed")
    device = testbed.plug(serial="EVT0002", channels=4)
    device.set_peer(3, "modbus-slave", address=17, registers={0: 100, 1: 200, 2: 300})
    assert read_three_registers(pymodbus_client, "torvak://EVT0002/3") == [100, 200, 300]


def read_three_registers(pymodbus_client, url):
    """Holding registers 0 to 2 of slave 17 at `url`, read by pymodbus's asyncio client."""
    async def query():
        client = pymodbus_client.AsyncModbusSerialClient(url, baudrate=9600, timeout=5, retries=2)
        assert await client.connect()
        try:
            result = await client.read_holding_registers(0, count=3, device_id=17)
            assert not result.isError()
            return result.registers
        finally:
            client.close()

    return asyncio.run(query())



def _service_channel(number):
    """Channel `number` as torvak serve holds it."""
    return open_device_channel("torvak://{}/{}".format(SERIAL, number), SERIAL, number, 9600, SERVICE_QUEUE)


def _events_ready(queue, timeout):
    return bool(select.select([queue.events_fd()], [], [], timeout)[0])


def _outcomes_until(queue, count, timeout=10):
    """The rate changes' outcomes until `count` came: on the events descriptor, and looked
    at now and then (a missing answer is noticed when looked at, as the service's tick does)."""
    outcomes, deadline = [], time.monotonic() + timeout
    while len(outcomes) < count and time.monotonic() < deadline:
        _events_ready(queue, 0.2)
        outcomes += queue.events()[3]
    return outcomes


class TestServiceQueue:
    """The service's queue: rate changes in their place among the bytes, no USB time-out,
    an events descriptor of its own."""

    @pytest.fixture
    def served_port(self, device):
        channel = _service_channel(1)
        yield channel
        channel.close()

    def test_rate_changes_keep_their_place_and_report_how_they_ended(self, device, served_port):
        queue = served_port.queue
        device.set_pace_ms(2)
        device.out_packets(clear=True)
        first, second = bytes(range(256)) * 12, bytes(range(255, -1, -1)) * 12
        assert queue.put(first) == 3072
        assert queue.change_rate(38400) is True
        assert queue.change_rate(57600) is False  # nothing between: it takes the first's place
        assert queue.put(second[:1000]) == 1000
        assert queue.change_rate(115200) is True
        assert _outcomes_until(queue, 2) == [(57600, 9600, 57600), (115200, 57600, 115200)]
        packets = device.out_packets()
        kinds = [bytes(p[2:2 + p[1]]) if p[0] > 100 else p[0] for p in packets]
        configs = [i for i, k in enumerate(kinds) if k == b"Config 57600\n"]
        asked = [i for i, k in enumerate(kinds) if k == b"Config?\n"]
        assert len(configs) == 1 and len(asked) == 2
        assert _sent_on(device, 1) == first + second[:1000]
        sent_before = b"".join(bytes(p[2:2 + p[1]]) for p in packets[:configs[0]] if p[0] == 1)
        assert sent_before == first  # every byte before the change, none after it
        assert kinds[configs[0] + 1] == b"Config?\n"
        device.set_fault(config="wrong_rate")
        try:
            assert queue.change_rate(230400)
            assert _outcomes_until(queue, 1) == [(230400, 115200, 115200)]
            device.set_fault(config="silent")
            start = time.monotonic()
            assert queue.change_rate(460800)
            queue.put(b"after")
            assert _outcomes_until(queue, 1, timeout=20) == [(460800, 115200, None)]
            assert 4 < time.monotonic() - start < 15
            served_port.flush()
            assert _sent_on(device, 1).endswith(b"after")
        finally:
            device.set_fault(config="ok")

    def test_a_slow_device_is_waited_for_and_the_events_say_room_and_drained(self, device, served_port):
        queue = served_port.queue
        direct = serial.serial_for_url("torvak://{}/2".format(SERIAL), write_timeout=1)
        device.set_pace_ms(300)  # three times the time a packet had before it was given up
        device.out_packets(clear=True)
        data = bytes(range(256)) * 64
        assert queue.put(data) == len(data) and queue.put(b"more") == 0  # full: no progress, no failure
        queue.events()
        started = time.monotonic()
        with pytest.raises(serial.SerialException):  # a direct port's writer is not kept waiting
            direct.write(bytes(16384))
        assert time.monotonic() - started < 1.8
        with pytest.raises(serial.SerialException, match="USB time-out"):  # its transfers do have a limit
            direct.close()
        # Room comes back a transfer at a time: about 5 s each at this pace.
        deadline = time.monotonic() + 15
        while not queue.events()[0] and time.monotonic() < deadline:
            time.sleep(0.1)
        room, waiting, changes, _ = queue.events()
        assert 0 < room < 4096 and waiting == len(data) - room and changes == 0
        assert queue.put(b"") == 0  # still no failure
        assert queue.change_rate(19200)
        served_port.reset()  # what is not yet submitted goes; the change stays
        device.set_pace_ms(0)
        # The change waits for the transfers in flight, paced as they were sent (up to 10 s).
        assert _outcomes_until(queue, 1, timeout=25) == [(19200, 9600, 19200)]
        assert queue.put(b"tail") == 4
        assert _events_ready(queue, 5)  # drained
        assert queue.events()[:3] == (len(data), 0, 0)
        sent = _sent_on(device, 1)
        assert sent.endswith(b"tail") and data.startswith(sent[:-4]) and room <= len(sent) - 4 < len(data)

    def test_close_cancels_what_a_stalled_device_holds_in_flight(self, device):
        port = _service_channel(2)
        device.set_pace_ms(1000)
        device.out_packets(clear=True)
        data = bytes(range(256)) * 16
        assert port.queue.put(data) == len(data)
        started = time.monotonic()
        with mock.patch.object(torvak_serial.output, "CLOSE_PATIENCE", 0.3):
            port.close()  # logs what it dropped
        assert time.monotonic() - started < 3
        time.sleep(1.5)
        sent = _sent_on(device, 2)
        assert len(sent) < 1024 and data.startswith(sent)  # what was cancelled is never sent again


_WRONG_CAPSULES = r"""
import ctypes, os, sys

def fail(text):  # the device's reader thread would keep sys.exit() from ending the process
    sys.stderr.write(text + "\n")
    sys.stderr.flush()
    os._exit(1)
import _torvak_readiness as r
import zeq_torvak

new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

port = zeq_torvak.Serial("Torvak:CAPS01:S1")
channel = getattr(port, "_Serial__handle")
buffer = getattr(channel, "_Channel__in_deque")
device = getattr(channel, "_Channel__device")
core = getattr(device, "_Device__core")
queue = r.output(buffer, core, 1)
keep = bytearray(64)
unnamed = new_capsule(ctypes.addressof((ctypes.c_char * 64).from_buffer(keep)), None, None)
foreign = new_capsule(ctypes.addressof((ctypes.c_char * 64).from_buffer(keep)), b"other.thing", None)
not_buffers = [core, queue, unnamed, foreign, object()]
not_cores = [buffer, queue, unnamed, foreign, object()]
calls = []
for other, not_core in zip(not_buffers, not_cores):
    calls += [(r.descriptor, (other,)), (r.ended, (other,)), (r.output, (other, core, 1)),
              (r.output, (buffer, not_core, 1))]
for other in [buffer, core, unnamed, foreign]:
    calls += [(r.write, (other, b"x", 0)), (r.out_waiting, (other,)), (r.drain, (other, 0)),
              (r.reset_output, (other,)), (r.close_output, (other, 0)), (r.change_rate, (other, 9600))]
calls.append((r.output, (core, buffer, 1)))  # the two swapped
refused = 0
for call, args in calls:
    try:
        call(*args)
    except TypeError:
        refused += 1
    else:
        fail("not refused: {}{}".format(call.__name__, args))
# A capsule put in the wrong object's place: the module's own members refuse it too.
for owner, name, wrong, use in [
    (channel, "_Channel__in_deque", core, lambda: port.read(1)),
    (channel, "_Channel__in_deque", unnamed, lambda: port.in_waiting),
    (device, "_Device__core", buffer, lambda: port.write(b"x")),
    (device, "_Device__core", unnamed, lambda: port.write(b"x")),
]:
    right = getattr(owner, name)
    setattr(owner, name, wrong)
    try:
        use()
    except TypeError:
        refused += 1
    else:
        fail("not refused: " + name)
    finally:
        setattr(owner, name, right)
r.close_output(queue, 1)
port.write(b"still works")
port.close()
print(refused, len(calls) + 4)
"""


def test_a_wrong_or_swapped_capsule_is_refused_with_type_error(testbed, child_env):
    # In a child: before the capsules were named, one could crash the interpreter.
    testbed.plug(serial="CAPS01", channels=2)
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-c", _WRONG_CAPSULES], env=child_env, capture_output=True,
                          text=True, timeout=30)
    assert done.returncode == 0, done.stdout + done.stderr
    refused, tried = done.stdout.split()
    assert refused == tried
