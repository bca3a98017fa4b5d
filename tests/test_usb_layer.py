"""The USB access layer over libusb, driven through the module's Python face against
emulated devices: search, serial numbers, transfers and time-outs, concurrency, unplug,
release, and refusal of bad input."""
import array
import os
import re
import select
import subprocess
import sys
import threading
import time
import types

import pytest

import zeq_torvak
from waiting import wait_until

VID, PID = 0x483, 0x5750
EP_IN, EP_OUT = 0x81, 0x01
core = zeq_torvak._usb_core

# The thread method also ends a test stuck in native code, where a signal cannot reach it.
pytestmark = pytest.mark.timeout(30)


def find(**criteria):
    return core.find(idVendor=VID, idProduct=PID, backend=zeq_torvak._backend, **criteria)


def plug(testbed, serial, **options):
    """Plugs a device and waits until libusb lists it."""
    emulated = testbed.plug(serial=serial, **options)
    if options.get("serial_string", True):
        assert wait_until(lambda: find(serial_number=serial) is not None), "libusb never listed " + serial
    return emulated


def handle_of(emulated):
    return find(serial_number=emulated.serial)


def command(text, target=0):
    body = (text + "\n").encode()
    return bytes([100 + target, len(body)]) + body + bytes(62 - len(body))


def in_thread(call):
    """Runs call() on a new thread; returns (thread, outcome dict with 'result' or 'error')."""
    outcome = {}
    started = threading.Event()

    def body():
        started.set()
        try:
            outcome["result"] = call()
        except BaseException as error:  # handed to the test
            outcome["error"] = error

    thread = threading.Thread(target=body)
    thread.start()
    started.wait()
    return thread, outcome


class TestSearch:
    def test_two_devices_all_and_by_serial(self, testbed):
        plug(testbed, "USB-A")
        b = plug(testbed, "USB-B", transfer="bulk")

        assert wait_until(lambda: len(find(find_all=True)) == 2)
        assert sorted(h.serial_number for h in find(find_all=True)) == ["USB-A", "USB-B"]

        only_b = find(serial_number="USB-B")
        assert isinstance(only_b, core.Device)
        assert (only_b.serial_number, only_b.bus, only_b.address) == ("USB-B", b.bus, b.address)
        assert (only_b.idVendor, only_b.idProduct) == (VID, PID)
        assert find(find_all=True, serial_number="USB-A")[0].serial_number == "USB-A"
        assert find(serial_number="USB-C") is None
        assert find(find_all=True, serial_number="USB-C") == []
        assert find().serial_number in ("USB-A", "USB-B")

    def test_device_without_serial_string(self, testbed):
        testbed.plug(serial="USB-NOSTR", serial_string=False)
        assert wait_until(lambda: len(find(find_all=True)) == 1)
        assert find(find_all=True)[0].serial_number is None
        assert find(serial_number="USB-NOSTR") is None
        assert find(serial_number="") is None

    def test_serial_beyond_ascii_round_trips(self, testbed):
        serial = "Zähler-序列-\U0001F600"  # a surrogate pair in the descriptor's UTF-16
        plug(testbed, serial)
        assert find(serial_number=serial).serial_number == serial

    def test_search_arguments_are_checked(self, testbed):
        with pytest.raises(TypeError):
            core.find(idVendor=True, idProduct=PID)
        with pytest.raises(ValueError):
            core.find(idVendor=0x10000, idProduct=PID)
        with pytest.raises(TypeError):
            find(serial_number=b"USB-A")
        with pytest.raises(TypeError):
            core.find(idVendor=VID, idProduct=PID, backend=object())
        with pytest.raises(TypeError):
            core.find(VID, PID)  # keywords only: the host package's first parameter is find_all

    def test_backend_and_library(self):
        back = zeq_torvak._usb_back.get_backend(find_library=zeq_torvak._libusb.find_library)
        assert back is zeq_torvak._backend
        path = zeq_torvak._libusb.find_library()
        # libusb-1.0.so.0, or in a repaired wheel the copy auditwheel named libusb-1-<hash>.0.so.0
        assert re.match(r"libusb-1(\.0|-[0-9a-f]+\.0)\.so", os.path.basename(path)), path


