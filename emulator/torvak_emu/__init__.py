"""Emulated Torvak USB devices, for trying programs and running tests with no hardware.

The device is answered by a native usbfs handler inside umockdev's testbed, so the
module (and plain libusb, see ``torvak_emu.libusb_ctypes``) sees real enumeration,
descriptors, transfers, time-outs and surprise removal. Everything runs in this process
and needs ``umockdev-wrapper`` (it preloads umockdev's library):

    umockdev-wrapper python3 my_program.py

The testbed must exist before the first ``libusb_init`` of the process, because libusb
looks at /sys and /dev/bus/usb and opens its uevent monitor there; create it with
``Testbed.get()`` before anything opens libusb. (``tools/with-emulated-device`` does this
for a program run as its child.) Processes started after that use the same bus through
the environment they inherit; ``Testbed.get()`` also adds to their LD_PRELOAD the small
library that keeps each one's uevents its own and hands a libusb built without udev the
kernel's form of them (preload/uevent_socket.c). A process that uses libusb itself with such
a libusb needs that library from its start: run it with the build's ``torvak-emu-wrapper``
in place of ``umockdev-wrapper``.

``tools/build-emulator.sh`` builds this package, Python files and native part
(``_native``) together, into a directory (default ``build/emulator``) to put on PYTHONPATH.
"""

import atexit
import os
import threading
import time

__all__ = ["Testbed", "Device", "wait_until", "CHANNEL_BUFFER_BYTES"]

# What a device holds for the host per data channel (see Device.buffered).
CHANNEL_BUFFER_BYTES = 4096

# The native part once imported, or why it could not be. (The package attribute
# `_native` is the submodule itself, bound by the import.)
_loaded = None
_load_error = None


def _load_native():
    """Imports the native part once; on failure keeps the reason for Testbed.available()."""
    global _loaded, _load_error
    if _loaded is None and _load_error is None:
        try:
            from torvak_emu import _native
        except ImportError as error:
            _load_error = (
                "the emulator's native part is not importable from {} ({}); "
                "install umockdev's library (Debian/Ubuntu: apt install libumockdev0), or in a "
                "checkout build the emulator with tools/build-emulator.sh".format(os.path.dirname(os.path.abspath(__file__)), error)
            )
        else:
            _loaded = _native
    return _loaded


def _under_umockdev():
    return "libumockdev-preload" in os.environ.get("LD_PRELOAD", "")


def _preload_for_children():
    """Puts the library that gives each process's uevent socket a name of its own ahead
    of umockdev's in LD_PRELOAD, for the processes started from here on (see
    preload/uevent_socket.c: without it, two processes whose uevent monitors got the
    same descriptor number share one name, and the first stops seeing devices come and
    go)."""
    library = os.path.join(os.path.dirname(os.path.abspath(__file__)), "libuevent_socket.so")
    entries = [p for p in os.environ.get("LD_PRELOAD", "").replace(" ", ":").split(":") if p]
    if library in entries or not os.path.exists(library):
        return
    at = next((i for i, p in enumerate(entries) if "libumockdev-preload" in p), len(entries))
    os.environ["LD_PRELOAD"] = ":".join(entries[:at] + [library] + entries[at:])


