"""``torvak list`` and ``torvak info``: what is attached, and what one device says of itself.
A device that ``torvak serve`` holds is asked through the service's status socket."""
import json
import time
from typing import IO, Any, Dict, Optional, Tuple

from torvak_common import ServedDevice, StatusError, advice, ask_service
from torvak_common.served import ECHO_PROBE
from torvak_common.status import InfoAnswer, info_request
from torvak_discovery import explain, served_device

from torvak_cli.devices import attached_serial_numbers, channel_count, opened_device
from torvak_cli.failures import CliError
from torvak_cli.reports import ReportRecorder

ECHO_TIMEOUT_TEXT = "0.5 s"  # the module's wait for an echo reply


def _ask_service(served: ServedDevice, echo: bool) -> Dict[str, Any]:
    """What the service holding the device says of it: the info answer, or CliError."""
    try:
        return ask_service(served.directory, info_request(served.serial_number, echo))
    except StatusError as error:
        raise CliError("device {} is held by torvak serve (process {}), which did not answer: {}".format(
            served.serial_number, served.pid, error)) from None


def _describe(serial: Optional[str], reports: ReportRecorder) -> Dict[str, Any]:
    """{"serial", "channels", "firmware", "error"} of one device for ``list``: channels and
    firmware None when it could not be asked, and error then says why. The reader's report
    of that failure is not repeated."""
    entry: Dict[str, Any] = {"serial": serial, "channels": None, "firmware": None, "error": None}
    if serial is None:
        entry["error"] = "no serial number: cannot be opened by name"
        return entry
    served = served_device(serial)
    try:
        if served is not None:
            answer = _ask_service(served, echo=False)
            entry["channels"], entry["firmware"] = answer.get("channels"), answer.get("firmware")
        else:
            with opened_device(serial) as device:
                entry["channels"] = channel_count(device, serial)
                entry["firmware"] = device.firmware_version
    except CliError as error:
        entry["error"] = str(error)
    except (OSError, AssertionError) as error:
        entry["error"] = explain(error, serial_number=serial)
    if entry["error"] is not None and served is None:
        reports.take()
    return entry


def _cells(entry: Dict[str, Any]) -> Tuple[str, str]:
    if entry["error"] is not None:
        return "?", "({})".format(entry["error"])
    firmware = entry["firmware"]
    return str(entry["channels"]), "(no answer)" if firmware is None else str(firmware)


def list_devices(out: IO[str], reports: ReportRecorder, as_json: bool = False) -> None:
    """The attached devices, as a table or JSON. None attached is an answer, not a failure;
    a failure to look (a service this user may not see holds the devices, or the bus cannot
    be read) fails the command, and in JSON is one entry whose "error" says why."""
    try:
        serials = attached_serial_numbers()
        hidden = None if serials else advice.unseen_service()
        if hidden is not None:
            raise CliError(hidden)
    except CliError as error:
        if as_json:
            _dump(out, [{"serial": None, "channels": None, "firmware": None, "error": str(error)}])
        raise
    if as_json:
        _dump(out, [_describe(serial, reports) for serial in serials])
        return
    if not serials:
        out.write(advice.NO_DEVICE + "\n")
        return
    rows = [("SERIAL", "CHANNELS", "FIRMWARE")]
    for serial in serials:
        rows.append(("(none)" if serial is None else serial,) + _cells(_describe(serial, reports)))
    widths = [max(len(row[i]) for row in rows) for i in range(2)]
    for serial, channels, firmware in rows:
        out.write("{}  {}  {}\n".format(serial.ljust(widths[0]), channels.ljust(widths[1]), firmware))


def _dump(out: IO[str], entries: Any) -> None:
    json.dump(entries, out, indent=2)
    out.write("\n")


def show_info(serial: str, out: IO[str]) -> None:
    served = served_device(serial)
    if served is not None:
        told: InfoAnswer = _ask_service(served, echo=True)  # type: ignore[assignment]
        _write_info(out, told["serial"], told.get("channels"), told.get("firmware"), told.get("echo"),
                    told.get("echo_seconds"))
        out.write("served by         torvak serve (process {}, {})\n".format(served.pid, served.directory))
        return
    with opened_device(serial) as device:
        name = device.serial_number
        try:
            count = channel_count(device, name)
            version = device.firmware_version
            started = time.perf_counter()
            answer = device.echo(ECHO_PROBE)
            round_trip = time.perf_counter() - started
        except (OSError, AssertionError) as error:
            raise CliError(explain(error, serial_number=name)) from None
    _write_info(out, name, count, version, answer, round_trip)


def _write_info(out: IO[str], name: str, count: Optional[int], version: Optional[str], answer: Optional[str],
                round_trip: Optional[float]) -> None:
    out.write("serial number     {}\n".format(name))
    out.write("channels          {}\n".format(count))
    out.write("firmware version  {}\n".format("(no answer)" if version is None else version))
    if answer is None:
        raise CliError("device {} did not answer the echo within {}".format(name, ECHO_TIMEOUT_TEXT))
    if answer != ECHO_PROBE:
        raise CliError("device {} echoed {!r} instead of {!r}".format(name, answer, ECHO_PROBE))
    out.write("echo round trip   {:.1f} ms\n".format((round_trip or 0.0) * 1000.0))