class TestTransfers:
    @pytest.mark.parametrize("transfer", ["interrupt", "bulk"])
    def test_command_round_trip_claims_on_first_transfer(self, testbed, transfer):
        dev = plug(testbed, "USB-RT-" + transfer, transfer=transfer, channels=7)
        h = handle_of(dev)
        assert not dev.claimed
        assert h.write(endpoint=EP_OUT, data=command("ChannelCount?"), timeout=100) == 64
        assert dev.claimed
        reply = h.read(endpoint=EP_IN, size_or_buffer=64, timeout=1000)
        assert isinstance(reply, array.array) and reply.typecode == "B"
        assert bytes(reply[:4]) == bytes([100, 2]) + b"7\n"
        assert dev.out_packets() == [command("ChannelCount?")]

    def test_short_and_empty_packets_are_results(self, testbed):
        dev = plug(testbed, "USB-SHORT")
        h = handle_of(dev)
        dev.queue_in(b"\x05\x06\x07")
        assert h.read(EP_IN, 64, 1000) == array.array("B", [5, 6, 7])
        dev.queue_in(b"")
        assert h.read(EP_IN, 64, 1000) == array.array("B")
        dev.queue_in(b"\x09\x08")
        buffer = bytearray(64)
        assert h.read(EP_IN, buffer, 1000) == 2
        assert buffer[:3] == b"\x09\x08\x00"

    def test_idle_read_times_out_and_endpoint_still_works(self, testbed):
        dev = plug(testbed, "USB-IDLE")
        h = handle_of(dev)
        started = time.monotonic()
        with pytest.raises(core.USBTimeoutError) as info:
            h.read(EP_IN, 64, 50)
        elapsed = time.monotonic() - started
        assert 0.04 <= elapsed < 1.0
        assert isinstance(info.value, core.USBError) and isinstance(info.value, IOError)
        assert str(info.value).startswith("read: ") and "timed out" in str(info.value)

        dev.queue_in(b"\x01\x01A")
        assert bytes(h.read(EP_IN, 64, 1000)) == b"\x01\x01A"
        assert h.write(EP_OUT, list(command("Version?")), 100) == 64
        assert dev.out_packets() == [command("Version?")]

    def test_blocking_read_lets_other_threads_run(self, testbed):
        dev = plug(testbed, "USB-GIL")
        h = handle_of(dev)
        thread, outcome = in_thread(lambda: h.read(EP_IN, 64, 400))
        longest_gap, last = 0.0, time.monotonic()
        while thread.is_alive():
            now = time.monotonic()
            longest_gap, last = max(longest_gap, now - last), now
        thread.join()
        assert isinstance(outcome.get("error"), core.USBTimeoutError)
        assert longest_gap < 0.2  # a read holding the GIL would stall this loop for 400 ms


class TestConcurrency:
    def test_write_while_read_pending(self, testbed):
        dev = plug(testbed, "USB-CONC", channels=3)
        h = handle_of(dev)
        reader, outcome = in_thread(lambda: h.read(EP_IN, 64, 5000))
        time.sleep(0.1)  # let the read reach the bus
        started = time.monotonic()
        for _ in range(3):
            assert h.write(EP_OUT, command("ChannelCount?"), 100) == 64
        assert time.monotonic() - started < 1.0
        reader.join(5)
        assert not reader.is_alive()
        assert bytes(outcome["result"][:4]) == bytes([100, 2]) + b"3\n"
        assert dev.out_packets() == [command("ChannelCount?")] * 3

    def test_release_cancels_a_pending_read(self, testbed):
        dev = plug(testbed, "USB-CANCEL")
        h = handle_of(dev)
        h.write(EP_OUT, command("Version?"), 100)
        assert h.read(EP_IN, 64, 1000)[0] == 100
        reader, outcome = in_thread(lambda: h.read(EP_IN, 64, 0))  # no time limit
        time.sleep(0.1)
        started = time.monotonic()
        zeq_torvak._close_usb_device(h)
        assert time.monotonic() - started < 1.0
        reader.join(2)
        assert not reader.is_alive()
        error = outcome.get("error")
        assert isinstance(error, core.USBError) and not isinstance(error, core.USBTimeoutError)
        assert wait_until(lambda: dev.open_handles == 0)


