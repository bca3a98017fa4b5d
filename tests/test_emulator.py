"""The USB device emulator itself, driven through plain libusb (ctypes).

Run under umockdev with the emulator's build on PYTHONPATH:
    PYTHONPATH=build/emulator umockdev-wrapper python3 -m pytest tests/test_emulator.py
"""

import importlib.machinery
import importlib.util
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

if os.environ.get("TORVAK_REQUIRE_EMULATOR") == "1":
    import torvak_emu  # where the emulator is required, its absence fails instead of skipping
else:
    torvak_emu = pytest.importorskip("torvak_emu", reason="emulator not built or not on PYTHONPATH")
from torvak_emu import Testbed, wait_until  # noqa: E402
from torvak_emu import libusb_ctypes as usb  # noqa: E402

_usable, _reason = Testbed.available()
pytestmark = [pytest.mark.skipif(not _usable, reason=_reason), pytest.mark.timeout(30)]

MASTER = 100


def record(channel_byte, payload):
    packet = bytes([channel_byte, len(payload)]) + payload
    return packet + bytes(64 - len(packet))


def command(target, text):
    return record(MASTER + target, text.encode() + b"\n")


@pytest.fixture(scope="module")
def testbed():
    return Testbed.get()


@pytest.fixture(scope="module")
def libusb(testbed):
    context = usb.Context()  # after the testbed: libusb looks at /sys and /dev at init
    yield context
    context.close()


@pytest.fixture(autouse=True)
def no_leftovers():
    threads_before = set(threading.enumerate())
    yield
    if _usable:
        Testbed.get().close()
    leaked = [t for t in threading.enumerate() if t not in threads_before and t.is_alive()]
    assert not leaked, "threads outlived the test: {}".format(leaked)


def find(libusb, serial):
    for ref in libusb.devices():
        if ref.descriptor.iSerialNumber:
            with ref.open() as handle:
                if handle.string(ref.descriptor.iSerialNumber) == serial:
                    return ref
    return None


def open_device(testbed, libusb, **plug_args):
    device = testbed.plug(**plug_args)
    ref = find(libusb, device.serial)
    assert ref is not None, "the plugged device is not enumerated"
    return device, ref.open()


def test_two_devices_enumerate_with_their_serial_numbers(testbed, libusb):
    first = testbed.plug(serial="EMU-A")
    second = testbed.plug(serial="EMU-B", channels=8)

    refs = libusb.devices()
    serials = {}
    for ref in refs:
        with ref.open() as handle:
            serials[handle.string(ref.descriptor.iSerialNumber)] = (ref.bus, ref.address)
            assert handle.configuration() == 1
    assert serials == {"EMU-A": (1, first.address), "EMU-B": (1, second.address)}
    assert first.address != second.address
    assert testbed.devices() == [first, second]


def test_device_without_serial_string_has_no_serial_index(testbed, libusb):
    testbed.plug(serial="HIDDEN", serial_string=False)
    (ref,) = libusb.devices()
    assert ref.descriptor.iSerialNumber == 0
    with ref.open() as handle:
        with pytest.raises(usb.UsbError) as failure:
            handle.string(3)
        assert failure.value.code == usb.ERROR_PIPE


@pytest.mark.parametrize("transfer", ["interrupt", "bulk"])
def test_master_queries_round_trip(testbed, libusb, transfer):
    bulk = transfer == "bulk"
    device, handle = open_device(testbed, libusb, serial="EMU-Q", transfer=transfer, channels=7)
    with handle:
        queries = [
            ("ChannelCount?", b"7\n"),
            ("Version?", b"Torvak-EMU 1.0"),
            ("Echo abc?", b"abc"),
            ("Echo ?", b""),
        ]
        for text, answer in queries:
            assert handle.write(command(0, text), bulk=bulk) == (0, command(0, text))
            assert handle.read(bulk=bulk) == (0, record(MASTER, answer))
        assert device.out_packets() == [command(0, text) for text, _ in queries]
        assert device.protocol_errors() == []


