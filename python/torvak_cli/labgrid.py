"""``torvak labgrid-exporter-config``: the configuration of a labgrid exporter for what the
running ``torvak serve`` serves: one group per device, named after its serial number, with
one NetworkSerialPort per channel that has an RFC 2217 port (the host others reach it by,
the port, and the rate in force). With --output it keeps the file up to date as devices
come and go, so that an exporter started on it sees the lab as it is.

labgrid reads the file as a Jinja2 template whose line statements start with "#": the
comments written here start with "##", which labgrid's loader drops."""
import argparse
import contextlib
import ipaddress
import json
import logging
import os
import socket
import sys
import tempfile
import time
from typing import IO, Any, Dict, List, Optional

from torvak_common import StatusError, advice, ask_service, running_services
from torvak_common.status import ServiceStatus, status_request

from torvak_cli.failures import CliError
from torvak_cli.signals import Terminated

_log = logging.getLogger("torvak.labgrid")

Groups = Dict[str, Dict[str, Dict[str, Any]]]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--host", metavar="HOST",
                        help="the host name or address other machines reach the ports by (default: the address "
                             "torvak serve --bind names, or this machine's name when it listens on every address)")
    parser.add_argument("--output", metavar="FILE",
                        help="write FILE instead, and rewrite it whenever the devices served change, until "
                             "stopped (the exporter reads it when it starts)")
    parser.add_argument("--interval", type=float, default=1.0, metavar="SECONDS",
                        help="with --output, how often the service is asked (default %(default)s)")


def reachable_host(bind: str) -> str:
    """The host name others use for ports that listen on `bind`."""
    try:
        if ipaddress.ip_address(bind).is_unspecified:
            return socket.getfqdn()
    except ValueError:
        pass
    return bind


def exporter_groups(answers: List[ServiceStatus], host: Optional[str] = None) -> Groups:
    """Each device being served, as a labgrid resource group."""
    groups: Groups = {}
    for answer in answers:
        where = host or reachable_host(answer.get("bind", "127.0.0.1"))
        for device in answer.get("devices", []):
            if device.get("state") != "serving":
                continue
            group: Dict[str, Dict[str, Any]] = {}
            for channel in device.get("channels", []):
                port = channel.get("rfc2217_port")
                if port is not None:
                    group["channel{}".format(channel["channel"])] = {
                        "cls": "NetworkSerialPort", "host": where, "port": port,
                        "speed": channel.get("rate", 115200), "protocol": "rfc2217"}
            if group:
                groups[device["serial"]] = group
            else:
                _log.warning("%s has no RFC 2217 ports: start torvak serve with --rfc2217-port or --port-map "
                             "%s=BASE", device["serial"], device["serial"])
    return groups


def render(groups: Groups) -> str:
    """The groups as labgrid's exporter reads them (YAML; strings as JSON writes them, which
    YAML reads the same)."""
    lines = ["## written by torvak labgrid-exporter-config: the channels torvak serve serves over RFC 2217"]
    if not groups:
        lines.append("{}")
    for serial in sorted(groups):
        lines.append("{}:".format(json.dumps(serial)))
        for name in sorted(groups[serial], key=lambda n: int(n[len("channel"):])):
            lines.append("  {}:".format(name))
            lines.extend("    {}: {}".format(key, json.dumps(value)) for key, value in groups[serial][name].items())
    return "\n".join(lines) + "\n"


def served_now() -> List[ServiceStatus]:
    """The answers of the running services; CliError when none runs or none answers."""
    services = running_services()
    if not services:
        unseen = advice.unseen_services()
        raise CliError(advice.not_in_group(unseen[0]) if unseen else "no torvak serve is running")
    answers = []
    for state in services:
        try:
            answers.append(ask_service(state["directory"], status_request()))
        except StatusError as error:
            _log.warning("the torvak serve in %s gave no answer: %s", state["directory"], error.strerror or error)
    if not answers:
        raise CliError("no torvak serve answered")
    return answers  # type: ignore[return-value]


def _replace(path: str, text: str) -> None:
    """Writes `path` whole or not at all, so that an exporter never reads half of it."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".torvak-", dir=directory)
    try:
        with os.fdopen(fd, "w") as out:
            out.write(text)
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        # A stop (SIGTERM) can land just after the file took its place: nothing to remove then.
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def _keep_written(path: str, host: Optional[str], interval: float, err: IO[str]) -> None:
    """Rewrites `path` whenever what is served changes, until SIGINT or SIGTERM."""
    written = None
    try:
        while True:
            why = ""
            try:
                groups = exporter_groups(served_now(), host)
            except CliError as error:
                # Between a service's end and the next start the lab has nothing to export.
                groups, why = {}, " ({})".format(error)
            text = render(groups)
            if text != written:
                _replace(path, text)
                err.write("torvak: wrote {}: {}{}\n".format(path, ", ".join(sorted(groups)) or "no device", why))
                err.flush()
                written = text
            time.sleep(interval)
    except (KeyboardInterrupt, Terminated):
        return


def run(args: argparse.Namespace, out: IO[str] = sys.stdout) -> None:
    if args.output is None:
        out.write(render(exporter_groups(served_now(), args.host)))
        return
    if args.interval <= 0:
        raise CliError("--interval must be above 0")
    _keep_written(args.output, args.host, args.interval, sys.stderr)
