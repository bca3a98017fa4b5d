"""The zeq_torvak module's errors explained in English: what is wrong, and what to do
about it, with what can be seen from here (the devices on the bus, the processes that
hold one, a service this user may not see)."""
from typing import Optional, Sequence

from torvak_common import advice
from torvak_common.failures import Failure, Kind, classify, out_of_range

from .holders import holders


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
