"""Finding devices and opening ports, with the clean-up that the module leaves to its caller.

A device that ``get_hid_device`` hands out, or that a failed port opening leaves behind,
stays open (with its reader thread, which keeps the interpreter from exiting) until a
channel closes on it; every path here ends with the device closed or owned by an open port.
Ports are torvak:// ports (torvak_serial), which reach a device that ``torvak serve``
holds through the service; what goes wrong is said here as the commands say it.
"""
import contextlib
from typing import ContextManager, Iterator, List, Optional

from serial import SerialException

import torvak_serial
import torvak_serial.ports
import zeq_torvak
from torvak_common import (
    advice,
    make_url,
    match_serial_number,
    parse_port,
    parse_url,
    port_name,
)
from torvak_common.failures import Kind, classify, out_of_range
from torvak_discovery import explain, release_device
from torvak_serial.failure import DeviceFailure

from torvak_cli import signals
from torvak_cli.failures import CliError

ANY = "ANY"


def attached_serial_numbers() -> List[Optional[str]]:
    try:
        return zeq_torvak.list_serial_numbers()
    except (OSError, AssertionError) as error:
        raise CliError(explain(error)) from error


def _display(serial_number: Optional[str]) -> str:
    return "(no serial number)" if serial_number is None else serial_number


def find_serial_number(wanted: str) -> str:
    """The serial number of the attached device that `wanted` names, spelt as the device
    reports it (letter case does not matter), or ANY; CliError naming the attached ones."""
    serials = attached_serial_numbers()
    if not serials:
        raise CliError(advice.no_device())
    if wanted.upper() == ANY and ANY not in serials:
        return ANY
    found = match_serial_number(wanted, serials)
    if found is None:
        raise CliError(advice.unseen_service() or 
            "no Torvak device with serial number {} (attached: {})".format(
                wanted, ", ".join(_display(s) for s in serials)
            )
        )
    return found


def open_device(serial: str) -> zeq_torvak._Device:
    """The device with this serial number ("ANY": the first one), from get_hid_device.

    Checks first that such a device is attached, so that the user learns what is there
    instead of the module's not-found assertion."""
    serial = find_serial_number(serial)
    try:
        return zeq_torvak.get_hid_device(serial)
    except (OSError, AssertionError) as error:
        raise CliError(explain(error, serial_number=serial)) from error


def opened_device(serial: str) -> ContextManager[zeq_torvak._Device]:
    """``with opened_device(serial) as device:`` the device, released at the end."""
    return signals.opened(lambda: open_device(serial), release_device)


def channel_count(device: zeq_torvak._Device, name: str) -> int:
    try:
        count = device.channel_count
    except (OSError, AssertionError) as error:
        raise CliError(explain(error, serial_number=name)) from error
    if count is None:  # the module's own check is an assertion, skipped under -O
        raise CliError("device {} did not report its channel count".format(name))
    return count


def _open_failure(text: str, serial: str, channel: int, error: BaseException) -> CliError:
    """What the user is told when the port named `text` could not be opened: a failure of
    the device, said with the name the user gave; otherwise the port's own message."""
    if not isinstance(error, DeviceFailure) or error.served or error.failure.kind is Kind.OTHER:
        return CliError(str(error))
    if error.failure.kind in (Kind.NO_DEVICE, Kind.UNKNOWN_SERIAL):
        find_serial_number(serial)  # says what is attached instead, when nothing matches
    return CliError(error.explain(text, channel, serial))


def _resolved(serial: str) -> str:
    """The serial number a port of `serial` names: for ANY the first device's, so that what
    goes wrong names the device; ANY when that device has no serial number, or one with
    lower-case letters, which a port name cannot spell."""
    if serial.upper() != ANY:
        return serial
    attached = attached_serial_numbers()
    if not attached:
        raise CliError(advice.no_device())
    first = attached[0]
    return first if first is not None and first == first.upper() else ANY


