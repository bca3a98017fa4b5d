"""What a torvak:// port needs of the way to its channel.

A port has one Transport while it is open: device_channel.DeviceChannel over this
module's channel (reads from its receive buffer, writes into its output queue), or
routed.RoutedChannel through torvak serve's RFC 2217 socket. The port itself
(protocol_torvak.Serial) keeps pyserial's contract, time limits and readiness waits, the
same over either.
"""
from __future__ import annotations

from typing import Optional, Protocol, Tuple

from serial.serialutil import SerialException


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
    """The error for a channel of a device this process held once the device is gone."""
    serial_number, number = address
    return SerialException(
        "{}: the device {} is gone (unplugged or failed): channel {} can send and receive "
        "no more; close the port and open it again once the device is back".format(port, serial_number, number))