def wait_until(predicate, timeout=2.0, interval=0.005):
    """Polls predicate() until it is true or timeout seconds pass; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class Device:
    """One plugged (or formerly plugged) emulated device.

    Traffic: ``out_packets()`` lists every packet the host wrote to the OUT endpoint, cut
    into 64-byte packets as on the bus; ``queue_in()`` adds a raw packet to the FIFO that
    feeds IN transfers, one packet per transfer, and firmware replies join the same FIFO
    behind it. The data of each channel (loopback, crossed lines, peers) waits in the
    channel's buffer instead (see buffered()); the buffers and that FIFO take turns.
    Firmware settings apply from the next packet on.

    The firmware answers "ChannelCount?", "Version?" and "Echo X?" on the master control
    channel, and "Config R", "Config?" (the last rate set, 9600 before any), "OpenChannel",
    "CloseChannel" and "FlushInput" on each channel's control byte. Loopback sends data
    back in records of at most 61 bytes, so that the host's parser always finds the end of
    the records inside the 64-byte packet.
    """

    def __init__(self, testbed, native):
        self._testbed = testbed
        self._native = native

    def __repr__(self):
        return "<Device {} {} {}>".format(
            self.serial, self.devnode, "plugged" if self.connected else "unplugged"
        )

    # identity
    serial = property(lambda self: self._native.serial)
    bus = property(lambda self: self._native.bus)
    address = property(lambda self: self._native.address)
    devnode = property(lambda self: self._native.devnode)
    syspath = property(lambda self: self._native.syspath)

    @property
    def connected(self):
        """False once unplugged, by unplug() or by unplug_after_out()."""
        return self._native.connected

    @property
    def kernel_driver_detached(self):
        """True when the device started with a kernel driver and the host detached it."""
        return self._native.kernel_driver_detached

    @property
    def claimed(self):
        """Whether some open handle has claimed interface 0."""
        return self._native.claimed

    @property
    def open_handles(self):
        """How many descriptors of the device node are open (libusb opens one per handle)."""
        return self._native.open_handles

    @property
    def firmware(self):
        """Snapshot of the firmware settings: channel_count, version, loopback, pace_ms, faults."""
        return self._native.settings()

    def unplug(self):
        """Surprise removal: pending transfers fail (LIBUSB_ERROR_NO_DEVICE), later ones too,
        a "remove" uevent goes out and the device leaves the bus."""
        self._testbed._native.unplug(self._native)

    # traffic
    def out_packets(self, clear=False):
        return self._native.out_packets(clear)

    def wait_out(self, n, timeout=2.0):
        """Waits until at least n OUT packets are recorded (since the last clear)."""
        return self._native.wait_out(n, timeout)

    def queue_in(self, packet):
        self._native.queue_in(bytes(packet))

    def in_log(self, clear=False):
        """(time.monotonic() seconds, length) of every IN transfer that delivered a packet."""
        return self._native.in_log(clear)

    def in_timing(self, clear=False):
        """(offered, completed, reaped, length) of every IN packet the host has reaped, in
        time.monotonic() seconds. offered: the earliest moment the device could send it (it
        was queued and the endpoint had a free frame); completed: when its IN transfer
        completed; reaped: when the host took that transfer back."""
        return self._native.in_timing(clear)

    def pending_in(self):
        """IN packets queued and not yet sent."""
        return self._native.pending_in()

    def buffered(self):
        """{channel: bytes} the device holds for the host, per data channel holding
        any. Each channel's buffer holds CHANNEL_BUFFER_BYTES: data coming back through
        the line (the loopback, crossed lines) waits at the OUT endpoint while it is full,
        as a line slower than the bus would make it; what a peer sends meanwhile pushes
        the oldest bytes out (see dropped()). Raw packets (queue_in) and the stream
        source (stream_in) are not counted here and never dropped."""
        return self._native.buffered()

    def dropped(self):
        """{channel: bytes} dropped because the channel's buffer was full, per channel
        that dropped any."""
        return self._native.dropped()

    def stream_in(self, channels, interval_ms=1.0, payload=61):
        """The device streams on its own, as serial lines receiving at a steady rate: every
        interval_ms one IN packet with one data record of `payload` bytes (at most 61) is
        queued, for `channels` in turn. Each channel's bytes count 0, 1, ... 255, 0, ...
        from this call on. An empty `channels` stops the source; queued packets stay."""
        self._native.stream_in(list(channels), float(interval_ms), payload)

    def stream_stats(self, reset_max=False):
        """dict(produced, backlog, backlog_max): packets streamed so far, packets queued for
        IN now, and the most queued at once since the last reset."""
        return self._native.stream_stats(reset_max)

    def protocol_errors(self, clear=False):
        """Packets from the host that broke the wire format or addressed no channel."""
        return self._native.protocol_errors(clear)

    # firmware
    def set_fault(self, master=None, config=None):
        """master: "ok" | "silent" | "garbage"; config: those or "wrong_rate". None keeps."""
        self._native.set_fault(master, config)

    def set_loopback(self, on=True):
        self._native.set_loopback(on)

    def cross_lines(self, a, b):
        """Joins the lines of channels a and b as a null-modem cable would: what the host
        writes on one arrives on the other (instead of the loopback). b=0 parts a again."""
        self._native.cross_lines(a, b)

    def set_pace_ms(self, milliseconds):
        """0: transfers complete at once; p > 0: like a full-speed interrupt endpoint with p ms
        frames: each endpoint moves at most one packet per frame, at the frame's start (frames
        start at multiples of p on the monotonic clock), so a transfer submitted mid-frame
        waits for the next one. in_log() gives the frame's start as the completion time."""
        self._native.set_pace_ms(float(milliseconds))

    def set_channel_count(self, n):
        self._native.set_channel_count(n)

    def set_version(self, text):
        self._native.set_version(text)

    def unplug_after_out(self, n):
        """Counting from now, the n-th OUT packet is recorded, then the device unplugs itself
        and the transfer carrying it fails with LIBUSB_ERROR_NO_DEVICE. 0 cancels."""
        self._native.unplug_after_out(n)

    def fail_out_after(self, n, error):
        """Counting from now, the n-th OUT packet is refused: the device does not take it and
        the transfer carrying it fails with -error (errno.EPIPE: a stall, the host sees
        LIBUSB_ERROR_PIPE; errno.EPROTO: a bus error, LIBUSB_ERROR_IO). The device stays
        plugged. 0 cancels."""
        self._native.fail_out_after(n, error)

    def fail_in_next(self, error):
        """The next IN transfer fails at once with -error, data queued or not. 0 cancels."""
        self._native.fail_in_next(error)

    def channel_state(self, n):
        """dict(open=bool, baud=int|None, flushed=int): what the host told channel n."""
        return self._native.channel_state(n)

    # peers: other serial devices at the far end of a channel's line
    def set_peer(self, channel, kind, **options):
        """Puts a model of another serial device at the far end of channel's line. The bytes
        the host writes on the channel go to it instead of the loopback, and what it sends
        arrives at the host as the channel's data (while the host has the channel open).
        kind None takes the peer away.

        "xmodem-receiver": crc=True (ask for CRC-16 blocks with "C", else checksum blocks
            with NAK), start_interval_ms=100 (how often the start request is repeated until
            the first block arrives), reject_blocks=() (blocks, counted from 1, answered once
            with NAK).
        "modbus-slave": address (1 to 247), registers ({register: value}, the only
            addresses it serves; functions 3, 4, 6 and 16).
        """
        if kind is None:
            if options:
                raise TypeError("taking a peer away takes no options")
            self._native.clear_peer(channel)
        elif kind == "xmodem-receiver":
            self._native.set_xmodem_receiver(channel, **options)
        elif kind == "modbus-slave":
            self._native.set_modbus_slave(channel, **options)
        else:
            raise ValueError("unknown peer %r (xmodem-receiver or modbus-slave)" % (kind,))

    def peer_state(self, channel):
        """None without a peer, else dict(kind, state, received=bytes, registers={register:
        value}, counters={name: int}). An XMODEM receiver's state is "waiting",
        "receiving", "done" or "cancelled"; received is the file as accepted so far."""
        return self._native.peer_state(channel)


