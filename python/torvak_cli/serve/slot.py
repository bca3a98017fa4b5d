"""A device's place in the service and its states (absent, opening, serving, closing).
Everything here runs on the loop; the USB work runs on the slot's DeviceWorker, which
answers by posting to the loop."""
import functools
import logging
import os
from typing import Any, Callable, Dict, List, Optional

from torvak_common.served import DeviceEntry
from torvak_serial.device_channel import DeviceChannel

from torvak_cli.serve.channel import Channel
from torvak_cli.serve.device_jobs import DeviceWorker
from torvak_cli.serve.host import Host
from torvak_cli.serve.states import SLOT_MOVES, SlotState, move
from torvak_cli.serve.taps import Taps

_log = logging.getLogger("torvak.serve")

JOIN_LIMIT = 1.0  # seconds the loop waits for a worker that has posted its last result


class Slot:
    """A device's place in the service (K), kept for the serial number for the service's
    life. While the device is served, its DeviceWorker runs the USB work.

    Every field is the loop's: the worker gets copies of what a job needs (the rates, the
    channel count) as the job's arguments and answers through the loop's post()."""

    def __init__(self, service: Host, index: int, serial: str) -> None:
        self.service = service
        self.index = index
        self.serial = serial
        self.state = SlotState.ABSENT  # changed by _move() alone
        self.device: Optional[DeviceWorker] = None  # set while a worker thread may run
        self.channels: List[Channel] = []
        self.channel_count = 0
        self.rates: Dict[int, int] = {}  # channel number -> rate, kept across re-plugs
        self._failures = 0  # opens failed in a row
        # Its capture socket, from the first open to the service's end.
        self.taps = Taps(service, serial, lambda: {channel.number: channel.rate for channel in self.channels},
                         lambda: {c.number: who for c, who in ((c, c.named_holder()) for c in self.channels) if who})

    def __str__(self) -> str:
        return "device {}".format(self.serial)

    def _move(self, new: SlotState) -> None:
        self.state = move(self, self.state, new, SLOT_MOVES)

    def _new_device(self) -> DeviceWorker:
        def died(error: BaseException) -> None:  # on the worker
            self.service.post(functools.partial(
                self.service.fail, "the worker of device {} died: {!r}".format(self.serial, error)))

        return DeviceWorker(self.serial, self.service.post, died)

    def open(self) -> None:
        self._move(SlotState.OPENING)
        self.device = self._new_device()
        self.device.open(self.rates, not self._failures, self.opened, self.open_failed)

    def worker_ended(self) -> bool:
        """Whether no thread of this slot runs (its last one may have died)."""
        return self.device is None or not self.device.alive()

    def opened(self, ports: List[DeviceChannel]) -> None:
        assert self.device is not None
        if self.service.stopping:
            self._move(SlotState.CLOSING)
            self.device.close(ports, self.closed)
            self.device.finish()
            return
        self._failures = 0
        self._move(SlotState.SERVING)
        self.channels = [Channel(self, n, port) for n, port in enumerate(ports, 1)]
        self.channel_count = len(ports)
        for channel in self.channels:
            channel.start()
        where = os.path.join(self.service.pty_dir, self.serial)
        if os.path.isdir(where):
            self.taps.start(where)
        self.taps.device_back()
        self.service.publish()
        listening = [port for port in (c.rfc2217_port() for c in self.channels) if port is not None]
        if listening:
            where += ", RFC 2217 on {} ports {}-{}".format(self.service.bind, min(listening), max(listening))
        _log.info("serving %s (slot %d): %d channels at %s", self.serial, self.index, self.channel_count, where)

    def open_failed(self, why: str) -> None:
        self._failures += 1
        log = _log.warning if self._failures == 1 else _log.debug
        log("cannot serve %s: %s", self.serial, why)
        self._end_worker()

    def lost(self, error: BaseException) -> None:
        """The device went away (or failed): everything of it ends at once, and the worker
        closes its channels so that it can be opened again."""
        if self.state is not SlotState.SERVING:
            return
        if not self.service.stopping:
            _log.warning("device %s is gone (%s); its ttys hang up until it is back", self.serial, error)
        self.close()

    def close(self) -> None:
        ports = []
        for channel in self.channels:
            self.rates[channel.number] = channel.rate
            channel.stop()
            ports.append(channel.port)
        self.channels = []
        self.taps.device_gone()
        self._move(SlotState.CLOSING)
        if self.device is None or not self.device.alive():
            self.device = self._new_device()  # the ports are closed all the same
        self.device.close(ports, self.closed)
        self.device.finish()
        self.service.publish()

    def closed(self) -> None:
        self._end_worker()

    def _end_worker(self) -> None:
        if self.device is not None:
            self.device.finish()
            # The worker has posted its last result: it is ending, unless a job is stuck.
            if not self.device.join(JOIN_LIMIT):
                _log.error("device %s: its worker is stuck; left behind after %s s", self.serial, JOIN_LIMIT)
            self.device = None
        self._move(SlotState.ABSENT)

    # -- what clients are told ---------------------------------------------------------

    def info(self, echo: bool, reply: Callable[[Dict[str, Any]], None]) -> None:
        """`reply(answer)` with what the device says of itself, asked on its worker."""
        if self.device is None:
            reply({"error": "device {} is not open".format(self.serial)})
            return
        self.device.info(self.channel_count, echo, reply)

    def entry(self) -> DeviceEntry:
        """This device in the state file."""
        return DeviceEntry(
            serial_number=self.serial,
            slot=self.index,
            channel_count=self.channel_count,
            ttys={c.number: link for c, link in ((c, c.tty_link()) for c in self.channels) if link is not None},
            rfc2217_ports={c.number: port for c, port in ((c, c.rfc2217_port()) for c in self.channels)
                           if port is not None},
            sockets={c.number: path for c, path in ((c, c.socket_path()) for c in self.channels) if path is not None},
            present=self.state is SlotState.SERVING,
        )
