"""Finding devices and opening ports, with the clean-up that the module leaves to its caller.

A device that ``get_hid_device`` hands out, or that a failed port opening leaves behind,
stays open (with its reader thread, which keeps the interpreter from exiting) until a
channel closes on it; every path here ends with the device closed or owned by an open port.
"""
import contextlib

import zeq_torvak

from torvak_cli.failures import CliError, explain, is_usb_error

ANY = "ANY"
NO_DEVICE = "no Torvak device attached (USB 0483:5750)"
PORT_FORM = "Torvak:SERIAL:Sn, e.g. Torvak:ANY:S1"
# Every baud-rate refusal of the module (not confirmed, or confirmed with another rate)
# starts with this text; the reported rate follows the second marker.
_BAUD_FAILURE_PREFIX = "设置波特率"
_BAUD_REPORTED = ":当前值 = "
_BAUD_REQUESTED = ":目标值 = "


def attached_serial_numbers():
    try:
        return zeq_torvak.list_serial_numbers()
    except (OSError, AssertionError) as error:
        raise CliError(explain(error)) from None


def _display(serial):
    return "(no serial number)" if serial is None else serial


def open_device(serial):
    """The device with this serial number ("ANY": the first one), from get_hid_device.

    Checks first that such a device is attached, so that the user learns what is there
    instead of the module's not-found assertion."""
    serials = attached_serial_numbers()
    if not serials:
        raise CliError(NO_DEVICE)
    if serial != ANY and serial not in serials:
        raise CliError(
            "no Torvak device with serial number {} (attached: {})".format(
                serial, ", ".join(_display(s) for s in serials)
            )
        )
    try:
        return zeq_torvak.get_hid_device(serial)
    except (OSError, AssertionError) as error:
        raise CliError(explain(error, None if serial == ANY else serial)) from None


def release_device(device):
    """Closes a device that has no open channel and takes it out of the registry.

    Closing a channel that the device never opened (0: channels count from 1) finds its
    channel table empty, which is what closes a device and unregisters it; the registry
    has no public way of its own."""
    device.close_channel(0)


@contextlib.contextmanager
def opened_device(serial):
    device = open_device(serial)
    try:
        yield device
    finally:
        release_device(device)


def channel_count(device, name):
    try:
        count = device.channel_count
    except (OSError, AssertionError) as error:
        raise CliError(explain(error, name)) from None
    if count is None:  # the module's own check is an assertion, skipped under -O
        raise CliError("device {} did not report its channel count".format(name))
    return count


def parse_port(name):
    """(serial number as the registry looks it up, channel) read the way Serial reads the
    name, or None for a name that Serial refuses."""
    fields = name.split(":")
    if len(fields) != 3 or fields[0].lower() != "torvak" or fields[2][:1] not in ("S", "s"):
        return None
    try:
        channel = int(fields[2][1:])
    except ValueError:
        return None
    return fields[1].upper(), channel


def _baud_refusal(text, baudrate, port_name):
    start = text.find(_BAUD_REPORTED)
    if start >= 0:
        reported = text[start + len(_BAUD_REPORTED):].split(_BAUD_REQUESTED)[0]
        return "baud rate {} refused on {}: the device reports {}".format(baudrate, port_name, reported)
    return "baud rate {} not confirmed on {}: no answer within 1 s".format(baudrate, port_name)


def open_port(name, baudrate, timeout):
    """An open zeq_torvak.Serial, or CliError with the reason; nothing is left open on failure."""
    target = parse_port(name)
    if target is None:
        raise CliError("invalid port name {!r}: expected {}".format(name, PORT_FORM))
    serial, channel = target
    device = open_device(serial)
    real_serial = device.serial_number
    port_name = "Torvak:{}:S{}".format(real_serial, channel)
    try:
        count = channel_count(device, real_serial)
        if not 0 < channel <= count:
            raise CliError(
                "channel {} is out of range: device {} has channels 1 to {}".format(channel, real_serial, count)
            )
        # The registry hands this port the device opened above; from here on the port
        # owns it, and closing the port closes the device.
        return zeq_torvak.Serial(name, baudrate, timeout=timeout)
    except BaseException as error:
        # Whatever failed, the device must not stay open. When the port's own opening
        # failed it has closed the device already, and this does nothing more.
        release_device(device)
        if isinstance(error, OSError) and not is_usb_error(error) and str(error).startswith(_BAUD_FAILURE_PREFIX):
            raise CliError(_baud_refusal(str(error), baudrate, port_name)) from None
        if isinstance(error, (OSError, AssertionError)):
            raise CliError(explain(error, real_serial)) from None
        raise


def port_serial(port):
    """The serial number of the device behind an open port (its name is Torvak:SERIAL:Sn)."""
    return port.port.split(":")[1]


def reader_stopped(port, report, detail):
    """The error for a port whose device stopped delivering data (`report` is the module's
    reader-failure report): usually the device went away."""
    serial = port_serial(port)
    try:
        still_there = serial in zeq_torvak.list_serial_numbers()
    except OSError:
        still_there = False
    if still_there:
        return CliError("device {} stopped delivering data {} ({})".format(serial, detail, report))
    return CliError("device {} was unplugged {}".format(serial, detail))
