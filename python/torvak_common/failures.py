"""The zeq_torvak module's errors, recognised by what they carry.

The module's own messages stay as they are (most of them Chinese); besides its text,
each of its errors carries what it is about as attributes (`kind`, `serial_number`,
`channel`, `channel_count`, `requested`, `reported`), and only those are read here.
"""
import enum
import errno
from typing import NamedTuple, Optional


class Kind(enum.Enum):
    NO_DEVICE = "no device"
    UNKNOWN_SERIAL = "unknown serial"
    CHANNEL_RANGE = "channel range"
    CHANNEL_OPEN = "channel open"
    NO_CHANNEL_COUNT = "no channel count"
    BAUD_TIMEOUT = "baud timeout"
    BAUD_MISMATCH = "baud mismatch"
    CLOSED = "closed"
    PERMISSION = "permission"
    BUSY = "busy"
    UNPLUGGED = "unplugged"
    USB_TIMEOUT = "usb timeout"
    USB = "usb"
    OTHER = "other"


class Failure(NamedTuple):
    """One error of the module, read: its kind and what its text says."""

    kind: Kind
    serial_number: Optional[str] = None
    channel: Optional[int] = None
    channel_count: Optional[int] = None
    requested: Optional[int] = None
    reported: Optional[int] = None


def _usb_errno(error: BaseException) -> Optional[int]:
    # The module's USB errors carry the libusb code (as pyusb's do) and the errno it maps
    # to; its other IOErrors, and the host's file errors, carry no libusb code.
    if isinstance(error, OSError) and hasattr(error, "backend_error_code"):
        return error.errno or 0
    return None


def _whole_number(value: object) -> Optional[int]:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def _kind(error: BaseException) -> Kind:
    kind = getattr(error, "kind", None)
    if not isinstance(error, (AssertionError, OSError)) or not isinstance(kind, str):
        return Kind.OTHER
    try:
        return Kind(kind)
    except ValueError:
        return Kind.OTHER


def classify(error: BaseException) -> Failure:
    """What went wrong, read from an exception that zeq_torvak raised."""
    number = _usb_errno(error)
    if number is not None:
        kinds = {
            errno.EACCES: Kind.PERMISSION,
            errno.EPERM: Kind.PERMISSION,
            errno.EBUSY: Kind.BUSY,
            errno.ENODEV: Kind.UNPLUGGED,
            errno.ETIMEDOUT: Kind.USB_TIMEOUT,
        }
        return Failure(kinds.get(number, Kind.USB))
    kind = _kind(error)
    if kind is Kind.OTHER:
        return Failure(Kind.OTHER)
    serial_number = getattr(error, "serial_number", None)
    return Failure(
        kind,
        serial_number=serial_number if isinstance(serial_number, str) else None,
        channel=_whole_number(getattr(error, "channel", None)),
        channel_count=_whole_number(getattr(error, "channel_count", None)),
        requested=_whole_number(getattr(error, "requested", None)),
        reported=_whole_number(getattr(error, "reported", None)),
    )


def reader_failure_serial(report: str) -> Optional[str]:
    """The serial number that the reader's report that it stopped names ("?" when it could
    not tell), or None for any other report. The device is usually gone then."""
    if getattr(report, "kind", None) != "reader stopped":
        return None
    serial_number = getattr(report, "serial_number", None)
    return serial_number if isinstance(serial_number, str) else "?"


def check_baudrate(baudrate: object) -> int:
    """`baudrate` as a whole number that the device can be asked for; ValueError saying
    why not otherwise."""
    rate = 0
    if isinstance(baudrate, (int, float, str)) and not isinstance(baudrate, bool):
        try:
            rate = int(baudrate)
        except ValueError:
            pass
    if rate <= 0:
        raise ValueError("baud rate {!r} is not valid: give a whole number above 0, e.g. 9600".format(baudrate))
    return rate


def out_of_range(channel: Optional[int], device: str, count: Optional[int]) -> str:
    """What is said of a channel number that `device` ("device SERIAL") does not have."""
    return "channel {} is out of range: {} has channels 1 to {}".format("?" if channel is None else channel, device, count)
