"""What a torvak:// port needs of the way to its channel, and the direct way.

A port has one Transport while it is open: DirectTransport over this module's channel
(reads from its receive buffer, writes into its output queue), or routed.RoutedChannel
through torvak serve's RFC 2217 socket. The port itself (protocol_torvak.Serial) keeps
pyserial's contract, time limits and readiness waits, the same over either.
"""
from __future__ import annotations

from typing import Any, Optional, Protocol, Tuple

from serial.serialutil import SerialException

import _torvak_readiness

from .failure import device_failure


class Transport(Protocol):
    """The way to one channel. Reads and waits-free calls return at once; write, flush and
    set_rate may wait (write within `limit`). Failures raise SerialException (the direct
    way may let the module's AssertionError and OSError through: the port explains them)."""

    @property
    def in_waiting(self) -> int: ...

    def read(self, size: int) -> bytes: ...

    def read_until(self, last: bytes, size: Optional[int]) -> bytes: ...

    def flushInput(self) -> None: ...  # noqa: N802  (the module's name)

    def ended(self) -> bool:
        """Whether nothing more can come and everything that came has been read."""

    def gone(self) -> SerialException:
        """The error for a port whose channel can send and receive no more."""

    def write(self, payload: bytes, limit: Optional[float]) -> int: ...

    def waiting(self) -> int:
        """Bytes written that the device may not have yet (out_waiting)."""

    def flush(self) -> None: ...

    def reset(self) -> None:
        """Drops what was written and not yet on its way to the device."""

    @property
    def rate(self) -> Optional[int]:
        """The rate in force, when known."""

    def set_rate(self, rate: int) -> None:
        """Returns once the device has confirmed `rate`."""

    def close(self) -> None: ...


def direct_gone(port: str, address: Tuple[str, int]) -> SerialException:
    serial_number, number = address
    return SerialException(
        "{}: the device {} is gone (unplugged or failed): channel {} can send and receive "
        "no more; close the port and open it again once the device is back".format(port, serial_number, number))


class DirectTransport:
    """A channel of a device this process has open: the module's channel object, its
    receive buffer's capsule and its output side (output.py)."""

    def __init__(self, channel: Any, buffer: object, output: Any, port: str, address: Tuple[str, int]) -> None:
        # Names, not the port object: a port dropped without close() is closed by its
        # finalizer at once, which a reference back to it would put off until a collection.
        self._channel = channel
        self._buffer = buffer
        self._output = output
        self._port = port
        self._address = address

    @property
    def in_waiting(self) -> int:
        waiting: int = self._channel.in_waiting
        return waiting

    def read(self, size: int) -> bytes:
        return bytes(self._channel.read(size))

    def read_until(self, last: bytes, size: Optional[int]) -> bytes:
        return bytes(self._channel.read_until(last, size))

    def flushInput(self) -> None:  # noqa: N802  (the module's name)
        self._channel.flushInput()

    def ended(self) -> bool:
        return bool(_torvak_readiness.ended(self._buffer)) and self._channel.in_waiting == 0

    def gone(self) -> SerialException:
        return direct_gone(self._port, self._address)

    def write(self, payload: bytes, limit: Optional[float]) -> int:
        return int(self._output.write(payload, limit))

    def waiting(self) -> int:
        return int(self._output.waiting())

    def flush(self) -> None:
        self._output.flush()

    def reset(self) -> None:
        self._output.reset()

    @property
    def rate(self) -> Optional[int]:
        rate: Optional[int] = self._channel.baudrate
        return rate

    def set_rate(self, rate: int) -> None:
        try:
            self._channel.baudrate = rate
        except OSError as error:
            raise device_failure(error, self._port, self._address[1], self._address[0]) from error

    def close(self) -> None:
        self._channel.close()
