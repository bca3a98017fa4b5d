"""The module's own USB handles end to end against emulated devices: device queries,
baud-rate confirmation and its faults, unplugging, open/close churn, two devices used
from several threads, and the demonstration run as the main program.

Run under umockdev:  umockdev-wrapper python3 -m pytest tests/test_native_path.py
"""
import gc
import os
import random
import shutil
import subprocess
import sys
import threading
import time

import pytest

import zeq_torvak
from loopback_stress import memory_sample, process_resources, under_address_sanitizer
from waiting import wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
MASTER = 100
USB_ERROR = zeq_torvak._usb_core.USBError
UNPLUG_REPORT = "USB 设备[Torvak:%s]读取数据失败，有可能是设备已拔出："

# The thread method also ends a test stuck in native code, where a signal cannot reach it.
pytestmark = pytest.mark.timeout(60)


# ---------------------------------------------------------------------------
# Helpers


@pytest.fixture
def reports(stderr):
    """What the module writes to its standard error, one entry per write call."""
    return stderr.writes


@pytest.fixture
def registry(testbed, monkeypatch):
    """A registry of this test's own, so devices filed by other tests cannot answer "ANY"."""
    rm = zeq_torvak._ResourceManager()
    monkeypatch.setattr(zeq_torvak, "_resource_manager", rm)
    return rm


def filed(registry):
    return list(registry._ResourceManager__devices)


def filed_device(registry, serial):
    return registry._ResourceManager__devices[serial]


def plug(testbed, serial, **options):
    """Plugs a device and waits until libusb lists it (hot-plugging reaches libusb through
    its uevent monitor, asynchronously)."""
    emulated = testbed.plug(serial=serial, **options)
    listed = wait_until(lambda: zeq_torvak._ResourceManager.find_device(serial) is not None)
    assert listed, "libusb never listed " + serial
    return emulated


def released(emulated):
    """True once no handle holds the device (the node's clients disconnect asynchronously)."""
    return wait_until(lambda: emulated.open_handles == 0 and not emulated.claimed)


def commands(emulated, target):
    """The command texts the host sent to one target (0: the master channel), in order."""
    out = []
    for packet in emulated.out_packets():
        if packet[0] == MASTER + target:
            text = bytes(packet[2:2 + packet[1]]).decode("utf-8")
            assert text.endswith("\n"), text
            out.append(text[:-1])
    return out


def timed(call):
    start = time.monotonic()
    result = call()
    return result, time.monotonic() - start


# ---------------------------------------------------------------------------
# Device queries over the master control channel


class TestDeviceQueries:
    def test_echo_version_and_channel_count(self, registry, testbed):
        emulated = plug(testbed, "QUERY01", channels=6, version="Torvak-EMU 2.5")
        device = zeq_torvak.get_hid_device("QUERY01")
        try:
            assert device.echo("hello, 世界") == "hello, 世界"
            assert device.echo("") == ""
            assert device.firmware_version == "Torvak-EMU 2.5"
            assert device.channel_count == 6
            sent = len(emulated.out_packets())
            assert device.channel_count == 6
            assert len(emulated.out_packets()) == sent, "a known channel count is asked again"
            assert commands(emulated, 0) == ["Echo hello, 世界?", "Echo ?", "Version?", "ChannelCount?"]
            # A device handed out without a channel stays open and filed.
            assert filed(registry) == ["QUERY01"]
            assert zeq_torvak.get_hid_device("ANY") is device
        finally:
            for serial in filed(registry):
                filed_device(registry, serial).close_channel(1)
        assert filed(registry) == []
        assert released(emulated)
        assert emulated.protocol_errors() == []

    def test_silent_firmware(self, registry, testbed, reports):
        emulated = plug(testbed, "QUERY02", channels=4)
        emulated.set_fault(master="silent")
        device = zeq_torvak.get_hid_device("QUERY02")
        try:
            for query in (lambda: device.echo("anyone there"), lambda: device.firmware_version):
                result, elapsed = timed(query)
                assert result is None
                assert 0.4 <= elapsed < 3.0
            start = time.monotonic()
            with pytest.raises(AssertionError) as failure:
                device.channel_count
            assert 0.9 <= time.monotonic() - start < 5.0
            assert str(failure.value) == "查询设备通道数量超时:QUERY02"
            # A failed query leaves the count unknown: it is asked again once the firmware answers.
            emulated.set_fault(master="ok")
            assert device.channel_count == 4
            assert commands(emulated, 0) == ["Echo anyone there?", "Version?", "ChannelCount?", "ChannelCount?"]
        finally:
            device.close_channel(1)
        assert reports == []
        assert released(emulated)

    def test_garbage_channel_count_is_reported_and_fails_the_query(self, registry, testbed, reports):
        emulated = plug(testbed, "QUERY03", channels=4)
        emulated.set_fault(master="garbage")
        device = zeq_torvak.get_hid_device("QUERY03")
        try:
            assert device.echo("abc") == "garbage\n"
            with pytest.raises(AssertionError) as failure:
                device.channel_count
            assert str(failure.value) == "查询设备通道数量超时:QUERY03"
            assert reports == [
                "ChannelCount command feedback invalid: [array('B', [103, 97, 114, 98, 97, 103, 101, 10])]"
            ]
        finally:
            device.close_channel(1)
        assert released(emulated)


