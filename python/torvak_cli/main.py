"""Entry point of the ``torvak`` command (``torvak --help``)."""
import argparse
import contextlib
import logging
import os
import signal
import sys
from typing import IO, TYPE_CHECKING, Any, Callable, ContextManager, Iterable, List, Optional, Tuple, Union

from torvak_common import __version__, check_baudrate
from torvak_discovery import explain
from torvak_discovery.module_log import log_report

from torvak_cli import signals
from torvak_cli.failures import CliError
from torvak_cli.reports import ReportRecorder, recording_reports
from torvak_cli.signals import Terminated

if TYPE_CHECKING:
    import torvak_serial

EXIT_FAILURE = 1
EXIT_INTERRUPTED = 128 + signal.SIGINT
# Seconds a port read waits when nothing has arrived: how often the loops look at the
# clock, the keyboard and the reader's health.
POLL_TIMEOUT = 0.05
DEFAULT_BAUD = 9600
DEFAULT_IDLE = 2.0
DEFAULT_LINGER = 0.5
_log = logging.getLogger("torvak")
PORT_HELP = (
    "port name Torvak:SERIAL:Sn or URL torvak://SERIAL/N; SERIAL may be ANY (the first device), e.g. Torvak:ANY:S1"
)


def opened_port(args: argparse.Namespace) -> "ContextManager[torvak_serial.Serial]":
    """``with opened_port(args) as port:`` the open port, closed on every way out."""
    from torvak_cli.devices import opened_port as opened

    return opened(args.port, args.baud, POLL_TIMEOUT)


def write_last(stream: IO[str], text: str) -> None:
    """Writes to a stream that may lead to a terminal that has gone away. A failed write
    is dropped, and the stream's descriptor is pointed at /dev/null so that the
    interpreter's own flush at exit cannot fail (and change the exit status) either."""
    try:
        stream.write(text)
        stream.flush()
    except OSError:
        with contextlib.suppress(OSError, ValueError, AttributeError):
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, stream.fileno())
            os.close(null)


def _progress_wanted(args: argparse.Namespace, stream: IO[str]) -> bool:
    if args.progress is not None:
        return bool(args.progress)
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def run_list(args: argparse.Namespace, reports: ReportRecorder) -> None:
    from torvak_cli.queries import list_devices

    list_devices(sys.stdout, reports, args.json)


def run_info(args: argparse.Namespace, reports: ReportRecorder) -> None:
    from torvak_cli.queries import show_info

    show_info(args.serial, sys.stdout)


def run_status(args: argparse.Namespace, reports: ReportRecorder) -> None:
    from torvak_cli.status import show_status

    show_status(sys.stdout, getattr(args, "json", False))


def run_term(args: argparse.Namespace, reports: ReportRecorder) -> None:
    from torvak_cli import terminal
    from torvak_cli.devices import display_name

    sys.stdout.flush()
    stdin = sys.stdin.fileno()
    with opened_port(args) as port:
        if os.isatty(stdin):
            banner = "--- {} at {} baud; Ctrl-] quits ---\n".format(display_name(port), args.baud)
        else:
            banner = "--- {} at {} baud; sending standard input ---\n".format(display_name(port), args.baud)
        terminal.run(port, stdin, sys.stdout.fileno(), reports, banner, args.linger)
    write_last(reports.real, "\n--- closed ---\n")


def run_send(args: argparse.Namespace, reports: ReportRecorder) -> None:
    from torvak_cli import transfer
    from torvak_cli.devices import display_name
    from torvak_cli.progress import ProgressBar

    source: IO[bytes]
    total: Optional[int]
    if args.file == "-":
        source, total = sys.stdin.buffer, None
    else:
        try:
            source = open(args.file, "rb")
        except OSError as error:
            raise CliError("cannot read {}: {}".format(args.file, error.strerror or error)) from None
        total = os.fstat(source.fileno()).st_size
    with contextlib.ExitStack() as stack:
        if source is not sys.stdin.buffer:
            stack.enter_context(source)
        port = stack.enter_context(opened_port(args))
        name = display_name(port)
        progress = ProgressBar(reports.real, total, _progress_wanted(args, reports.real))
        count, seconds = transfer.send(port, source, total, progress)
    write_last(reports.real, transfer.summary("sent", count, name, seconds) + "\n")


