"""A scriptable stand-in for the device behind the pyusb-style handle interface.

`FakeHandle` models the firmware closely enough for the device and channel code:
it answers the master queries, confirms baud rates, loops channel data back, and
lets a test queue raw IN packets, fail transfers or pull the plug. Every OUT packet
is recorded. `Bench` makes devices on fake handles and closes whatever a test left
open, so no reader thread outlives its test.
"""
import collections
import threading
import time
from array import array

import zeq_torvak

PACKET = 64
SERIAL = "FAKE0001"
NO_DEVICE = "No such device (it may have been disconnected)"


class Endpoint:
    def __init__(self, address, size=PACKET):
        self.bEndpointAddress = address
        self.wMaxPacketSize = size


class _Interface:
    def __init__(self, endpoints):
        self._endpoints = endpoints

    def endpoints(self):
        return list(self._endpoints)


class _Configuration:
    def __init__(self, endpoints):
        self._interface = _Interface(endpoints)

    def interfaces(self):
        return [self._interface]


def record(channel_byte, payload, pad=True):
    """One record as the device sends it, zero-filled to a whole packet unless pad is False."""
    payload = bytes(payload)
    packet = bytes([channel_byte, len(payload)]) + payload
    return packet + bytes(PACKET - len(packet)) if pad else packet


