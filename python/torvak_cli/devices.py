"""Finding devices and opening ports, with the clean-up that the module leaves to its caller.

A device that ``get_hid_device`` hands out, or that a failed port opening leaves behind,
stays open (with its reader thread, which keeps the interpreter from exiting) until a
channel closes on it; every path here ends with the device closed or owned by an open port.
A device that ``torvak serve`` holds is reached through the service instead, by a
torvak:// port.
"""
from typing import ContextManager, List, Optional, Protocol

import zeq_torvak
from torvak_common import (
    ServedDevice,
    advice,
    explain,
    make_url,
    match_serial_number,
    parse_port,
    port_name,
    release_device,
    served_device,
)

from torvak_cli import signals
from torvak_cli.failures import CliError

ANY = "ANY"
class Port(Protocol):
    """What the commands use of a port: the device's own (zeq_torvak.Serial), or a
    torvak:// port through the service."""

    @property
    def port(self) -> Optional[str]: ...

    @property
    def in_waiting(self) -> int: ...

    def read(self, size: int = 1) -> bytes: ...

    def write(self, __data: bytes) -> Optional[int]: ...

    def close(self) -> None: ...


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


def _name_for(device: zeq_torvak._Device, channel: int) -> str:
    """The port name that opens `channel` of `device`, which the registry holds open. The
    module upper-cases the serial number of a port name; a device whose serial number has
    lower-case letters is reached as ANY, which is the device this process opened first."""
    serial = device.serial_number
    if serial == serial.upper():
        return port_name(serial, channel)
    if zeq_torvak.get_hid_device(ANY) is device:
        return port_name(ANY, channel)
    raise CliError("device {} cannot be opened by name while another device is open".format(serial))


def _open_served(text: str, served: ServedDevice, channel: int, baudrate: int, timeout: float) -> Port:
    """A torvak:// port of the channel, which reaches it through the service."""
    if not 0 < channel <= served.channel_count:
        raise CliError("{}: channel {} is out of range: device {} has channels 1 to {}".format(
            text, channel, served.serial_number, served.channel_count))
    import torvak_serial
    from serial import SerialException

    try:
        return torvak_serial.Serial(make_url(served.serial_number, channel), baudrate=baudrate, timeout=timeout)
    except (SerialException, ValueError) as error:
        raise CliError(str(error)) from None


def open_port(text: str, baudrate: int, timeout: float) -> Port:
    """An open port named `text` (Torvak:SERIAL:Sn or torvak://SERIAL/N): a
    zeq_torvak.Serial, or a torvak:// port when ``torvak serve`` holds the device; or
    CliError with the reason. Nothing is left open on failure."""
    try:
        serial, channel = parse_port(text)
    except ValueError as error:
        raise CliError(str(error)) from None
    served = served_device(serial)
    if served is not None:
        return _open_served(text, served, channel, baudrate, timeout)
    device = open_device(serial)
    real_serial = device.serial_number
    try:
        count = channel_count(device, real_serial)
        if not 0 < channel <= count:
            raise CliError(
                "{}: channel {} is out of range: device {} has channels 1 to {}".format(
                    text, channel, real_serial, count
                )
            )
        # The registry hands this port the device opened above; from here on the port
        # owns it, and closing the port closes the device.
        return zeq_torvak.Serial(_name_for(device, channel), baudrate, timeout=timeout)
    except BaseException as error:
        # Whatever failed, the device must not stay open. When the port's own opening
        # failed it has closed the device already, and this does nothing more.
        release_device(device)
        if isinstance(error, (OSError, AssertionError)):
            raise CliError(explain(error, text, channel, real_serial)) from error
        raise


def port_serial(port: Port) -> str:
    """The serial number of the device behind an open port (named Torvak:SERIAL:Sn, or
    torvak://SERIAL/N when it goes through the service)."""
    return parse_port(port.port or "").serial_number


def reader_stopped(port: Port, report: str, detail: str) -> CliError:
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