class TestUnplug:
    def test_pending_and_later_transfers_fail(self, testbed):
        dev = plug(testbed, "USB-GONE")
        h = handle_of(dev)
        reader, outcome = in_thread(lambda: h.read(EP_IN, 64, 5000))
        time.sleep(0.1)
        started = time.monotonic()
        dev.unplug()
        reader.join(3)
        assert not reader.is_alive() and time.monotonic() - started < 2.0
        for error in [outcome.get("error"), _raised(lambda: h.write(EP_OUT, command("Version?"), 100)),
                      _raised(lambda: h.read(EP_IN, 64, 50))]:
            assert isinstance(error, core.USBError) and not isinstance(error, core.USBTimeoutError), error
        assert h.serial_number == "USB-GONE"
        zeq_torvak._close_usb_device(h)  # nothing left to release: no error


# Lists and opens what it lists, in a loop; answers each line of serial numbers it is
# sent with the seconds it took to list them all and open what it listed. Two copies run
# at once, so their uevent monitors get the same descriptor number.
REPLUG_CHILD = r"""
import select, sys, time, zeq_torvak
wanted = None
zeq_torvak.list_serial_numbers()
print("ready", flush=True)
while True:
    if select.select([sys.stdin], [], [], 0)[0]:
        line = sys.stdin.readline()
        if not line:
            break
        wanted, since = set(line.split()), time.monotonic()
    try:
        listed = set(zeq_torvak.list_serial_numbers())
        for name in sorted(listed):
            zeq_torvak.Serial("Torvak:%s:s1" % name, 115200, timeout=0.05).close()
        if wanted and wanted <= listed:
            print("%.3f" % (time.monotonic() - since), flush=True)
            wanted = None
    except Exception:  # an unplug raced the call, or the other process holds the device
        pass
    time.sleep(0.005)
"""


class TestReplugInALongLivedProcess:
    def test_every_replug_and_a_new_device_are_seen(self, testbed, child_env):
        dev = plug(testbed, "USB-REPLUG")
        children = []

        def start():  # returns once the child's libusb is up
            children.append(subprocess.Popen([sys.executable, "-c", REPLUG_CHILD],
                                             env=child_env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True))
            assert children[-1].stdout.readline() == "ready\n"
            return children[-1]

        def seen(serials):
            """Seconds until the watcher listed and opened them all; None past 2.5 s."""
            watcher.stdin.write(" ".join(serials) + "\n")
            watcher.stdin.flush()
            return float(watcher.stdout.readline()) if select.select([watcher.stdout], [], [], 2.5)[0] else None

        try:
            watcher = start()
            start()  # the second process, whose uevent monitor comes second
            times = []
            for cycle in range(8):
                time.sleep(0.1 + 0.1 * (cycle % 3))  # lists and opens race the unplug
                dev.unplug()
                time.sleep(0.05 * (cycle % 3))
                dev = testbed.plug(serial=dev.serial)
                times.append(seen([dev.serial]))
                if times[-1] is None:
                    break
            assert len(times) == 8 and max(times) < 2.0, times
            later = seen([dev.serial, testbed.plug(serial="USB-REPLUG-2").serial])
            assert later is not None and later < 2.0
        finally:
            for child in children:
                child.stdin.close()
            for child in children:
                child.wait(10)