class FakeHandle:
    """The device's firmware behind a handle. Knobs may be changed at any time."""

    def __init__(self, serial_number=SERIAL, channel_count=4):
        self.serial_number = serial_number
        self.channel_count = channel_count  # None: "ChannelCount?" goes unanswered
        self.version = "TVK-2.7.1"
        self.answer_master = True           # False: no master query is answered
        self.config_reply = "rate"          # "rate" | "silent" | "garbage" | an int to report
        self.loopback = True                # data packets come back on the same channel
        self.reply_delay = 0.0              # seconds before a reply can be read
        self.on_command = None              # hook(target, text); True suppresses the default answer
        self.write_error = None             # raised by every write while set
        self.write_result = None            # count reported by writes instead of the real one
        self.kernel_driver = False          # True | False | "unsupported"
        self.detach_error = None            # raised by detach_kernel_driver
        self.endpoints = [Endpoint(0x81), Endpoint(0x01)]

        self.detached = []                  # interfaces detached
        self.out = []                       # every OUT packet written, as bytes
        self.out_endpoints = []             # endpoint of each write
        self.commands = []                  # (target channel, text without terminator)
        self.write_times = []               # time.monotonic() of each write
        self.read_args = None               # (endpoint, size_or_buffer, timeout) of the last read
        self.rates = {}                     # channel -> rate text last configured
        self.open_channels = set()

        self._cond = threading.Condition()
        self._in = collections.deque()      # (ready time, packet bytes or exception)
        self._reads_begun = 0
        self._reads_at_last_pop = 0
        self._unplugged = False

    # -- the pyusb-style interface --------------------------------------------------

    def is_kernel_driver_active(self, interface):
        if self.kernel_driver == "unsupported":
            raise NotImplementedError("kernel driver query")
        return bool(self.kernel_driver)

    def detach_kernel_driver(self, interface):
        if self.detach_error is not None:
            raise self.detach_error
        self.detached.append(interface)

    def get_active_configuration(self):
        return _Configuration(self.endpoints)

    def read(self, endpoint, size_or_buffer, timeout):
        with self._cond:
            self.read_args = (endpoint, size_or_buffer, timeout)
            self._reads_begun += 1
            self._cond.notify_all()
            deadline = time.monotonic() + timeout / 1000.0
            while True:
                if self._unplugged:
                    raise zeq_torvak._usb_core.USBError(NO_DEVICE)
                now = time.monotonic()
                if self._in and self._in[0][0] <= now:
                    item = self._in.popleft()[1]
                    self._reads_at_last_pop = self._reads_begun
                    break
                if now >= deadline:
                    raise zeq_torvak._usb_core.USBTimeoutError("Operation timed out")
                wake = deadline if not self._in else min(deadline, self._in[0][0])
                self._cond.wait(wake - now)
        if isinstance(item, BaseException):
            raise item
        return array("B", item[:size_or_buffer])

    def write(self, endpoint, data, timeout):
        with self._cond:
            if self._unplugged:
                raise zeq_torvak._usb_core.USBError(NO_DEVICE)
        if self.write_error is not None:
            raise self.write_error
        packet = bytes(data)
        with self._cond:
            self.out.append(packet)
            self.out_endpoints.append(endpoint)
            self.write_times.append(time.monotonic())
        self._firmware(packet)
        return len(packet) if self.write_result is None else self.write_result

    # -- what a test scripts ----------------------------------------------------------

    def feed(self, packet, delay=0.0):
        """Queues one IN packet exactly as given (or an exception for that read to raise)."""
        with self._cond:
            self._in.append((time.monotonic() + delay, packet))
            self._cond.notify_all()

    def feed_data(self, channel, payload):
        self.feed(record(channel, payload))

    def drain(self, timeout=3.0):
        """Waits until every queued packet was read and routed (the reader came back for more)."""
        with self._cond:
            return self._cond.wait_for(
                lambda: not self._in and self._reads_begun > self._reads_at_last_pop, timeout)

    def unplug(self):
        with self._cond:
            self._unplugged = True
            self._cond.notify_all()

    def data_packets(self, channel):
        return [p for p in self.out if p[0] == channel]

    def texts(self, target):
        return [text for t, text in self.commands if t == target]

    # -- the firmware -------------------------------------------------------------------

    def _reply(self, channel_byte, payload):
        if isinstance(payload, str):
            payload = payload.encode("utf-8")
        self.feed(record(channel_byte, payload), self.reply_delay)

    def _firmware(self, packet):
        channel, count = packet[0], packet[1]
        payload = packet[2:2 + count]
        if 0 < channel < 100:
            if self.loopback:
                self.feed(record(channel, payload))
            return
        target = channel - 100
        text = payload.decode("utf-8", "replace")
        text = text[:-1] if text.endswith("\n") else text
        with self._cond:
            self.commands.append((target, text))
        if self.on_command is not None and self.on_command(target, text):
            return
        if target == 0:
            self._answer_master(text)
        else:
            self._answer_channel(target, text)

    def _answer_master(self, text):
        if not self.answer_master:
            return
        if text == "ChannelCount?":
            if self.channel_count is not None:
                self._reply(100, "%s\n" % self.channel_count)
        elif text == "Version?":
            self._reply(100, self.version)
        elif text.startswith("Echo ") and text.endswith("?"):
            self._reply(100, text[5:-1])

    def _answer_channel(self, channel, text):
        if text.startswith("Config "):
            self.rates[channel] = text[7:]
        elif text == "Config?":
            reply = self.config_reply
            if reply == "rate":
                self._reply(100 + channel, self.rates.get(channel, "0") + "\n")
            elif reply == "garbage":
                self._reply(100 + channel, "fast\n")
            elif isinstance(reply, int):
                self._reply(100 + channel, "%d\n" % reply)
        elif text == "OpenChannel":
            self.open_channels.add(channel)
        elif text == "CloseChannel":
            self.open_channels.discard(channel)


class FakeRegistry:
    """Stands in for the resource manager a device reports to when it closes."""

    def __init__(self):
        self.closed = []

    def close_device(self, device):
        self.closed.append(device)


class StderrRecorder:
    """Bound as the module's `sys`: records each stderr.write call."""

    def __init__(self):
        self.stderr = self
        self.writes = []
        self._cond = threading.Condition()

    def write(self, text):
        with self._cond:
            self.writes.append(text)
            self._cond.notify_all()
        return len(text)

    def wait_for(self, n, timeout=3.0):
        with self._cond:
            return self._cond.wait_for(lambda: len(self.writes) >= n, timeout)


def reader_of(device):
    return device._Device__input_scanner


class Bench:
    """Makes devices on fake handles; `shutdown` closes what a test left open."""

    def __init__(self):
        self._devices = []

    def device(self, handle=None, registry=None):
        handle = handle or FakeHandle()
        registry = registry or FakeRegistry()
        return self.track(zeq_torvak._Device(registry, handle)), handle, registry

    def track(self, dev):
        self._devices.append(dev)
        return dev

    def shutdown(self):
        for dev in self._devices:
            if reader_of(dev).is_alive():
                dev.close()