# ---------------------------------------------------------------------------
# Baud rate confirmation through Serial

BAUD_FAILURES = {
    "wrong_rate": "设置波特率失败:Torvak:BAUD01:S2:当前值 = 57600:目标值 = 115200",
    "silent": "设置波特率超时:Torvak:BAUD01:S2:目标值 = 115200",
    "garbage": "设置波特率超时:Torvak:BAUD01:S2:目标值 = 115200",
}


class TestBaudRate:
    def test_confirmed(self, registry, testbed, reports):
        emulated = plug(testbed, "BAUD01", channels=4)
        port = zeq_torvak.Serial("torvak:baud01:s2", 115200, timeout=0.5)
        try:
            assert port.port == "Torvak:BAUD01:S2"
            assert port.baudrate == 115200
            assert emulated.channel_state(2) == {"open": True, "baud": 115200, "flushed": 1}
            assert commands(emulated, 2) == ["Config 115200", "Config?", "OpenChannel", "FlushInput"]
            port.baudrate = 9600
            assert port.baudrate == 9600
            assert emulated.channel_state(2)["baud"] == 9600
        finally:
            port.close()
        assert commands(emulated, 2)[-1] == "CloseChannel"
        assert emulated.channel_state(2)["open"] is False
        assert commands(emulated, 0) == ["ChannelCount?"]
        assert filed(registry) == []
        assert released(emulated)
        assert reports == []

    @pytest.mark.parametrize("fault", sorted(BAUD_FAILURES))
    def test_refused(self, registry, testbed, reports, fault):
        emulated = plug(testbed, "BAUD01", channels=4)
        emulated.set_fault(config=fault)
        start = time.monotonic()
        with pytest.raises(OSError) as failure:
            zeq_torvak.Serial("Torvak:BAUD01:S2", 115200, timeout=0.5)
        elapsed = time.monotonic() - start
        assert type(failure.value) is OSError  # the baud-rate error, not a USB transfer error
        assert str(failure.value) == BAUD_FAILURES[fault]
        if fault != "wrong_rate":
            assert 0.9 <= elapsed < 5.0
        if fault == "garbage":
            assert reports == ["波特率查询结果异常:Torvak:BAUD01:S2：[garbage\n]"]
        else:
            assert reports == []

        # The half-open channel was closed on the device, and with it the device itself.
        assert commands(emulated, 2) == ["Config 115200", "Config?", "CloseChannel"]
        assert emulated.channel_state(2)["open"] is False
        assert filed(registry) == []
        assert released(emulated)

        # The device opens again (a new device object) once the firmware confirms.
        emulated.set_fault(config="ok")
        port = zeq_torvak.Serial("Torvak:BAUD01:S2", 115200, timeout=0.5)
        try:
            assert port.baudrate == 115200
            assert emulated.channel_state(2)["open"] is True
        finally:
            port.close()
        assert filed(registry) == []


# ---------------------------------------------------------------------------
# Unplugging and churn


def test_unplug_ends_the_reader_with_one_report_and_close_returns_at_once(registry, testbed, reports):
    emulated = plug(testbed, "UNPLUG01", channels=2)
    emulated.set_loopback(True)
    port = zeq_torvak.Serial("Torvak:UNPLUG01:S1", timeout=0.3)
    try:
        reader = filed_device(registry, "UNPLUG01")._Device__input_scanner
        assert port.write(b"ping") == 4
        assert port.read(4) == b"ping"

        emulated.unplug()
        reader.join(5)
        assert not reader.is_alive()
        assert len(reports) == 1, reports
        prefix = UNPLUG_REPORT % "UNPLUG01"
        assert reports[0].startswith(prefix)
        assert "No such device" in reports[0][len(prefix):]
    finally:
        _, elapsed = timed(port.close)
    assert elapsed < 1.0
    assert filed(registry) == []
    assert len(reports) == 1


def _instances(cls):
    return sum(1 for o in gc.get_objects() if type(o) is cls)


