"""Borrowing a device for a query."""
import contextlib
from typing import TYPE_CHECKING, Iterator

if TYPE_CHECKING:
    import zeq_torvak


def release_device(device: "zeq_torvak._Device") -> None:
    """Closes a device that has no open channel and takes it out of the registry; a device
    with open channels (ports of this process) is left as it is.

    get_hid_device() leaves the device it hands out open, with a reader thread that keeps
    the interpreter from exiting. Closing a channel that the device never opened (0:
    channels count from 1) finds its channel table empty, which is what closes a device
    and unregisters it; the registry has no public way of its own."""
    device.close_channel(0)


@contextlib.contextmanager
def borrowed_device(serial_number: str) -> Iterator["zeq_torvak._Device"]:
    """The device with exactly this serial number (or "ANY"), released again at the end of
    the block unless a port of this process holds it."""
    import zeq_torvak

    device = zeq_torvak.get_hid_device(serial_number)
    try:
        yield device
    finally:
        release_device(device)