def test_channel_configuration_and_its_faults(testbed, libusb):
    device, handle = open_device(testbed, libusb, serial="EMU-C")
    with handle:
        for text in ("Config 115200", "OpenChannel", "FlushInput", "Config?"):
            handle.write(command(2, text))
        assert handle.read() == (0, record(MASTER + 2, b"115200\n"))
        assert device.channel_state(2) == {"open": True, "baud": 115200, "flushed": 1}
        assert device.channel_state(1) == {"open": False, "baud": None, "flushed": 0}

        device.set_fault(config="wrong_rate")
        handle.write(command(2, "Config?"))
        assert handle.read() == (0, record(MASTER + 2, b"57600\n"))
        device.set_fault(config="garbage", master="garbage")
        handle.write(command(2, "Config?"))
        handle.write(command(0, "ChannelCount?"))
        assert [handle.read()[1][:2] for _ in range(2)] == [bytes([102, 8]), bytes([100, 8])]
        device.set_fault(config="silent", master="silent")
        handle.write(command(2, "Config?"))
        handle.write(command(0, "Version?"))
        assert handle.read(timeout_ms=100)[0] == usb.ERROR_TIMEOUT

        handle.write(command(2, "CloseChannel"))
        assert device.channel_state(2)["open"] is False
        assert device.wait_out(10, timeout=1)


def test_idle_read_times_out_after_50ms_without_spinning_and_loses_nothing(testbed, libusb):
    device, handle = open_device(testbed, libusb, serial="EMU-T")
    with handle:
        cpu_before = time.process_time()
        started = time.monotonic()
        status, data = handle.read(timeout_ms=50)
        elapsed = time.monotonic() - started
        assert (status, data) == (usb.ERROR_TIMEOUT, b"")
        assert 0.045 < elapsed < 0.5

        # An idle libusb blocks in poll(); a readiness bug makes it spin on REAPURBNDELAY.
        started = time.monotonic()
        assert handle.read(timeout_ms=300)[0] == usb.ERROR_TIMEOUT
        wall = time.monotonic() - started
        assert time.process_time() - cpu_before < 0.5 * wall

        # The timed-out transfers were discarded, so the next packet goes to the next read.
        device.queue_in(record(3, b"late"))
        assert handle.read() == (0, record(3, b"late"))
        assert device.pending_in() == 0
        assert [length for _, length in device.in_log()] == [64]


def test_loopback_is_byte_exact_with_a_concurrent_reader(testbed, libusb):
    device, handle = open_device(testbed, libusb, serial="EMU-L")
    device.set_loopback(True)
    payloads = [bytes((i * 7 + k) % 256 for k in range(1 + i % 62)) for i in range(300)]
    expected = b"".join(payloads)
    received = bytearray()
    records = []
    failures = []

    def reader():
        while len(received) < len(expected):
            status, packet = handle.read(timeout_ms=50)
            if status == usb.ERROR_TIMEOUT:
                continue
            if status != 0 or packet[0] != 1:
                failures.append((status, packet))
                return
            records.append(packet[1])
            received.extend(packet[2 : 2 + packet[1]])

    with handle:
        thread = threading.Thread(target=reader)
        thread.start()
        for payload in payloads:
            assert handle.write(record(1, payload))[0] == 0
        thread.join(10)
    assert not thread.is_alive() and not failures
    assert bytes(received) == expected
    assert device.dropped() == {}  # more than the buffer holds, but read on: nothing lost
    # A 62-byte record would leave no end-of-records byte in a 64-byte packet.
    assert max(records) == 61