def run_receive(args: argparse.Namespace, reports: ReportRecorder) -> None:
    from torvak_cli import transfer
    from torvak_cli.devices import display_name
    from torvak_cli.progress import ProgressBar

    with contextlib.ExitStack() as stack:
        # The port first: a file is not truncated for a port that cannot be opened.
        port = stack.enter_context(opened_port(args))
        name = display_name(port)
        sink: IO[bytes]
        if args.file == "-":
            sink = sys.stdout.buffer
        else:
            try:
                sink = stack.enter_context(open(args.file, "wb"))
            except OSError as error:
                raise CliError("cannot write {}: {}".format(args.file, error.strerror or error)) from None
        reports.real.write("receiving from {} into {}; Ctrl-C stops\n".format(name, args.file))
        reports.real.flush()
        progress = ProgressBar(reports.real, args.size, _progress_wanted(args, reports.real))
        count, seconds = transfer.receive(port, sink, args.size, args.idle, progress, reports)
        sink.flush()
    write_last(reports.real, transfer.summary("received", count, name, seconds) + "\n")


def run_capture(args: argparse.Namespace, reports: ReportRecorder) -> None:
    from torvak_cli.capture import run_capture as capture

    capture(args.serial, args.channels, args.file, reports.real)


def run_tap(args: argparse.Namespace, reports: ReportRecorder) -> None:
    from torvak_cli.capture import run_tap as tap

    tap(args.channel)


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: {!r}".format(text)) from None
    if value <= 0:
        raise argparse.ArgumentTypeError("must be above 0: {}".format(value))
    return value


def _baudrate(text: str) -> int:
    try:
        return check_baudrate(int(text) if text.lstrip("+-").isdigit() else text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number of seconds: {!r}".format(text)) from None
    if not value >= 0:
        raise argparse.ArgumentTypeError("must be 0 or above: {}".format(text))
    return value


def _positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number of seconds: {!r}".format(text)) from None
    if not value > 0:
        raise argparse.ArgumentTypeError("must be above 0: {}".format(text))
    return value


def _add_port_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("port", metavar="PORT", help=PORT_HELP)
    parser.add_argument(
        "--baud", type=_baudrate, default=DEFAULT_BAUD, metavar="N", help="baud rate (default %(default)s)"
    )


def _add_progress_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--progress", dest="progress", action="store_const", const=True, default=None,
                       help="draw the progress bar (default: when standard error is a terminal)")
    group.add_argument("--no-progress", dest="progress", action="store_const", const=False,
                       help="never draw the progress bar")


LIST_JSON_FIELDS = """\
--json prints a JSON array with one object per attached device: "serial" (its USB serial
number; null when it has none), "channels" (channel count) and "firmware" (firmware version),
each null when the device could not be asked, and then "error" says why (else null). No
device attached: [] and exit status 0, as the table's "no Torvak device attached". When the
devices cannot be looked at (a torvak serve this user may not use holds them): one object,
"serial" null and "error" saying why, and exit status 1."""
STATUS_JSON_FIELDS = """\
--json prints a JSON array with one object per running torvak serve: "pid", "directory" (its
run directory), "bind" (the RFC 2217 address) and "devices", one object per device with
"serial", "slot", "state" ("serving" or "absent" while unplugged) and "channels", one object
per channel with "channel", "tty" (the link to its pty), "rfc2217_port" (null without
RFC 2217), "client" (who holds it, else null), "rate" (baud), "from_device" and "to_device"
(bytes moved) and "waiting" (bytes the device has not taken yet). A service that did not
answer has only "pid", "directory" and "error". No service running: [] and exit status 0."""


