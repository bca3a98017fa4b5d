"""``torvak serve``: each channel of the attached devices as a tty and an RFC 2217 port."""
import argparse
import ipaddress
import logging
import os
import signal
import sys
import threading
import time
from typing import NoReturn

from torvak_common.served import CHANNELS_PER_SLOT, MAX_TCP_PORT, rfc2217_port, service_directory
from torvak_discovery.module_log import log_module_reports, reader_failures_quiet

from torvak_cli.serve.access import make_run_directory, serving_group
from torvak_cli.serve.port_map import PortMap, parse_entry, read_file
from torvak_cli.serve.run_lock import DirectoryTaken, lock_run_directory

_log = logging.getLogger("torvak.serve")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--device", action="append", default=[], metavar="SERIAL",
                        help="serve this device (repeatable; slots in this order); default: every device, "
                             "in the order first seen")
    parser.add_argument("--pty-dir", metavar="DIR",
                        help="where the links DIR/SERIAL/N to the channels' ttys go (default: $TORVAK_RUN_DIR, "
                             "else /run/torvak for root, else $XDG_RUNTIME_DIR/torvak)")
    parser.add_argument("--group", default="dialout", metavar="GROUP",
                        help="group of the ttys, which get mode 0660 (default %(default)s)")
    parser.add_argument("--rfc2217-port", type=int, metavar="BASE",
                        help="serve channel N of the device in slot K over RFC 2217 on TCP port "
                             "BASE + 16*K + N - 1 (default: no RFC 2217 but for the devices --port-map names)")
    parser.add_argument("--port-map", action="append", default=[], metavar="SERIAL=BASE",
                        help="serve the device SERIAL over RFC 2217 on ports BASE to BASE + 15, wherever it is "
                             "found and whatever else is plugged in (repeatable)")
    parser.add_argument("--port-map-file", metavar="FILE",
                        help="more --port-map entries, one SERIAL=BASE a line (# starts a comment)")
    parser.add_argument("--bind", default="127.0.0.1", metavar="ADDR",
                        help="address the RFC 2217 ports listen on (default %(default)s); any other than "
                             "loopback needs --allow: RFC 2217 has no authentication")
    parser.add_argument("--allow", action="append", default=[], metavar="CIDR",
                        help="network whose clients may connect (repeatable); users of this machine may "
                             "when they may open the ttys")
    parser.add_argument("--rfc2217-open", action="store_true",
                        help="let every user of this machine use the RFC 2217 ports, not only those who may "
                             "open the ttys")
    parser.add_argument("-v", "--verbose", action="store_true", help="log debugging detail")
    parser.add_argument("--status", action="store_true",
                        help="serve nothing: show what the running service serves (as torvak status does)")


def _exit_when_a_stop_hangs() -> None:
    """A signal stops the service in any state: should the loop not have ended some time
    after the first SIGTERM, SIGINT or SIGHUP (stuck in a call, so that the signal's handler has
    not even run), this thread ends the process. It sees the signal through the wakeup
    descriptor, which the interpreter writes to as the signal arrives."""
    from torvak_cli.serve import devpts, service

    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    signal.set_wakeup_fd(write_end, warn_on_full_buffer=False)

    def watch() -> NoReturn:
        os.read(read_end, 1)
        limit = service.STOP_LIMIT + service.ABANDON_LIMIT + 2.0
        time.sleep(limit)
        os.write(2, "torvak serve: ERROR: not stopped {:g} s after the signal; exiting\n".format(limit).encode())
        try:
            devpts.abandon()
        finally:
            os._exit(1)

    threading.Thread(target=watch, name="torvak-serve-stop-watch", daemon=True).start()


def run_serve(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    """Runs the service until SIGTERM, SIGINT or SIGHUP; the exit status."""
    logging.basicConfig(
        level=logging.DEBUG if args.verbose else logging.INFO,
        format="torvak serve: %(levelname)s: %(message)s",
        stream=sys.stderr,
    )
    try:
        networks = [ipaddress.ip_network(text, strict=False) for text in args.allow]
        bind_address = ipaddress.ip_address(args.bind)
    except ValueError as error:
        parser.error(str(error))
    if not bind_address.is_loopback:
        if not networks:
            parser.error("--bind {} is reachable from other machines and RFC 2217 has no "
                         "authentication: name the clients' networks with --allow CIDR".format(args.bind))
        _log.warning("RFC 2217 ports listen on %s, without authentication; clients from %s may connect",
                     args.bind, ", ".join(args.allow))
    if args.rfc2217_port is not None:
        if not 0 < args.rfc2217_port <= MAX_TCP_PORT:
            parser.error("--rfc2217-port must be a TCP port number")
        # The devices named get a slot each; without any, the first one found takes slot 0.
        slot = max(len(set(args.device)), 1) - 1
        last = rfc2217_port(args.rfc2217_port, slot, CHANNELS_PER_SLOT)
        if last is not None and last > MAX_TCP_PORT:
            parser.error("--rfc2217-port {} would put channel {} of slot {} on port {}, beyond {}; the highest "
                         "base is {}".format(args.rfc2217_port, CHANNELS_PER_SLOT, slot, last, MAX_TCP_PORT,
                                             args.rfc2217_port - (last - MAX_TCP_PORT)))
    try:
        entries = [parse_entry(text) for text in args.port_map]
        if args.port_map_file:
            entries += read_file(args.port_map_file)
        port_map = PortMap(entries)
    except (OSError, ValueError) as error:
        parser.error(str(error))
    if args.rfc2217_open:
        _log.warning("--rfc2217-open: every user of this machine may use the RFC 2217 ports, whatever the "
                     "ttys' group")
    pty_dir = args.pty_dir or service_directory()
    if pty_dir is None:
        parser.error("no --pty-dir given and neither TORVAK_RUN_DIR nor XDG_RUNTIME_DIR is set")
    gid = serving_group(args.group)

    from torvak_cli.serve.service import Service

    try:
        make_run_directory(pty_dir)
        lock = lock_run_directory(pty_dir)  # held until the process ends
        service = Service(pty_dir, gid, args.device, args.rfc2217_port, args.bind, networks, args.rfc2217_open,
                          port_map)
    except (OSError, ValueError, DirectoryTaken) as error:
        _log.error("%s", error)
        return 1
    # The reader's report that it stopped is said again by the slot, in its own words.
    log_module_reports(reader_failures_quiet)
    # A hang-up (the terminal it ran in closed) ends it as SIGTERM does, cleaning up.
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, service.request_stop)
    _exit_when_a_stop_hangs()
    try:
        ended = service.run()
    except ValueError as error:
        _log.error("%s", error)
        return 1
    if not ended or service.failure is not None:
        # A worker stuck in USB, or one that died, may hold the module's reader threads,
        # which the interpreter would wait for at exit.
        _log.error("stopped%s", ", leaving a device worker stuck" if not ended else ": {}".format(service.failure))
        logging.shutdown()
        sys.stdout.flush()
        os._exit(1)
    _log.info("stopped")
    os.close(lock)
    return 0