def test_unplug_fails_the_pending_read_and_replug_comes_back_on_a_new_address(testbed, libusb):
    device, handle = open_device(testbed, libusb, serial="EMU-U")
    results = []
    with handle:
        thread = threading.Thread(target=lambda: results.append(handle.read(timeout_ms=5000)))
        thread.start()
        time.sleep(0.1)
        started = time.monotonic()
        device.unplug()
        thread.join(2)
        assert results == [(usb.ERROR_NO_DEVICE, b"")]
        assert time.monotonic() - started < 1
        assert handle.write(command(0, "Version?")) == (usb.ERROR_NO_DEVICE, b"")
        assert not device.connected and testbed.devices() == []
        assert libusb.devices() == []

    again, handle = open_device(testbed, libusb, serial="EMU-U")
    with handle:
        assert again.address != device.address
        handle.write(command(0, "ChannelCount?"))
        assert handle.read() == (0, record(MASTER, b"4\n"))
    assert wait_until(lambda: again.open_handles == 0)


def test_addresses_wrap_around_once_a_bus_has_given_out_all_of_them(testbed, libusb):
    # 126 addresses per bus. The first device to come back to an address sits on another
    # hub port than the device that had it before.
    holder = testbed.plug(serial="EMU-W0", bus=7)
    first = testbed.plug(serial="EMU-W1", bus=7)
    first.unplug()
    holder.unplug()
    for n in range(125):
        testbed.plug(serial="EMU-W{}".format(n + 2), bus=7).unplug()
    again, handle = open_device(testbed, libusb, serial="EMU-W-again", bus=7)
    with handle:
        assert again.address == first.address
        handle.write(command(0, "ChannelCount?"))
        assert handle.read() == (0, record(MASTER, b"4\n"))


def test_unplug_after_out_fails_the_nth_write(testbed, libusb):
    device, handle = open_device(testbed, libusb, serial="EMU-F")
    with handle:
        device.unplug_after_out(2)
        assert handle.write(command(0, "Version?"))[0] == 0
        assert handle.write(command(0, "Version?"))[0] == usb.ERROR_NO_DEVICE
        assert len(device.out_packets()) == 2
        assert wait_until(lambda: libusb.devices() == [])


def test_kernel_driver_must_be_detached_before_claiming(testbed, libusb):
    device, handle = open_device(testbed, libusb, serial="EMU-K", kernel_driver=True)
    with handle:
        assert handle.kernel_driver_active()
        with pytest.raises(usb.UsbError) as failure:
            handle.claim()
        assert failure.value.code == usb.ERROR_BUSY
        handle.detach_kernel_driver()
        assert device.kernel_driver_detached and not handle.kernel_driver_active()
        handle.claim()
        assert device.claimed
        handle.release()
    assert not device.claimed


# Children that claim the device and have transfers in flight when they are killed.
# "usbfs": bare ioctls (claim, submit an IN URB, then a blocking reap that no data ends);
# "module": the module's own port, writing and reading without pause.
KILLED_CHILDREN = {
    "usbfs": r"""
import ctypes, os, struct, sys
libc = ctypes.CDLL(None)
libc.ioctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_void_p]
fd, data = os.open(sys.argv[1], os.O_RDWR), ctypes.create_string_buffer(64)
assert libc.ioctl(fd, 0x8004550F, ctypes.addressof(ctypes.c_uint(0))) == 0  # CLAIMINTERFACE 0
urb = ctypes.create_string_buffer(struct.pack("=BBxxiIxxxxQiiiiiIQ", 1, 0x81, 0, 0, ctypes.addressof(data),
                                              64, 0, 0, 0, 0, 0, 0))  # interrupt IN, 64 bytes
assert libc.ioctl(fd, 0x8038550A, ctypes.addressof(urb)) == 0  # SUBMITURB
print("busy", flush=True)
libc.ioctl(fd, 0x4008550C, ctypes.addressof(ctypes.c_void_p()))  # REAPURB
""",
    "module": r"""
import sys, threading, zeq_torvak
port = zeq_torvak.Serial("Torvak:%s:s1" % sys.argv[2], 115200, timeout=0.05)
threading.Thread(target=lambda: [port.write(b"x" * 4000) for _ in iter(int, 1)], daemon=True).start()
print("busy", flush=True)
while True:
    port.read(4000)
""",
}