def test_open_close_churn_leaks_no_thread_descriptor_or_memory(registry, testbed):
    """200 device lifetimes, 50 on each of four devices at once (closing a device waits
    for its reader's pending 50 ms read, so one device alone would take ~12 s). Half go
    through Serial, half through get_hid_device and the device's channel operations."""
    serials = ["CHURN%d" % n for n in range(4)]
    emulated = [plug(testbed, serial, channels=2) for serial in serials]

    def through_serial(serial):
        zeq_torvak.Serial("Torvak:%s:S1" % serial, timeout=1).close()

    def through_device(serial):
        device = zeq_torvak.get_hid_device(serial)
        device.open_channel(2, 9600, 1.0)
        device.close_channel(2)

    errors = []

    def churn(serial, cycle, rounds):
        try:
            for _ in range(rounds):
                cycle(serial)
                if serial in filed(registry):
                    errors.append("%s still filed after its last channel closed" % serial)
                    return
        except Exception as exc:  # reported by the test thread
            errors.append(repr(exc))

    def run(rounds):
        workers = [
            threading.Thread(target=churn, args=(serial, (through_serial, through_device)[n % 2], rounds))
            for n, serial in enumerate(serials)
        ]
        for w in workers:
            w.start()
        for w in workers:
            w.join(40)
        assert not any(w.is_alive() for w in workers)
        assert errors == []

    def snapshot():
        gc.collect()
        for device in emulated:
            device.open_handles  # the emulator lets go of the node clients it has seen close
        return {
            "python threads": threading.active_count(),
            "native threads": process_resources()["native_threads"],
            "descriptors": process_resources()["descriptors"],
            "devices": _instances(zeq_torvak._Device),
            "channels": _instances(zeq_torvak._Channel),
        }

    run(5)  # warm-up: libusb's and the allocator's one-time growth
    before, rss_before = snapshot(), memory_sample()["rss_kib"]
    run(50)

    # A closed node's client may disconnect a moment later; give stragglers time to go.
    wait_until(lambda: snapshot() == before, timeout=2.0)
    after, rss_growth = snapshot(), memory_sample()["rss_kib"] - rss_before
    assert after["python threads"] == before["python threads"]
    assert after["native threads"] == before["native threads"]
    assert after["devices"] == before["devices"] and after["channels"] == before["channels"]
    assert after["descriptors"] <= before["descriptors"] + 2, (before, after)
    if not under_address_sanitizer():
        assert rss_growth < 2048, "RSS grew by %d KiB over 200 open/close cycles" % rss_growth
    assert filed(registry) == []


# ---------------------------------------------------------------------------
# Two devices, four threads, one unplugged


