"""One channel of a device this process holds: the module's channel, its receive buffer
(whose readiness descriptor polls readable while data waits and once no more can come)
and its native output queue, made to the policy chosen by whoever opens it (output.py).

A torvak:// port opened directly holds one as its transport (PORT_QUEUE), and torvak
serve holds one for each channel it serves (SERVICE_QUEUE), without a pyserial port
around it: the service never asks whether a service holds the device.
"""
from __future__ import annotations

import threading
from typing import Any, Optional, Tuple

from serial.serialutil import PortNotOpenError, SerialException

import _torvak_readiness
import zeq_torvak
from torvak_discovery import release_device

from . import lifetime, native
from .failure import device_failure
from .output import PORT_QUEUE, QueuedOutput, QueuePolicy, output_for
from .transport import direct_gone

# The module channel's own time limit, too short for it ever to wait: whoever holds the
# channel does the waiting (a port in its selector, the service in its loop), so that
# cancel_read() and close() can end it.
_NO_WAIT = 1e-9


def open_device_channel(port: str, serial_number: str, number: int, rate: int,
                        policy: QueuePolicy = PORT_QUEUE) -> DeviceChannel:
    """Opens `number` of the device that `serial_number` names (letter case aside; ANY:
    the first one) at `rate`, its output queue made to `policy`; `port` (the URL) names it
    in errors. SerialException (DeviceFailure, "could not open port ...") when it cannot
    be opened."""
    try:
        channel = native.open_channel(serial_number, number, rate, _NO_WAIT)
    except (AssertionError, OSError, ValueError, TypeError) as error:
        # The module reports a missing device, a channel out of range or already open
        # by assertions, and USB and baud-rate failures as OSError.
        _release_if_unused(serial_number)
        raise device_failure(error, port, number, serial_number, opening=True) from error
    try:
        opened = DeviceChannel(channel, port, (serial_number, number), rate, policy)
    except BaseException:
        channel.close()
        raise
    lifetime.opened(opened)
    return opened


class DeviceChannel:
    """An open channel of a device this process has open. Reads and take() return at once;
    write() waits within its limit, flush() and set_rate() until the device has what they
    gave it. Its holder serializes its calls, but for close(), which any thread may call
    (the exit hook too). The reads of the Transport protocol let the module's
    AssertionError and OSError through (the port explains them); the rest raise
    SerialException naming `port`, and PortNotOpenError once it is closed."""

    def __init__(self, channel: zeq_torvak.Serial, port: str, address: Tuple[str, int], rate: int,
                 policy: QueuePolicy) -> None:
        self.port = port  # the URL, torvak://SERIAL/N
        self.address = address  # (serial number, channel) as asked for
        self.opened_rate = rate  # the rate the device confirmed when the channel was opened
        device, _ = native.channel_device(channel)
        self.device_serial_number: Optional[str] = device.serial_number  # as the device reports it
        # The receive buffer's capsule, kept for the life of this object, not only while it
        # is open, so that no descriptor is closed under a thread that waits on it.
        self.buffer = native.receive_buffer(channel)
        self._ready_fd: int = _torvak_readiness.descriptor(self.buffer)
        self.output: Any = output_for(channel, self.buffer, port, rate, policy)
        if policy.waits_for_device and not isinstance(self.output, QueuedOutput):
            raise _not_queued(port)  # nothing but a native queue waits for the device
        self._channel = channel
        self._read = channel.read  # take() is the service loop's busiest call
        self._lock = threading.RLock()  # close() and close_output() from any thread
        self._output_open = True
        self._open = True

    def __str__(self) -> str:
        return self.port

    def fileno(self) -> int:
        """The readiness descriptor (valid for the life of this object)."""
        return self._ready_fd

    @property
    def queue(self) -> QueuedOutput:
        """The native output queue; OSError for a channel whose device has none (reached
        through a Python USB handle), which cannot be written in the background."""
        output = self.output
        if not isinstance(output, QueuedOutput):
            raise _not_queued(self.port)
        return output

    # -- reading ---------------------------------------------------------------------

    def take(self, size: int) -> bytes:
        """What has arrived, up to `size` bytes, at once, without a port's time limits;
        SerialException once the device is gone and all it sent before has been taken."""
        try:
            data: bytes = self._read(size)
        except (AssertionError, OSError) as error:
            raise self._failure(error) from error
        if not data and self.ended():
            raise self.gone()
        return data

    @property
    def in_waiting(self) -> int:
        waiting: int = self._channel.in_waiting
        return waiting

    def read(self, size: int) -> bytes:
        data: bytes = self._read(size)
        return data

    def read_until(self, last: bytes, size: Optional[int]) -> bytes:
        return bytes(self._channel.read_until(last, size))

    def flushInput(self) -> None:  # noqa: N802  (the module's name)
        self._channel.flushInput()

    def ended(self) -> bool:
        """Whether the device has gone and everything it sent before has been read."""
        return bool(_torvak_readiness.ended(self.buffer)) and self._channel.in_waiting == 0

    def gone(self) -> SerialException:
        return direct_gone(self.port, self.address)

    # -- writing and settings --------------------------------------------------------

    def write(self, payload: bytes, limit: Optional[float]) -> int:
        return int(self.output.write(payload, limit))

    def waiting(self) -> int:
        return int(self.output.waiting())

    def flush(self) -> None:
        self.output.flush()

    def reset(self) -> None:
        self.output.reset()

    @property
    def rate(self) -> Optional[int]:
        rate: Optional[int] = self._channel.baudrate
        return rate

    def set_rate(self, rate: int) -> None:
        try:
            self._channel.baudrate = rate
        except OSError as error:
            raise self._failure(error) from error

    # -- closing ---------------------------------------------------------------------

    def close_output(self) -> Optional[SerialException]:
        """Drains what was written and stops the queue (giving up once nothing has moved
        for output.CLOSE_PATIENCE); the failure met on the way, once."""
        with self._lock:
            if not self._output_open:
                return None
            self._output_open = False
            failure: Optional[SerialException] = self.output.close()
            return failure

    def close(self) -> None:
        """Drains the output, closes the channel (the device with its last channel), and
        raises the failure met on the way. Closing again does nothing."""
        with self._lock:
            failure = self.close_output()
            if not self._open:
                return
            self._open = False
            lifetime.closed(self)
            try:
                self._channel.close()
            except (AssertionError, OSError) as error:
                raise self._failure(error) from error
        if failure is not None:
            raise failure

    def _failure(self, error: BaseException) -> SerialException:
        if isinstance(error, SerialException):
            return error
        if isinstance(error, AssertionError) and not self._open:
            return PortNotOpenError()  # the module asserts that its channel is open
        return device_failure(error, self.port, self.address[1], self.address[0])


def _not_queued(port: str) -> OSError:
    return OSError("channel {}: its device cannot be written in the background".format(port))


def _release_if_unused(serial_number: str) -> None:
    # A channel that fails its range check leaves its device open, with a reader thread
    # that would keep the interpreter from exiting.
    try:
        release_device(zeq_torvak.get_hid_device(serial_number.upper()))
    except (AssertionError, OSError):
        pass