@pytest.mark.parametrize("child", sorted(KILLED_CHILDREN))
def test_a_claim_ends_with_the_process_killed_mid_transfer(testbed, libusb, child_env, child):
    device = testbed.plug(serial="EMU-KILL-" + child.upper())
    ref = find(libusb, device.serial)
    for _ in range(3):
        process = subprocess.Popen([sys.executable, "-c", KILLED_CHILDREN[child], device.devnode, device.serial],
                                   env=child_env, stdout=subprocess.PIPE)
        try:
            assert process.stdout.readline() == b"busy\n" and device.claimed
            time.sleep(0.2)
        finally:
            process.send_signal(signal.SIGKILL)
            process.wait()
        # Like the kernel, the emulator lets go as the process's descriptors close.
        assert not device.claimed
        with ref.open() as handle:
            handle.claim()
            while handle.read(timeout_ms=20)[0] == 0:  # what the killed child left unread
                pass
            assert handle.write(command(0, "ChannelCount?"))[0] == 0
            assert handle.read() == (0, record(MASTER, b"4\n"))
    assert wait_until(lambda: device.open_handles == 0)


def test_pacing_spaces_in_packets_by_the_set_interval(testbed, libusb):
    device, handle = open_device(testbed, libusb, serial="EMU-P")
    device.set_pace_ms(2)
    with handle:
        for _ in range(10):
            device.queue_in(record(1, b"x"))
        for _ in range(10):
            assert handle.read()[0] == 0
    times = [t for t, _ in device.in_log()]
    assert min(b - a for a, b in zip(times, times[1:])) >= 0.0019


def _drain(handle, channel):
    """Reads IN until the device has nothing more; the data of `channel`, in order."""
    data = b""
    while True:
        status, packet = handle.read(timeout_ms=100)
        if status == usb.ERROR_TIMEOUT:
            return data
        assert status == 0 and packet[0] == channel
        data += packet[2:2 + packet[1]]


def _modbus_read_request(first, count):
    frame = bytes([1, 3, first >> 8, first & 0xFF, 0, count])
    return frame + _crc16_modbus(frame).to_bytes(2, "little")