class Testbed:
    """The process-wide umockdev testbed. Create it with Testbed.get() before libusb_init."""

    __test__ = False  # not a pytest test class

    _instance = None
    _lock = threading.Lock()

    def __init__(self, native):
        self._native = native
        self._devices = []
        self._devices_lock = threading.Lock()

    @classmethod
    def available(cls):
        """(True, "") when devices can be emulated here, else (False, why not)."""
        if not _under_umockdev():
            return False, "not under umockdev-wrapper (LD_PRELOAD has no libumockdev-preload)"
        if _load_native() is None:
            return False, _load_error
        return True, ""

    @classmethod
    def get(cls):
        with cls._lock:
            if cls._instance is None:
                usable, reason = cls.available()
                if not usable:
                    raise RuntimeError(reason)
                cls._instance = cls(_load_native().Testbed.instance())
                atexit.register(cls._instance._shutdown)
                _preload_for_children()
            return cls._instance

    @property
    def root_dir(self):
        return self._native.root_dir

    def plug(
        self,
        serial="EMU0001",
        channels=4,
        version="Torvak-EMU 1.0",
        kernel_driver=False,
        transfer="interrupt",
        swap_endpoints=False,
        serial_string=True,
        bus=1,
        address=None,
    ):
        """Plugs a new device; it is visible to the next libusb_get_device_list().

        address None takes the next free one, so a re-plugged device gets a new address,
        as with the kernel. transfer is "interrupt" or "bulk".
        """
        native = self._native.plug(
            serial=serial,
            channels=channels,
            version=version,
            kernel_driver=kernel_driver,
            transfer=transfer,
            swap_endpoints=swap_endpoints,
            serial_string=serial_string,
            bus=bus,
            address=address,
        )
        device = Device(self, native)
        with self._devices_lock:
            self._devices = [d for d in self._devices if d.connected] + [device]
        return device

    def devices(self):
        """The devices plugged now."""
        with self._devices_lock:
            self._devices = [d for d in self._devices if d.connected]
            return list(self._devices)

    def close(self):
        """Unplugs every device."""
        self._native.close()
        self.devices()

    def _shutdown(self):
        self._native.shutdown()