def _verbose_option() -> argparse.ArgumentParser:
    """-v, which each command also takes after its name."""
    options = argparse.ArgumentParser(add_help=False)
    options.add_argument("-v", "--verbose", action="store_true", default=argparse.SUPPRESS,
                         help="log debugging detail to standard error")
    return options


def _json_option(parser: argparse.ArgumentParser, fields: str) -> None:
    parser.add_argument("--json", action="store_true", help="print JSON (fields below)")
    parser.epilog = fields


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="torvak", description="Torvak multi-channel USB serial devices (USB 0483:5750).",
        epilog="torvak COMMAND --help describes a command.",
    )
    parser.add_argument("--version", action="version", version="%(prog)s {}".format(__version__))
    parser.add_argument("-v", "--verbose", dest="verbose_all", action="store_true",
                        help="log debugging detail to standard error, for any command")
    verbose = _verbose_option()
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands")

    def command(name: str, summary: str, **options: Any) -> argparse.ArgumentParser:
        options.setdefault("parents", [verbose])
        return subparsers.add_parser(name, help=summary, description=summary + ".",
                                     formatter_class=argparse.RawDescriptionHelpFormatter, **options)

    p = command("list", "attached devices: serial number, channel count, firmware version")
    _json_option(p, LIST_JSON_FIELDS)
    p.set_defaults(run=run_list)

    p = command("info", "one device: channel count, firmware version, echo round trip")
    p.add_argument("serial", metavar="SERIAL", nargs="?", default="ANY",
                   help="its USB serial number (default: ANY, the first device)")
    p.set_defaults(run=run_info)

    p = command("status", "what torvak serve serves: channels, ttys, ports, clients, bytes moved")
    _json_option(p, STATUS_JSON_FIELDS)
    p.set_defaults(run=run_status)

    p = command("term", "interactive terminal on one channel (Ctrl-] quits)")
    _add_port_options(p)
    p.add_argument("--linger", type=_seconds, default=DEFAULT_LINGER, metavar="SECONDS",
                   help="when standard input is not a terminal: after its end, wait until the line has "
                        "been quiet this long (default %(default)s, at most 10 s in all)")
    p.set_defaults(run=run_term)

    # Everything after the command's name goes to pyserial's miniterm unread (see main).
    p = command("miniterm", "pyserial's miniterm on one channel: torvak miniterm PORT [BAUD] [options]",
                add_help=False, parents=[],
                epilog="PORT may also be a port name, Torvak:SERIAL:Sn. pyserial's options follow.")
    p.add_argument("options", nargs=argparse.REMAINDER, metavar="PORT [BAUD] [OPTIONS]",
                   help="as python -m serial.tools.miniterm takes them")
    p.set_defaults(run=None, subparser=p)

    p = command("send", "write a file to one channel")
    _add_port_options(p)
    p.add_argument("file", metavar="FILE", help="the file to send; - reads standard input")
    _add_progress_options(p)
    p.set_defaults(run=run_send)

    p = command("receive", "read from one channel into a file")
    _add_port_options(p)
    p.add_argument("file", metavar="FILE", help="the file to write; - writes standard output")
    p.add_argument("--size", type=_positive_int, metavar="N", help="stop after N bytes")
    p.add_argument("--idle", type=_positive_seconds, default=DEFAULT_IDLE, metavar="SECONDS",
                   help="stop when the line has been quiet this long after the first byte "
                        "(default %(default)s); before the first byte it waits without limit")
    _add_progress_options(p)
    p.set_defaults(run=run_receive)

    p = command("capture", "write what crosses channels of a device that torvak serve holds to a pcapng file, "
                           "until Ctrl-C")
    p.add_argument("serial", metavar="SERIAL", help="the device's serial number")
    p.add_argument("channels", metavar="CHANNEL", nargs="*", type=_positive_int,
                   help="the channels to capture (default: all of them)")
    p.add_argument("-w", dest="file", metavar="FILE", required=True,
                   help="the pcapng file to write; - writes standard output (torvak capture SERIAL -w - | "
                        "wireshark -k -i -)")
    p.set_defaults(run=run_capture)

    p = command("tap", "show what crosses a channel that torvak serve holds, as it happens, until Ctrl-C")
    p.add_argument("channel", metavar="SERIAL/N", help="the channel, e.g. EMU0001/1")
    p.set_defaults(run=run_tap)

    from torvak_cli import labgrid

    p = command("labgrid-exporter-config", "a labgrid exporter's configuration for the channels torvak serve "
                                           "serves over RFC 2217")
    labgrid.add_arguments(p)
    p.set_defaults(run=lambda args, reports: labgrid.run(args))

    # serve has its own -v.
    p = command("serve", "serve every channel as a tty (and an RFC 2217 port) until stopped", parents=[])
    if sys.platform == "win32":
        # Its ttys, its access checks and its socket files are Linux's own: it says so, whatever it is asked.
        p.set_defaults(run=None, subparser=p, status=False)
    else:
        from torvak_cli.serve import add_arguments

        add_arguments(p)
        p.set_defaults(run=None, subparser=p)
    return parser


