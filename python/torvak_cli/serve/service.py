"""``torvak serve``: one event loop serving every channel of the devices it owns as a pty
and an RFC 2217 port. The loop moves the data, into each channel's output queue and out
of its receive buffer, and never blocks on USB: each device has a worker thread for
opening and closing its channels and for queries, which hands its results back through
post()."""
import logging
import os
import signal
import threading
import time
from types import FrameType
from typing import Any, Callable, Dict, Iterable, List, Optional, Set

import zeq_torvak
from torvak_common import USB_ID, match_serial_number
from torvak_common.served import STATE_FILE, serial_names_path, write_state
from torvak_common.status import DeviceStatus, ServiceStatus
from torvak_serial.device_channel import DeviceChannel

from torvak_cli.serve import devpts
from torvak_cli.serve.channel import Channel  # noqa: F401  (tests reach it here)
from torvak_cli.serve.addresses import keep_addresses
from torvak_cli.serve.device_jobs import close_ports
from torvak_cli.serve.host import Network
from torvak_cli.serve.loop import EventLoop, Posted, Ready
from torvak_cli.serve.port_map import PortMap
from torvak_cli.serve.refusals import RefusalLog
from torvak_cli.serve.slot import Slot
from torvak_cli.serve.states import SlotState
from torvak_cli.serve.status import StatusServer
from torvak_cli.serve.tty_opens import TtyOpens

_log = logging.getLogger("torvak.serve")

TICK = 0.05  # how often idle ptys are looked at (their masters poll hang-up while idle)
RESCAN = 1.0  # how often the bus is searched for devices to serve
STOP_LIMIT = 10.0  # seconds the service waits for its workers when stopping
ABANDON_LIMIT = 3.0  # seconds a service whose loop failed waits for its ports to close