def _crc16_modbus(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


class TestBufferTowardTheHost:
    SIZE = torvak_emu.CHANNEL_BUFFER_BYTES

    def test_looped_back_data_waits_for_the_host_then_pushes_the_oldest_bytes_out(self, testbed, libusb):
        assert self.SIZE == torvak_emu._native.CHANNEL_BUFFER_BYTES == 4096
        device, handle = open_device(testbed, libusb, serial="EMU-HOLD")
        device.set_loopback(True)
        payloads = [bytes((i * 5 + k) % 256 for k in range(62)) for i in range(80)]
        fits = self.SIZE // 62
        with handle:
            took = []
            for payload in payloads:
                started = time.monotonic()
                assert handle.write(record(2, payload))[0] == 0
                took.append(time.monotonic() - started)
            # Past the buffer each packet waited for the host to read, in vain.
            assert min(took[fits:]) >= 0.045
            sent = b"".join(payloads)
            assert device.buffered() == {2: self.SIZE}
            assert device.dropped() == {2: len(sent) - self.SIZE}
            assert _drain(handle, 2) == sent[-self.SIZE:]
            assert device.buffered() == {}

    def test_what_a_peer_sends_past_the_buffer_pushes_the_oldest_bytes_out(self, testbed, libusb):
        device, handle = open_device(testbed, libusb, serial="EMU-DROP")
        registers = {r: r * 7 + 1 for r in range(100)}
        device.set_peer(1, "modbus-slave", address=1, registers=registers)
        answers = b""
        with handle:
            for first in range(40):
                assert handle.write(record(1, _modbus_read_request(first, 60)))[0] == 0
                answer = bytes([1, 3, 120]) + b"".join(registers[r].to_bytes(2, "big") for r in range(first, first + 60))
                answers += answer + _crc16_modbus(answer).to_bytes(2, "little")
            lost = len(answers) - self.SIZE
            assert device.buffered() == {1: self.SIZE} and device.dropped() == {1: lost}
            assert _drain(handle, 1) == answers[lost:]

        tool = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools", "with-emulated-device")
        loader = importlib.machinery.SourceFileLoader("with_emulated_device", tool)
        module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
        loader.exec_module(module)
        assert module.traffic_summary(device)[-1] == (
            "EMU-DROP S1 dropped %d bytes for the host: its buffer (4096 bytes) was full" % lost)


# Listens for uevents on two netlink sockets, as a libusb built without udev does (the
# kernel's group, with credentials) and as libudev's monitor does (udev's group); prints one
# line per message until both have told of a removal or 20 s have passed.
UEVENT_LISTENER = r"""
import json, select, socket, struct, time
NETLINK_KOBJECT_UEVENT = 15
sockets, removed = {}, set()
for name, group in (("kernel", 1), ("udev", 2)):
    s = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, NETLINK_KOBJECT_UEVENT)
    s.bind((0, group))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
    sockets[s] = name
print("ready", flush=True)
deadline = time.monotonic() + 20
while time.monotonic() < deadline:
    for s in select.select(list(sockets), [], [], 0.5)[0]:
        data, ancillary, flags, sender = s.recvmsg(2048, socket.CMSG_SPACE(12))
        uids = [struct.unpack("iII", d[:12])[1] for level, kind, d in ancillary
                if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS]
        strings = data.split(b"\0")
        print(json.dumps({"socket": sockets[s], "sender": list(sender) if sender else None, "uids": uids,
                          "truncated": bool(flags & socket.MSG_TRUNC), "head": strings[0].decode("latin-1"),
                          "properties": [p.decode("latin-1") for p in strings[1:] if b"=" in p]}), flush=True)
        if b"ACTION=remove" in strings:
            removed.add(s)
    if len(removed) == len(sockets):
        break
"""


def test_uevents_reach_a_kernel_group_listener_in_the_kernels_form(testbed):
    import json

    env = dict(os.environ, UMOCKDEV_DIR=testbed.root_dir)  # LD_PRELOAD as Testbed.get() left it
    child = subprocess.Popen([sys.executable, "-c", UEVENT_LISTENER], env=env, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        device = testbed.plug(serial="EMU-UEVENT")
        device.unplug()
        messages = [json.loads(line) for line in child.stdout]
    finally:
        child.kill()
        child.wait(10)
    # (The first device on a bus brings its root hub's "add" along.)
    ours = [m for m in messages if m["head"].endswith("@" + device.syspath.split("/sys", 1)[1]) or
            (m["head"] == "libudev" and "DEVPATH=" + device.syspath.split("/sys", 1)[1] in m["properties"])]
    kernel = [m for m in ours if m["socket"] == "kernel"]
    assert [m["head"].split("@")[0] for m in kernel] == ["add", "remove"], messages
    for message in kernel:
        # What libusb checks before it believes a uevent, then what it reads from one.
        assert message["sender"] == [0, 1] and message["uids"] == [0] and not message["truncated"]
        properties = dict(p.split("=", 1) for p in message["properties"])
        assert message["head"] == "{}@{}".format(properties["ACTION"], properties["DEVPATH"])
        assert properties["SUBSYSTEM"] == "usb" and properties["DEVTYPE"] == "usb_device"
        assert (int(properties["BUSNUM"]), int(properties["DEVNUM"])) == (device.bus, device.address)
    # libudev's monitor still gets udev's form, from udev's group.
    udev = [m for m in ours if m["socket"] == "udev"]
    assert [m["head"] for m in udev] == ["libudev", "libudev"] and all(m["sender"][1] == 2 for m in udev)