def _split_passed_on(argv: List[str]) -> Tuple[List[str], Optional[List[str]]]:
    """(what torvak reads, what it passes on unread): the arguments after ``miniterm``
    are pyserial's, options and --help included."""
    for i, arg in enumerate(argv):
        if not arg.startswith("-"):
            if arg == "miniterm":
                return argv[:i + 1], argv[i + 1:]
            break
    return argv, None


SERVE_NEEDS_LINUX = ("torvak serve needs Linux: it gives each channel as a Linux tty. On Windows, open a channel "
                     "directly as torvak://SERIAL/N (torvak list names them).")


def _configure_logging(verbose: bool) -> None:
    if verbose:
        logging.basicConfig(level=logging.DEBUG, stream=sys.stderr,
                            format="torvak: %(levelname)s: %(name)s: %(message)s")
    else:
        logging.basicConfig(format="torvak: %(message)s", stream=sys.stderr)


def main(argv: Optional[Iterable[str]] = None) -> Union[int, str, None]:
    """The exit status: a number, or (from pyserial's miniterm) a message or None."""
    parser = build_parser()
    argv, passed_on = _split_passed_on(sys.argv[1:] if argv is None else list(argv))
    args = parser.parse_known_args(argv)[0] if sys.platform == "win32" else None
    if args is None or args.command != "serve":  # on Windows, serve's options are not read
        args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 2
    args.verbose = args.verbose_all or getattr(args, "verbose", False)
    if args.command != "serve" or args.status:
        _configure_logging(args.verbose)
    _log.debug("torvak %s, command %s", __version__, args.command)
    if args.command == "serve" and args.status:
        args.run = run_status
    elif args.command == "serve":
        if sys.platform == "win32":
            return SERVE_NEEDS_LINUX
        from torvak_cli.serve import run_serve

        return run_serve(args, args.subparser)
    if args.command == "miniterm":
        from torvak_cli.miniterm import run_miniterm

        return run_miniterm(passed_on or [], args.subparser.format_help())
    message = None
    status = 0
    with recording_reports() as reports:
        try:
            with signals.ending_signals_raise():
                run: Callable[[argparse.Namespace, ReportRecorder], None] = args.run
                run(args, reports)
        except CliError as error:
            message, status = str(error), EXIT_FAILURE
        except KeyboardInterrupt:
            message, status = "interrupted", EXIT_INTERRUPTED
        except Terminated as stop:
            message, status = "terminated by {}".format(signal.Signals(stop.signum).name), 128 + stop.signum
        except ImportError as error:
            message, status = "the zeq_torvak module cannot be loaded: {}".format(error), EXIT_FAILURE
        except Exception as error:  # one line, never a traceback
            message, status = explain(error), EXIT_FAILURE
    if message is not None:
        write_last(sys.stderr, "torvak: {}\n".format(message))
    else:
        # Reports that did not end the command are still worth a look.
        for report in reports.take():
            log_report(report)
    return status