class Service:
    """Every field is the loop's; the signal handlers run on the loop's thread too. Other
    threads reach the service only through post()."""

    def __init__(self, pty_dir: str, gid: Optional[int], devices: Iterable[str] = (), rfc2217_base: Optional[int] = None,
                 bind: str = "127.0.0.1", allow: Iterable[Network] = (), rfc2217_open: bool = False,
                 port_map: Optional[PortMap] = None) -> None:
        self.pty_dir = pty_dir
        self.gid = gid
        self.rfc2217_base = rfc2217_base  # --rfc2217-port: slot K's block starts at base + 16*K
        self.port_map = port_map or PortMap()
        self.bind = bind
        self.allow = list(allow)
        self.rfc2217_open = rfc2217_open  # local users the ttys refuse may use the TCP ports
        self.made_directories: Set[str] = set()  # DIR/SERIAL that this service made, and removes at its end
        self.stopping = False
        self.failure: Optional[str] = None  # why the service must stop and exit 1
        self._hurry = False  # stop without waiting for the workers
        self.slots: List[Slot] = []
        self._fixed = bool(devices)  # only the devices named
        for serial_number in devices:
            if all(slot.serial != serial_number for slot in self.slots):
                self.slots.append(Slot(self, len(self.slots), serial_number))
        self._skipped: Set[Optional[str]] = set()
        self._said_waiting = False  # "waiting for ..." is said once, at the first scan that finds none
        self.refusals = RefusalLog()
        self._status: Optional[StatusServer] = None
        self.tty_opens: Optional[TtyOpens] = None
        self._ptys: Optional[devpts.PtyInstance] = None
        self._published = False  # the state file is this service's to remove
        self.loop = EventLoop()
        # The loop's plumbing, under the names channels and the status socket use.
        self.post: Callable[[Posted], None] = self.loop.post  # for any thread
        self.watch: Callable[[int, int, Ready], None] = self.loop.watch
        self.unwatch: Callable[[int], None] = self.loop.unwatch
        self.call_later: Callable[[float, Posted], None] = self.loop.call_later

    # -- plumbing ----------------------------------------------------------------------

    def request_stop(self, signum: Optional[int] = None, frame: Optional[FrameType] = None) -> None:
        """Stops the service (a signal handler); asked again while stopping, it stops
        waiting for the devices' workers."""
        if not self.stopping:
            self.stopping = True
            _log.info("stopping%s", "" if signum is None else " ({})".format(signal.Signals(signum).name))
        elif signum is not None:
            self._hurry = True
        self.loop.wake()

    def fail(self, reason: str) -> None:
        """Something the service cannot go on without has failed: it stops, and exits 1."""
        if self.failure is None:
            self.failure = reason
            _log.error("%s", reason)
        self.request_stop()

    def rfc2217_first_port(self, serial: str, slot: int) -> Optional[int]:
        return self.port_map.first_port(serial, slot, self.rfc2217_base)

    # -- what clients are told ---------------------------------------------------------

    def publish(self) -> None:
        """Rewrites the state file: the devices served now, where their channels are, and
        those it waits for (listed, or seen before and unplugged), so that clients wait for
        the service instead of taking such a device from it."""
        devices = [slot.entry() for slot in self.slots]
        try:
            write_state(self.pty_dir, os.getpid(), self.bind, devices, 0o640, self.gid, every_device=not self._fixed)
            self._published = True
        except OSError as error:
            _log.warning("cannot write the state file in %s (clients will not find the service): %s",
                         self.pty_dir, error)

    def status(self) -> ServiceStatus:
        devices: List[DeviceStatus] = [
            {"serial": slot.serial, "slot": slot.index, "state": slot.state.value,
             "channels": [channel.describe() for channel in slot.channels]}
            for slot in self.slots
        ]
        return {"pid": os.getpid(), "directory": self.pty_dir, "bind": self.bind, "devices": devices}

    def device_info(self, serial_number: str, reply: Callable[[Dict[str, Any]], None], echo: bool = True) -> None:
        """Answers `reply(dict)` with what the device says of itself, asked on its worker."""
        serving = [slot.serial for slot in self.slots if slot.state is SlotState.SERVING]
        found = match_serial_number(serial_number, serving)
        slot = next((s for s in self.slots if s.serial == found), None)
        if slot is None:
            reply({"error": "torvak serve does not hold device {}".format(serial_number)})
            return
        slot.info(echo, reply)

    # -- devices -----------------------------------------------------------------------

    def rescan(self) -> None:
        if self._fixed and all(slot.state is not SlotState.ABSENT for slot in self.slots):
            return  # every device named is served: the search (milliseconds on the loop) finds nothing to do
        try:
            attached = zeq_torvak.list_serial_numbers()
        except Exception as error:
            _log.debug("cannot list devices: %s", error)
            return
        if not self._fixed:
            known = {slot.serial for slot in self.slots}
            for serial_number in attached:
                if serial_number in known or serial_number in self._skipped:
                    continue
                if serial_number is None or not serial_names_path(serial_number):
                    self._skipped.add(serial_number)
                    _log.warning("device with serial number %r skipped: it cannot name a port path", serial_number)
                    continue
                self.slots.append(Slot(self, len(self.slots), serial_number))
                known.add(serial_number)
        for slot in self.slots:
            if slot.state is SlotState.ABSENT and match_serial_number(slot.serial, attached) is not None:
                slot.open()
        if not self._said_waiting and all(slot.state is SlotState.ABSENT for slot in self.slots):
            self._said_waiting = True
            wanted = ", ".join(slot.serial for slot in self.slots) if self._fixed else None
            _log.info("waiting for %s to be plugged in", "device " + wanted if wanted else
                      "a Torvak device (USB {})".format(USB_ID))

    # -- the loop ----------------------------------------------------------------------

    def run(self) -> bool:
        """Serves until stopped; False when a device's worker did not end in STOP_LIMIT (it
        is stuck in a USB call, and only the end of the process releases its device)."""
        for slot in self.slots:
            if not serial_names_path(slot.serial):
                raise ValueError("serial number {!r} cannot name a port path".format(slot.serial))
        # The ttys' ptys, from an instance of the service's own where it can have one; the
        # links a killed service left are gone before any channel is served.
        self._ptys = devpts.PtyInstance.mount(self.pty_dir, self.gid)
        devpts.use(self._ptys)
        devpts.clear_stale_links(self.pty_dir, os.path.join(self.pty_dir, devpts.MOUNT_NAME))
        if self.rfc2217_base is not None:
            try:  # read whole now, not at the first client's accept
                keep_addresses().holds(b"")
            except OSError as error:
                _log.debug("this machine's addresses cannot be read yet: %s", error)
        try:
            self._status = StatusServer(self, self.pty_dir, self.gid)
        except OSError as error:
            _log.warning("no status socket in %s: %s", self.pty_dir, error)
        try:
            self.tty_opens = TtyOpens(self.loop)
        except OSError as error:
            _log.debug("tty opens are noticed every %s s: %s", TICK, error)
        self.publish()
        try:
            self._serve()
            ended = all(slot.worker_ended() for slot in self.slots)
        except Exception as error:
            self.fail("the event loop failed: {!r}".format(error))
            _log.debug("the event loop failed", exc_info=True)
            ended = self._abandon()
        finally:
            self._remove_what_was_made()
        return ended

    def _serve(self) -> None:
        next_scan = next_tick = 0.0
        stop_deadline: Optional[float] = None
        while True:
            now = time.monotonic()
            if self.stopping:
                if stop_deadline is None:
                    stop_deadline = now + STOP_LIMIT
                    for slot in self.slots:
                        if slot.state is SlotState.SERVING:
                            slot.close()
                if all(slot.worker_ended() for slot in self.slots):
                    return
                if now > stop_deadline or self._hurry:
                    _log.error("device workers did not end in %s s", now - stop_deadline + STOP_LIMIT)
                    return
            elif now >= next_scan:
                self.rescan()
                next_scan = now + RESCAN
            if now >= next_tick:
                next_tick = now + TICK
                for slot in self.slots:
                    slot.taps.expire()
                    for channel in slot.channels:
                        self.loop.call(channel.tick)
                if self._status is not None:
                    self._status.expire()
                self.refusals.expire()
            self.loop.run_once(TICK)

    def _abandon(self) -> bool:
        """With the loop gone: ends every channel here and closes the ports on a thread of
        their own, waiting ABANDON_LIMIT at most; whether they closed."""
        ports: List[DeviceChannel] = []
        for slot in self.slots:
            for channel in slot.channels:
                ports.append(channel.port)
                try:
                    channel.stop()
                except Exception as error:
                    _log.debug("%s: %r", channel, error)
            slot.channels = []
        closer = threading.Thread(target=close_ports, args=(ports,), name="torvak-serve-abandon",
                                  daemon=True)
        closer.start()
        closer.join(ABANDON_LIMIT)
        return not closer.is_alive()

    def _remove_what_was_made(self) -> None:
        if self._status is not None:
            self._status.close()
        for slot in self.slots:
            slot.taps.close()
        if self.tty_opens is not None:
            self.tty_opens.close()
        if self._published:
            try:
                os.unlink(os.path.join(self.pty_dir, STATE_FILE))
            except OSError:
                pass
        self.loop.close()
        devpts.use(None)
        if self._ptys is not None:
            self._ptys.close()
        for directory in self.made_directories:
            try:
                os.rmdir(directory)
            except OSError:
                pass
