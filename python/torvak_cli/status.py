"""``torvak status`` (also ``torvak serve --status``): what the running services serve,
who uses each channel, and how many bytes each channel has moved."""
import json

from torvak_common import StatusError, ask_service, run_directories, running_services
from torvak_common.served import status_request

from torvak_cli.failures import CliError

_COLUMNS = ("CHANNEL", "TTY", "RFC 2217", "RATE", "CLIENT", "FROM DEVICE", "TO DEVICE")


def _rows(device, bind):
    rows = []
    for channel in device.get("channels", []):
        port = channel.get("rfc2217_port")
        rows.append((
            str(channel.get("channel")),
            channel.get("tty") or "-",
            "-" if port is None else "{}:{}".format(bind, port),
            str(channel.get("rate")),
            channel.get("client") or "-",
            str(channel.get("from_device", 0)),
            str(channel.get("to_device", 0)),
        ))
    return rows


def _table(out, rows):
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        out.write("  " + "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n")


def _answers(services):
    """Each service's status answer; one that did not answer as {pid, directory, error}."""
    for state in services:
        try:
            yield ask_service(state["directory"], status_request())
        except StatusError as error:
            yield {"pid": state["pid"], "directory": state["directory"], "error": error.strerror or str(error)}


def show_status(out, as_json=False):
    """Writes what each service answered; CliError (the command fails) when one it found
    gave no answer, after the answers of the others."""
    services = running_services()
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


def _show(out, status):
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
