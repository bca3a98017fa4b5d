"""The output side of a direct torvak:// port.

A port writes like a tty: into the channel's output queue, a buffer of 4 KiB drained to
USB in the background (see ``_torvak_readiness.output``): by asynchronous transfers over
this module's own USB handle, by a writer thread of the device's over a handle reached
through Python.
"""
from __future__ import annotations

import logging
import time
from typing import Any, List, NamedTuple, Optional, Tuple

from serial.serialutil import PortNotOpenError, SerialException, SerialTimeoutException

import _torvak_readiness

from . import native

# Native waits return at least this often, so that a close() in another thread and
# signals (Ctrl-C) are seen by a writer waiting for room.
_SLICE = 0.1


class QueuePolicy(NamedTuple):
    """How a channel's output queue behaves, chosen once when the channel is opened."""

    capacity: int  # bytes buffered and in flight
    # Transfers without a USB time-out (a slow device is waited for), rate changes in their
    # place among the bytes, and an events descriptor; else each transfer has a write's limit.
    waits_for_device: bool


# A port's: a tty's buffer. The service's, between its clients and the device, holds more,
# so that the device is kept busy while the service's loop serves others.
PORT_QUEUE = QueuePolicy(capacity=4096, waits_for_device=False)
SERVICE_QUEUE = QueuePolicy(capacity=16384, waits_for_device=True)
# close() gives up draining once nothing has moved for this long.
CLOSE_PATIENCE = 3.0
_log = logging.getLogger("torvak_serial")


def _timeout(taken: int, size: int) -> SerialTimeoutException:
    return SerialTimeoutException("Write timeout: {} of {} bytes written".format(taken, size))


class QueuedOutput:
    """The channel's native output queue: write() blocks only while the buffer is full.
    The service's (see SERVICE_QUEUE) also takes rate changes and tells its loop through
    an events descriptor when there is room again, when everything has drained and how each
    change ended; its loop never writes more than ``room``, so nothing there blocks."""

    def __init__(self, queue: object, port: str) -> None:
        self._queue = queue
        self._port = port
        self._closed = False  # set by close(), which may run while another thread waits

    def _failed(self, error: OSError) -> SerialException:
        return SerialException("{}: {}".format(self._port, error.strerror))

    def _check_open(self) -> None:
        if self._closed:
            raise PortNotOpenError()

    def write(self, payload: bytes, limit: Optional[float]) -> int:
        view = memoryview(payload)
        deadline = None if limit is None else time.monotonic() + limit
        taken = 0
        while True:
            wait = _SLICE if deadline is None else max(0.0, min(_SLICE, deadline - time.monotonic()))
            try:
                taken += _torvak_readiness.write(self._queue, view[taken:], wait)
            except OSError as error:
                raise self._failed(error) from error
            if taken == len(payload) or limit == 0:
                return taken
            if deadline is not None and time.monotonic() >= deadline:
                raise _timeout(taken, len(payload))
            self._check_open()

    def waiting(self) -> int:
        waiting: int = _torvak_readiness.out_waiting(self._queue)
        return waiting

    def flush(self) -> None:
        try:
            while not _torvak_readiness.drain(self._queue, _SLICE):
                self._check_open()
        except OSError as error:
            raise self._failed(error) from error

    def reset(self) -> None:
        _torvak_readiness.reset_output(self._queue)

    def close(self) -> Optional[SerialException]:
        """Drains and stops the queue; the failure met on the way, for the caller to raise
        once the channel is closed."""
        self._closed = True
        dropped, failure = _torvak_readiness.close_output(self._queue, CLOSE_PATIENCE)
        if dropped:
            _log.warning("%s: closed with %d bytes written and not delivered: the device took "
                         "nothing for %s s", self._port, dropped, CLOSE_PATIENCE)
        return None if failure is None else SerialException("{}: {}".format(self._port, failure))

    def events_fd(self) -> int:
        fd: int = _torvak_readiness.events_descriptor(self._queue)
        return fd

    def put(self, payload: bytes) -> int:
        """Queues what fits of `payload` at once; SerialException for a failure of the
        drain not yet reported (naming the bytes lost)."""
        try:
            taken: int = _torvak_readiness.write(self._queue, payload, 0.0)
        except OSError as error:
            raise self._failed(error) from error
        return taken

    def change_rate(self, rate: int) -> bool:
        """Queues a change to `rate` after the bytes put so far; False when it took the
        place of the change queued right before it."""
        added: bool = _torvak_readiness.change_rate(self._queue, rate)
        return added

    def events(self) -> Tuple[int, int, int, List[Tuple[int, int, Optional[int]]]]:
        """(room, bytes waiting, changes waiting, changes ended as (rate, the rate asked for
        before it, confirmed or None)), and the events descriptor quiet until something more
        happens."""
        room, waiting, changes, outcomes = _torvak_readiness.events(self._queue)
        return room, waiting, changes, outcomes


def output_for(channel: Any, buffer: object, port: str, rate: int, policy: QueuePolicy = PORT_QUEUE) -> QueuedOutput:
    """The output side of a newly opened module channel at `rate`: its native queue, made
    to `policy`."""
    device, number = native.channel_device(channel)
    queue = _torvak_readiness.output(buffer, native.device_core(device), number, policy.capacity,
                                     policy.waits_for_device, rate)
    return QueuedOutput(queue, port)