def _raised(call):
    try:
        call()
    except Exception as error:
        return error
    return None


class TestRelease:
    def test_release_closes_and_keeps_the_description(self, testbed):
        dev = plug(testbed, "USB-REL")
        h = handle_of(dev)
        h.write(EP_OUT, command("Version?"), 100)
        assert dev.claimed and dev.open_handles == 1

        zeq_torvak._close_usb_device(h)
        assert wait_until(lambda: not dev.claimed and dev.open_handles == 0)  # the emulator learns it late
        zeq_torvak._close_usb_device(h)  # a second release does nothing
        assert h.get_active_configuration().interfaces()[0].endpoints()[0].bEndpointAddress == EP_IN
        dev.unplug()
        assert h.serial_number == "USB-REL"  # cached: no bus, no device needed

        for call in (lambda: h.read(EP_IN, 64, 50), lambda: h.write(EP_OUT, b"\0" * 64, 50),
                     lambda: h.is_kernel_driver_active(0)):
            error = _raised(call)
            assert isinstance(error, core.USBError) and "released" in str(error)

    def test_serial_readable_when_released_before_first_use(self, testbed):
        dev = plug(testbed, "USB-LATE")
        h = next(x for x in find(find_all=True) if (x.bus, x.address) == (dev.bus, dev.address))
        zeq_torvak._close_usb_device(h)
        assert h.serial_number == "USB-LATE"
        assert wait_until(lambda: dev.open_handles == 0)

    def test_foreign_objects_are_ignored(self):
        fake = types.SimpleNamespace(serial_number="X", read=None)
        assert zeq_torvak._close_usb_device(fake) is None
        assert zeq_torvak._close_usb_device(None) is None


class TestBadInput:
    def test_refused_before_any_traffic(self, testbed):
        dev = plug(testbed, "USB-BAD")
        h = handle_of(dev)
        packet = command("Version?")
        refusals = [
            (ValueError, lambda: h.read(0x82, 64, 50)),           # no such endpoint
            (ValueError, lambda: h.read(EP_OUT, 64, 50)),         # OUT endpoint: would send the buffer
            (ValueError, lambda: h.write(EP_IN, packet, 50)),
            (ValueError, lambda: h.read(EP_IN, 64, -1)),
            (ValueError, lambda: h.write(EP_OUT, packet, -5)),
            (ValueError, lambda: h.read(EP_IN, -1, 50)),
            (TypeError, lambda: h.read(EP_IN, 64, 0.5)),
            (TypeError, lambda: h.read(True, 64, 50)),
            (TypeError, lambda: h.read(EP_IN, b"read-only", 50)),
            (TypeError, lambda: h.write(EP_OUT, "Version?", 50)),
            (TypeError, lambda: h.write(EP_OUT, 3.5, 50)),
            (TypeError, lambda: h.write(EP_OUT, [1, "2"], 50)),
            (ValueError, lambda: h.write(EP_OUT, [0, 256], 50)),
        ]
        for kind, call in refusals:
            with pytest.raises(kind):
                call()
        assert dev.out_packets() == [] and not dev.claimed
        assert h.write(EP_OUT, memoryview(packet), 100) == 64
        assert dev.out_packets() == [packet]


class TestKernelDriver:
    def test_active_driver_is_detached(self, testbed):
        dev = plug(testbed, "USB-KD", kernel_driver=True)
        h = handle_of(dev)
        assert h.is_kernel_driver_active(0) is True
        h.detach_kernel_driver(0)
        assert dev.kernel_driver_detached
        assert h.is_kernel_driver_active(0) is False

    def test_no_driver(self, testbed):
        h = handle_of(plug(testbed, "USB-NOKD"))
        assert h.is_kernel_driver_active(interface=0) is False
