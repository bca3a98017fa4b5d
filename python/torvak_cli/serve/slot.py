"""A device's place in the service and its states (absent, opening, serving, closing).
These methods run on the loop; the USB work runs on the device's worker (DeviceJobs)."""
import functools
import logging
import os

from torvak_common.served import DeviceEntry

from torvak_cli.serve.channel import Channel
from torvak_cli.serve.device_jobs import DeviceJobs
from torvak_cli.serve.worker import Worker

_log = logging.getLogger("torvak.serve")

JOIN_LIMIT = 1.0  # seconds the loop waits for a worker that has posted its last result


class Slot(DeviceJobs):
    """A device's place in the service (K), kept for the serial number for the service's
    life. While the device is served, a worker thread runs its USB work."""

    def __init__(self, service, index, serial):
        # The loop's fields; the worker's jobs read `serial`, `worker` (to queue more
        # writes), `channel_count` (set before the jobs that read it) and `_failures`.
        self.service = service
        self.index = index
        self.serial = serial
        self.state = "absent"  # absent, opening, serving, closing
        self.worker = None  # set before its first job, cleared once it has ended
        self.channels = []
        self.channel_count = 0
        self.rates = {}  # channel number -> rate, kept across re-plugs
        self._failures = 0  # opens failed in a row; open_job reads it, and no job runs while it changes

    # -- loop side ---------------------------------------------------------------------

    def open(self):
        self.state = "opening"
        self.worker = self._new_worker()
        self.worker.submit(self.open_job)

    def worker_ended(self):
        """Whether no thread of this slot runs (its last one may have died)."""
        return self.worker is None or not self.worker.alive()

    def _new_worker(self):
        def died(error):  # on the worker
            self.service.post(functools.partial(
                self.service.fail, "the worker of device {} died: {!r}".format(self.serial, error)))

        return Worker("torvak-serve-" + self.serial, died)

    def opened(self, ports):
        if self.service.stopping:
            self.state = "closing"
            self.worker.submit(functools.partial(self.close_job, ports))
            self.worker.finish()
            return
        self._failures = 0
        self.state = "serving"
        self.channels = [Channel(self, n, port) for n, port in enumerate(ports, 1)]
        self.channel_count = len(ports)
        for channel in self.channels:
            channel.start()
        self.service.publish()
        where = os.path.join(self.service.pty_dir, self.serial)
        if self.service.rfc2217_base is not None:
            listening = [c.listener.getsockname()[1] for c in self.channels if c.listener is not None]
            if listening:
                where += ", RFC 2217 on {} ports {}-{}".format(self.service.bind, min(listening), max(listening))
        _log.info("serving %s (slot %d): %d channels at %s", self.serial, self.index, self.channel_count, where)

    def open_failed(self, why):
        self._failures += 1
        log = _log.warning if self._failures == 1 else _log.debug
        log("cannot serve %s: %s", self.serial, why)
        self._end_worker()

    def lost(self, error):
        """The device went away (or failed): everything of it ends at once, and the worker
        closes its channels so that it can be opened again."""
        if self.state != "serving":
            return
        if not self.service.stopping:
            _log.warning("device %s is gone (%s); its ttys hang up until it is back", self.serial, error)
        self.close()

    def close(self):
        ports = []
        for channel in self.channels:
            self.rates[channel.number] = channel.rate
            channel.stop()
            ports.append(channel.port)
        self.channels = []
        self.state = "closing"
        if not self.worker.alive():
            self.worker = self._new_worker()  # the ports are closed all the same
        self.worker.submit(functools.partial(self.close_job, ports))
        self.worker.finish()
        self.service.publish()

    def closed(self):
        self._end_worker()

    def _end_worker(self):
        if self.worker is not None:
            self.worker.finish()
            # The worker has posted its last result: it is ending, unless a job is stuck.
            if not self.worker.join(JOIN_LIMIT):
                _log.error("device %s: its worker is stuck; left behind after %s s", self.serial, JOIN_LIMIT)
            self.worker = None
        self.state = "absent"

    # -- what clients are told ---------------------------------------------------------

    def entry(self):
        """This device in the state file."""
        return DeviceEntry(
            serial_number=self.serial,
            slot=self.index,
            channel_count=self.channel_count,
            ttys={c.number: c.pty.link for c in self.channels if c.pty is not None},
            rfc2217_ports={c.number: c.listener.getsockname()[1] for c in self.channels if c.listener is not None},
            sockets={c.number: c.local_path for c in self.channels if c.local_listener is not None},
        )
