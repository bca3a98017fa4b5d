"""Entry point of the ``torvak`` command (``torvak --help``)."""
import argparse
import contextlib
import logging
import os
import signal
import sys

from torvak_common import check_baudrate, explain
from torvak_common.module_log import log_report

from torvak_cli import signals
from torvak_cli.failures import CliError
from torvak_cli.reports import recording_reports
from torvak_cli.signals import Terminated

EXIT_FAILURE = 1
EXIT_INTERRUPTED = 128 + signal.SIGINT
# Seconds a port read waits when nothing has arrived: how often the loops look at the
# clock, the keyboard and the reader's health.
POLL_TIMEOUT = 0.05
DEFAULT_BAUD = 9600
DEFAULT_IDLE = 2.0
DEFAULT_LINGER = 0.5
PORT_HELP = (
    "port name Torvak:SERIAL:Sn or URL torvak://SERIAL/N; SERIAL may be ANY (the first device), e.g. Torvak:ANY:S1"
)


def opened_port(args):
    """``with opened_port(args) as port:`` the open port, closed on every way out."""
    from torvak_cli.devices import open_port

    return signals.opened(lambda: open_port(args.port, args.baud, POLL_TIMEOUT), lambda port: port.close())


def write_last(stream, text):
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


def _progress_wanted(args, stream):
    if args.progress is not None:
        return args.progress
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def run_list(args, reports):
    from torvak_cli.queries import list_devices

    list_devices(sys.stdout, reports)


def run_info(args, reports):
    from torvak_cli.queries import show_info

    show_info(args.serial, sys.stdout)


def run_status(args, reports):
    from torvak_cli.status import show_status

    show_status(sys.stdout)


def run_term(args, reports):
    from torvak_cli import terminal

    sys.stdout.flush()
    stdin = sys.stdin.fileno()
    with opened_port(args) as port:
        if os.isatty(stdin):
            banner = "--- {} at {} baud; Ctrl-] quits ---\n".format(port.port, args.baud)
        else:
            banner = "--- {} at {} baud; sending standard input ---\n".format(port.port, args.baud)
        terminal.run(port, stdin, sys.stdout.fileno(), reports, banner, args.linger)
    write_last(reports.real, "\n--- closed ---\n")


def run_send(args, reports):
    from torvak_cli import transfer
    from torvak_cli.progress import ProgressBar

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
        name = port.port
        progress = ProgressBar(reports.real, total, _progress_wanted(args, reports.real))
        count, seconds = transfer.send(port, source, total, progress)
    write_last(reports.real, transfer.summary("sent", count, name, seconds) + "\n")


def run_receive(args, reports):
    from torvak_cli import transfer
    from torvak_cli.progress import ProgressBar

    with contextlib.ExitStack() as stack:
        # The port first: a file is not truncated for a port that cannot be opened.
        port = stack.enter_context(opened_port(args))
        name = port.port
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


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: {!r}".format(text)) from None
    if value <= 0:
        raise argparse.ArgumentTypeError("must be above 0: {}".format(value))
    return value


def _baudrate(text):
    try:
        return check_baudrate(int(text) if text.lstrip("+-").isdigit() else text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number of seconds: {!r}".format(text)) from None
    if not value >= 0:
        raise argparse.ArgumentTypeError("must be 0 or above: {}".format(text))
    return value


def _positive_seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number of seconds: {!r}".format(text)) from None
    if not value > 0:
        raise argparse.ArgumentTypeError("must be above 0: {}".format(text))
    return value


def _add_port_options(parser):
    parser.add_argument("port", metavar="PORT", help=PORT_HELP)
    parser.add_argument(
        "--baud", type=_baudrate, default=DEFAULT_BAUD, metavar="N", help="baud rate (default %(default)s)"
    )


def _add_progress_options(parser):
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--progress", dest="progress", action="store_const", const=True, default=None,
                       help="draw the progress bar (default: when standard error is a terminal)")
    group.add_argument("--no-progress", dest="progress", action="store_const", const=False,
                       help="never draw the progress bar")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="torvak", description="Torvak multi-channel USB serial devices (USB 0483:5750)."
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    p = commands.add_parser("list", help="attached devices: serial number, channel count, firmware version")
    p.set_defaults(run=run_list)

    p = commands.add_parser("info", help="one device: channel count, firmware version, echo round trip")
    p.add_argument("serial", metavar="SERIAL", nargs="?", default="ANY",
                   help="its USB serial number (default: ANY, the first device)")
    p.set_defaults(run=run_info)

    p = commands.add_parser("status", help="what torvak serve serves: channels, ttys, ports, clients, bytes moved")
    p.set_defaults(run=run_status)

    p = commands.add_parser("term", help="interactive terminal on one channel (Ctrl-] quits)")
    _add_port_options(p)
    p.add_argument("--linger", type=_seconds, default=DEFAULT_LINGER, metavar="SECONDS",
                   help="when standard input is not a terminal: after its end, wait until the line has "
                        "been quiet this long (default %(default)s, at most 10 s in all)")
    p.set_defaults(run=run_term)

    p = commands.add_parser("miniterm", add_help=False,
                            help="pyserial's miniterm on one channel: torvak miniterm PORT [BAUD] [options]")
    p.add_argument("options", nargs=argparse.REMAINDER, metavar="PORT [BAUD] [OPTIONS]",
                   help="as python -m serial.tools.miniterm takes them; --help lists them")
    p.set_defaults(run=None)

    p = commands.add_parser("send", help="write a file to one channel")
    _add_port_options(p)
    p.add_argument("file", metavar="FILE", help="the file to send; - reads standard input")
    _add_progress_options(p)
    p.set_defaults(run=run_send)

    p = commands.add_parser("receive", help="read from one channel into a file")
    _add_port_options(p)
    p.add_argument("file", metavar="FILE", help="the file to write; - writes standard output")
    p.add_argument("--size", type=_positive_int, metavar="N", help="stop after N bytes")
    p.add_argument("--idle", type=_positive_seconds, default=DEFAULT_IDLE, metavar="SECONDS",
                   help="stop when the line has been quiet this long after the first byte "
                        "(default %(default)s); before the first byte it waits without limit")
    _add_progress_options(p)
    p.set_defaults(run=run_receive)

    from torvak_cli.serve import add_arguments

    p = commands.add_parser("serve", help="serve every channel as a tty (and an RFC 2217 port) until stopped")
    add_arguments(p)
    p.set_defaults(run=None, subparser=p)
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "serve" and args.status:
        args.run = run_status
    elif args.command == "serve":
        from torvak_cli.serve import run_serve

        return run_serve(args, args.subparser)
    if args.command == "miniterm":
        from torvak_cli.miniterm import run_miniterm

        return run_miniterm(args.options)
    logging.basicConfig(format="torvak: %(message)s", stream=sys.stderr)
    message = None
    status = 0
    with recording_reports() as reports:
        try:
            with signals.ending_signals_raise():
                args.run(args, reports)
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
