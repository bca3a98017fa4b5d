"""``torvak status`` (also ``torvak serve --status``): what the running services serve,
who uses each channel, and how many bytes each channel has moved."""
import json
from typing import IO, Any, Dict, Iterable, Iterator, List, Sequence, Tuple, Union

from torvak_common import StatusError, advice, ask_service, run_directories, running_services
from torvak_common.refusals import printable
from torvak_common.status import DeviceStatus, NoAnswer, ServiceStatus, status_request

from torvak_cli.failures import CliError

_COLUMNS = ("CHANNEL", "TTY", "RFC 2217", "RATE", "CLIENT", "FROM DEVICE", "TO DEVICE")
Row = Tuple[str, ...]
# A service's status answer, or what is said of one that gave none: pid, directory, error.
Answer = Union[ServiceStatus, NoAnswer]


def _rows(device: DeviceStatus, bind: str) -> List[Row]:
    rows: List[Row] = []
    for channel in device.get("channels", []):
        port = channel.get("rfc2217_port")
        rows.append((
            str(channel.get("channel")),
            channel.get("tty") or "-",
            "-" if port is None else "{}:{}".format(bind, port),
            str(channel.get("rate")),
            printable(str(channel.get("client") or "-")),
            str(channel.get("from_device", 0)),
            str(channel.get("to_device", 0)),
        ))
    return rows


def _table(out: IO[str], rows: Sequence[Row]) -> None:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        out.write("  " + "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n")


def _answers(services: Iterable[Dict[str, Any]]) -> Iterator[Answer]:
    """Each service's status answer; one that did not answer as {pid, directory, error}."""
    for state in services:
        try:
            answer: ServiceStatus = ask_service(state["directory"], status_request())  # type: ignore[assignment]
            yield answer
        except StatusError as error:
            yield {"pid": state["pid"], "directory": state["directory"], "error": error.strerror or str(error)}


def show_status(out: IO[str], as_json: bool = False) -> None:
    """Writes what each service answered; CliError (the command fails) when one it found
    gave no answer, after the answers of the others."""
    services = running_services()
    unseen = advice.unseen_services() if not services else []
    if unseen:
        # One runs, but this user may not read what it serves.
        reason = advice.not_in_group(unseen[0])
        if as_json:
            json.dump([{"pid": None, "directory": unseen[0].directory, "error": reason}], out, indent=2)
            out.write("\n")
        raise CliError(reason)
    if not services and not as_json:
        raise CliError("no torvak serve is running (looked in {}); for a service started with --pty-dir DIR, "
                       "set TORVAK_RUN_DIR=DIR".format(", ".join(run_directories())))
    answers = list(_answers(services))
    if as_json:
        json.dump(answers, out, indent=2)
        out.write("\n")
    else:
        for status in answers:
            _show(out, status)
    silent = [status for status in answers if "error" in status]
    if silent:
        raise CliError("{} of {} torvak serve processes did not answer: {}".format(
            len(silent), len(answers), "; ".join(status["error"] for status in silent)))


def _show(out: IO[str], status: Answer) -> None:
    if "error" in status:
        out.write("torvak serve, process {}, {}: no answer ({})\n".format(
            status["pid"], status["directory"], status["error"]))
        return
    out.write("torvak serve, process {}, {}\n".format(status.get("pid"), status.get("directory")))
    devices = status.get("devices", [])
    if not devices:
        out.write("  no device served yet\n")
    for device in devices:
        channels = device.get("channels", [])
        if device.get("state") != "serving":
            out.write("{} (slot {}): not attached\n".format(device.get("serial"), device.get("slot")))
            continue
        out.write("{} (slot {}): {} channels\n".format(device.get("serial"), device.get("slot"), len(channels)))
        _table(out, [_COLUMNS] + _rows(device, status.get("bind", "127.0.0.1")))