def test_two_devices_from_four_threads_one_unplugged_and_replugged(registry, testbed, reports):
    for serial in ("DUO-A", "DUO-B"):
        plug(testbed, serial, channels=2).set_loopback(True)
    timeout = 0.5

    # "ANY" takes the first device the bus lists; the rest are opened by serial number.
    first_port = zeq_torvak.Serial("Torvak:ANY:S1", 115200, timeout=timeout)
    kept = first_port.port.split(":")[1]
    assert kept in ("DUO-A", "DUO-B")
    dying = "DUO-B" if kept == "DUO-A" else "DUO-A"
    emulated = {d.serial: d for d in testbed.devices()}
    ports = {(kept, 1): first_port}
    try:
        ports[(kept, 2)] = zeq_torvak.Serial("Torvak:any:S2", 115200, timeout=timeout)
        ports[(dying, 1)] = zeq_torvak.Serial("Torvak:%s:S1" % dying, 115200, timeout=timeout)
        ports[(dying, 2)] = zeq_torvak.Serial("Torvak:%s:s2" % dying, 115200, timeout=timeout)
        assert {p.port for p in ports.values()} == {"Torvak:%s:S%d" % key for key in ports}
        assert sorted(filed(registry)) == ["DUO-A", "DUO-B"]
        assert sorted(zeq_torvak.list_serial_numbers()) == ["DUO-A", "DUO-B"]
        dead_device = filed_device(registry, dying)
        dead_reader = dead_device._Device__input_scanner

        stop = threading.Event()
        unplugged_at = []
        outcome = {key: {"failures": [], "after_unplug": 0} for key in ports}

        def worker(key, port):
            rng = random.Random(repr(key))
            mine = outcome[key]
            counter = key[1] * 100
            while not stop.is_set():
                # One record per packet: a write either reaches the device whole or fails whole,
                # so nothing the device echoed is left unread when a write fails.
                data = bytes((counter + i) % 256 for i in range(rng.randint(1, 61)))
                counter += len(data)
                try:
                    port.write(data)
                except OSError as exc:
                    mine["write error"] = exc
                    mine["read after"] = timed(lambda: port.read(8))
                    return
                got = port.read(len(data))
                # Only the unplugged device may cut an exchange short.
                if got != data and (key[0] == kept or not unplugged_at):
                    mine["failures"].append((len(data), data[:8], got[:8]))
                    return
                if unplugged_at and got == data:
                    mine["after_unplug"] += 1

        workers = [threading.Thread(target=worker, args=(key, port)) for key, port in ports.items()]
        for w in workers:
            w.start()
        time.sleep(0.3)
        unplugged_at.append(time.monotonic())
        emulated[dying].unplug()
        dying_workers = [w for w, key in zip(workers, ports) if key[0] == dying]
        for w in dying_workers:
            w.join(10)
        time.sleep(0.3)  # the other device goes on meanwhile
        stop.set()
        for w in workers:
            w.join(10)
        assert not any(w.is_alive() for w in workers)

        for key, mine in outcome.items():
            assert mine["failures"] == [], key
            if key[0] == kept:
                assert "write error" not in mine, (key, mine)
                assert mine["after_unplug"] > 0, key
            else:
                assert isinstance(mine.get("write error"), USB_ERROR), (key, mine)
                data, elapsed = mine["read after"]
                assert data == b"" and elapsed >= 0.8 * timeout, (key, mine["read after"])
        assert not dead_reader.is_alive()
        assert wait_until(lambda: zeq_torvak.list_serial_numbers() == [kept])
        assert len(reports) == 1, reports
        assert reports[0].startswith(UNPLUG_REPORT % dying)

        for n in (1, 2):
            _, elapsed = timed(ports.pop((dying, n)).close)
            assert elapsed < 1.0
        assert filed(registry) == [kept]

        # Plugged in again under the same serial number, it opens as a new device.
        plug(testbed, dying, channels=2).set_loopback(True)
        ports[(dying, 1)] = zeq_torvak.Serial("Torvak:%s:S1" % dying, 115200, timeout=timeout)
        assert filed_device(registry, dying) is not dead_device
        for port in ports.values():
            payload = os.urandom(200)
            assert port.write(payload) == 200
            assert port.read(200) == payload
        assert len(reports) == 1
    finally:
        for port in ports.values():
            port.close()
    assert filed(registry) == []


# ---------------------------------------------------------------------------
# The demonstration


def test_a_replaced_output_data_still_gets_every_packet_of_a_write(registry, testbed, monkeypatch):
    """A write hands its packets to the device natively only while output_data is the
    module's own; one put in its place, on the class or on the object, sees each packet."""
    emulated = plug(testbed, "NAT-OUT", channels=1)
    emulated.set_loopback(True)
    port = zeq_torvak.Serial("Torvak:NAT-OUT:S1", timeout=2.0)
    device = port._Serial__handle._Channel__device
    own = zeq_torvak._Device.output_data
    data = bytes(i % 253 for i in range(62 * 70 + 9))  # 71 packets: more than one batch
    seen = []

    def spy(self, packet):
        seen.append(bytes(packet))
        own(self, packet)

    monkeypatch.setattr(zeq_torvak._Device, "output_data", spy)
    assert port.write(data) == len(data)
    assert port.read(len(data)) == data
    monkeypatch.undo()
    device.output_data = lambda packet: (seen.append(bytes(packet)), own(device, packet))
    assert port.write(data) == len(data)
    assert port.read(len(data)) == data
    del device.output_data
    assert port.write(data) == len(data)  # natively again: nothing seen
    assert port.read(len(data)) == data
    assert len(seen) == 2 * 71
    assert seen[:71] == seen[71:] and [p[0:2] for p in seen[:2]] == [bytes([1, 62])] * 2
    assert b"".join(p[2:2 + p[1]] for p in seen[:71]) == data
    port.close()


def test_demonstration_writes_hello_to_four_channels_of_an_emulated_device(testbed):
    wrapper = shutil.which("umockdev-wrapper")
    assert wrapper, "umockdev-wrapper is not on PATH"
    env = dict(os.environ)
    # The child sets up a bus of its own; it must not see this process's.
    env.pop("UMOCKDEV_DIR", None)
    env["LD_PRELOAD"] = ":".join(
        p for p in env.get("LD_PRELOAD", "").split(":") if p and "libumockdev-preload" not in p
    )
    here = os.path.dirname(os.path.abspath(zeq_torvak.__file__))
    env["PYTHONPATH"] = os.pathsep.join([here] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    run = subprocess.run(
        [wrapper, sys.executable, os.path.join(REPO, "tools", "demo_emulated.py")],
        env=env,
        cwd=REPO,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["EMU0001"] + ["S%d received 'Hello, World!\\n'" % n for n in range(1, 5)]
    assert run.stderr == ""