def _out_of_range(text: str, serial: str, channel: int) -> CliError:
    """The error for a channel number below 1, which no torvak:// URL can carry."""
    try:
        count = torvak_serial.ports.channel_count(serial)
    except (AssertionError, OSError) as error:
        if classify(error).kind in (Kind.NO_DEVICE, Kind.UNKNOWN_SERIAL):
            find_serial_number(serial)  # says what is attached instead, when nothing matches
        return CliError(explain(error, text, channel, serial))
    if count is None:  # the module's own check is an assertion, skipped under -O
        return CliError("device {} did not report its channel count".format(serial))
    attached = attached_serial_numbers() if serial == ANY else []
    if attached:  # ANY names the first device, whose serial number a port name cannot spell
        serial = _display(attached[0])
    return CliError("{}: {}".format(text, out_of_range(channel, "device " + serial, count)))


def open_port(text: str, baudrate: int, timeout: float) -> torvak_serial.Serial:
    """An open torvak:// port of the channel named `text` (Torvak:SERIAL:Sn or
    torvak://SERIAL/N), which reaches it directly or through ``torvak serve``; or CliError
    with the reason. Nothing is left open on failure."""
    try:
        serial, channel = parse_port(text)
    except ValueError as error:
        raise CliError(str(error)) from None
    serial = _resolved(serial)
    if channel < 1:
        raise _out_of_range(text, serial, channel)
    try:
        return torvak_serial.Serial(make_url(serial, channel), baudrate=baudrate, timeout=timeout)
    except (SerialException, ValueError) as error:
        raise _open_failure(text, serial, channel, error) from None


@contextlib.contextmanager
def opened_port(text: str, baudrate: int, timeout: float) -> Iterator[torvak_serial.Serial]:
    """``with opened_port(...) as port:`` open_port's port, closed on every way out. A port
    that failed may fail its close() too (bytes it could not deliver): the first failure
    is the one the user is told."""
    failing = False

    def close(port: torvak_serial.Serial) -> None:
        try:
            port.close()
        except OSError:
            if not failing:
                raise

    with signals.opened(lambda: open_port(text, baudrate, timeout), close) as port:
        try:
            yield port
        except BaseException:
            failing = True
            raise


def display_name(port: torvak_serial.Serial) -> str:
    """The name the commands show for an open port: the device's port name
    (Torvak:SERIAL:Sn), or its torvak://SERIAL/N URL when it goes through the service."""
    serial = port.device_serial_number
    _, channel = parse_url(str(port.port))
    if serial is None:
        return str(port.port)
    if port.through_service:
        return make_url(serial, channel)
    return port_name(serial if serial == serial.upper() else ANY, channel)


def port_serial(port: torvak_serial.Serial) -> str:
    """The serial number of the device behind an open port."""
    return port.device_serial_number or parse_url(str(port.port)).serial_number


def _attached(serial: str) -> bool:
    try:
        return serial in zeq_torvak.list_serial_numbers()
    except OSError:
        return False


def port_lost(port: torvak_serial.Serial, error: OSError, detail: str, report: Optional[str] = None,
              named: bool = False) -> CliError:
    """The error for a port that failed while data moved (`detail` says how far it got;
    `named`: the line starts with the port's name): a direct port's device that went away
    or stopped delivering data (`report` is the module's reader-failure report, when it
    wrote one), else the port's own explanation."""
    name = display_name(port)
    if not port.through_service:
        serial = port_serial(port)
        if not _attached(serial):
            lost = "device {} was unplugged {}".format(serial, detail)
            return CliError("{}: {}".format(name, lost) if named else lost)
        if report is not None:
            return reader_stopped(port, report, detail)
    if isinstance(error, DeviceFailure) and error.failure.kind is not Kind.OTHER:
        line = error.explain(name, serial_number=port_serial(port))
    else:
        line = explain(error, name, serial_number=port_serial(port))
    return CliError("{} {}".format(line, detail))


def reader_stopped(port: torvak_serial.Serial, report: str, detail: str) -> CliError:
    """The error for a port whose device stopped delivering data (`report` is the module's
    reader-failure report): usually the device went away."""
    serial = port_serial(port)
    if _attached(serial):
        return CliError("device {} stopped delivering data {} ({})".format(serial, detail, report))
    return CliError("device {} was unplugged {}".format(serial, detail))
