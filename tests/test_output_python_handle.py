"""A port's output queue on a device reached through a Python handle: drained by a writer
thread of the device's, packet by packet, with the same time limits, purge and failures
as over the module's own handle, and ended when the device closes."""
import errno
import os
import threading
import time

import pytest
from serial.serialutil import SerialException, SerialTimeoutException

import zeq_torvak
from fake_usb import FakeHandle
from torvak_serial import native, output

PORT = "torvak://FAKE0001/1"


class StallingHandle(FakeHandle):
    """Takes data packets only while `flowing` is set (a device that has stopped reading),
    each after `pace` seconds."""

    def __init__(self):
        super().__init__()
        self.loopback = False
        self.flowing = threading.Event()
        self.flowing.set()
        self.pace = 0.0

    def write(self, endpoint, data, timeout):
        if data[0] < 100:  # commands (opening, rates) always go through
            self.flowing.wait()
            time.sleep(self.pace)
        return super().write(endpoint, data, timeout)


def writer_threads():
    """The native writer threads of this process, by the name they give themselves."""
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open("/proc/self/task/{}/comm".format(task)) as f:
                names.append(f.read().strip())
        except OSError:
            pass  # ended meanwhile
    return names.count("torvak-writer")


def open_output(bench, handle):
    dev, _, registry = bench.device(handle)
    module_channel = dev.open_channel(1, 9600, 0.5)
    port = zeq_torvak.Serial.__new__(zeq_torvak.Serial)  # as torvak_serial opens one
    setattr(port, "_Serial__handle", module_channel)
    queue = output.output_for(port, native.receive_buffer(port), PORT, 9600)
    return queue, module_channel, registry


def payloads(handle):
    return b"".join(p[2:2 + p[1]] for p in handle.data_packets(1))


def test_writes_drain_in_order_and_closing_the_device_ends_the_writer(bench):
    handle = StallingHandle()
    before = writer_threads()
    queue, channel, registry = open_output(bench, handle)
    assert isinstance(queue, output.QueuedOutput)
    data = os.urandom(10000)
    for at in range(0, len(data), 3000):
        assert queue.write(data[at:at + 3000], None) == len(data[at:at + 3000])
    queue.flush()
    assert queue.waiting() == 0
    assert payloads(handle) == data
    assert all(len(p) == 64 for p in handle.out)  # one packet per write, as the module's channel writes
    assert writer_threads() == before + 1
    assert queue.close() is None
    channel.close()
    assert registry.closed  # the last channel closed the device, which ends its writer
    assert writer_threads() == before


def test_a_stalled_device_times_the_write_out_and_a_purge_strands_little(bench, monkeypatch):
    handle = StallingHandle()
    queue, channel, _ = open_output(bench, handle)
    handle.flowing.clear()
    started = time.monotonic()
    with pytest.raises(SerialTimeoutException):
        queue.write(bytes(8192), 0.5)
    assert 0.5 <= time.monotonic() - started < 0.55
    assert queue.write(b"more", 0) == 0  # full: a non-blocking write takes nothing
    queue.reset()
    assert 0 < queue.waiting() <= 2048  # what is in flight goes on; the rest is dropped
    monkeypatch.setattr(output, "CLOSE_PATIENCE", 0.2)
    started = time.monotonic()
    assert queue.close() is None
    assert time.monotonic() - started < 1.0
    # The writer is still in the handle's write: closing the device waits for that packet,
    # and writes nothing after it.
    threading.Timer(0.3, handle.flowing.set).start()
    channel.close()
    sent = len(handle.data_packets(1))
    time.sleep(0.1)
    assert len(handle.data_packets(1)) == sent <= 32
    assert writer_threads() == 0


def test_a_timed_out_write_counts_exactly_what_it_handed_over(bench):
    # The queue takes a waiting writer's bytes as room comes back, on the writer thread:
    # what the time-out reports must be what reaches the device, no more, no less.
    handle = StallingHandle()
    handle.pace = 0.001
    queue, channel, _ = open_output(bench, handle)
    data = os.urandom(40000)
    with pytest.raises(SerialTimeoutException) as caught:
        queue.write(data, 0.3)
    taken = int(str(caught.value).split(": ")[1].split(" of ")[0])
    assert 4096 < taken < len(data)
    queue.flush()
    assert payloads(handle) == data[:taken]
    queue.close()
    channel.close()


@pytest.mark.parametrize("error, reason", [
    (zeq_torvak._usb_core.USBError(errno.ENODEV, "No such device"), "the device is gone"),
    (zeq_torvak._usb_core.USBError("Pipe error"), "USB error -1"),
])
def test_a_failing_handle_is_reported_with_the_bytes_lost(bench, error, reason):
    handle = StallingHandle()
    queue, channel, _ = open_output(bench, handle)
    handle.write_error = error
    queue.write(bytes(1000), None)
    with pytest.raises(SerialException) as caught:
        queue.flush()
    assert str(caught.value).startswith("{}: {}".format(PORT, reason))
    assert str(caught.value).endswith(": 1000 bytes written were not delivered")
    handle.write_error = None
    queue.write(b"after", None)  # the queue goes on after the report
    queue.flush()
    assert payloads(handle) == b"after"
    queue.close()
    channel.close()
