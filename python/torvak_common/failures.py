"""The zeq_torvak module's errors, recognised by what they carry and explained in
English: what is wrong, and what to do about it.

The module's own messages stay as they are (most of them Chinese); besides its text,
each of its errors carries what it is about as attributes (`kind`, `serial_number`,
`channel`, `channel_count`, `requested`, `reported`), and only those are read here.
"""
import enum
import errno
from typing import NamedTuple, Optional, Sequence

from . import advice
from .holders import holders


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


def _attached() -> str:
    import zeq_torvak

    try:
        serial_numbers: Sequence[Optional[str]] = zeq_torvak.list_serial_numbers()
    except (AssertionError, OSError):
        return ""
    if not serial_numbers:
        return " (none attached)"
    return " (attached: {})".format(", ".join("(no serial number)" if s is None else s for s in serial_numbers))


def _in_use(device: str, serial_number: Optional[str]) -> str:
    try:
        found = holders(serial_number)
    except Exception:  # a look into /proc must not hide the error being explained
        found = []
    return advice.in_use(device, found)


_HIDDEN_BY_A_SERVICE = (Kind.NO_DEVICE, Kind.UNKNOWN_SERIAL, Kind.PERMISSION, Kind.BUSY)


def explain(
    error: BaseException,
    port: Optional[str] = None,
    channel: Optional[int] = None,
    serial_number: Optional[str] = None,
) -> str:
    """One line for an error zeq_torvak raised, starting with `port` when given. `channel`
    and `serial_number` are what the caller asked for, when known; the error itself names
    the device where it can."""
    failure = classify(error)
    text = str(error)
    if failure.kind is not Kind.OTHER:
        return describe(failure, text, port, channel, serial_number)
    if text.startswith("torvak://"):
        return text  # a torvak:// port's own message, which names the port already
    line = "{}: {}".format(type(error).__name__, text) if text else type(error).__name__
    return line if port is None else "{}: {}".format(port, line)


def describe(
    failure: Failure,
    detail: str,
    port: Optional[str] = None,
    channel: Optional[int] = None,
    serial_number: Optional[str] = None,
) -> str:
    """One line for a failure of the module, starting with `port` when given; `detail` is
    the module's own text, which a USB error shows. `channel` and `serial_number` are what
    the caller asked for, when known; the failure names the device where it can."""
    serial = failure.serial_number or serial_number
    device = "device " + serial if serial and serial != "ANY" else "the device"
    channel = failure.channel if failure.channel is not None else channel
    kind = failure.kind
    # A service this user may not see holds the devices: that is why none can be had.
    hidden = advice.unseen_service() if kind in _HIDDEN_BY_A_SERVICE else None
    if hidden is not None:
        line = hidden
    elif kind is Kind.NO_DEVICE:
        line = advice.NO_DEVICE
    elif kind is Kind.UNKNOWN_SERIAL:
        line = "no Torvak device with serial number {}{}".format(serial, _attached())
    elif kind is Kind.CHANNEL_RANGE:
        line = out_of_range(channel, device, failure.channel_count)
    elif kind is Kind.CHANNEL_OPEN:
        line = "channel {} of {} is already open in this program; close that port first".format(channel, device)
    elif kind is Kind.NO_CHANNEL_COUNT:
        line = "{} did not report its channel count; re-plug it and try again".format(device)
    elif kind is Kind.BAUD_TIMEOUT:
        line = "baud rate {} not confirmed: {} did not answer within 1 s".format(failure.requested, device)
    elif kind is Kind.BAUD_MISMATCH:
        line = "baud rate {} refused: {} reports {}".format(failure.requested, device, failure.reported)
    elif kind is Kind.CLOSED:
        line = "the port is closed"
    elif kind is Kind.PERMISSION:
        line = advice.node_permission()
    elif kind is Kind.BUSY:
        line = _in_use(device, serial)
    elif kind is Kind.UNPLUGGED:
        line = device + " was unplugged"
    elif kind is Kind.USB_TIMEOUT:
        line = "{} did not take or give data in time ({})".format(device, detail)
    elif kind is Kind.USB:
        line = "USB error on {}: {}".format(device, detail)
    else:
        line = detail
    return line if port is None else "{}: {}".format(port, line)
