"""What ``torvak serve`` and its clients agree on, used by both sides: the run directory
DIR, the state file DIR/serve.json (which devices it holds, their ttys and RFC 2217
ports), the status socket DIR/serve.sock (one JSON request line, one JSON answer line),
the numbering of RFC 2217 ports, the flow-control window, the echo probe, and which
serial numbers can name a path.

Clients look for DIR in $TORVAK_RUN_DIR when that is set, else in /run/torvak, then in
$XDG_RUNTIME_DIR/torvak. A state file whose service is gone, that cannot be read, or that
someone else could have written (see trusted_state) is ignored: the device is then used
directly.
"""
import errno
import ipaddress
import json
import logging
import os
import re
import socket
import stat
import sys
import tempfile
from typing import Any, Dict, List, NamedTuple, Optional, Sequence

from .names import match_serial_number
from .refusals import printable

if sys.platform != "win32":
    import fcntl

STATE_FILE = "serve.json"
STATUS_SOCKET = "serve.sock"
LOCK_FILE = "serve.lock"  # held (flock) by the one service of a run directory
CHANNELS_PER_SLOT = 16  # RFC 2217 ports per device slot
MAX_TCP_PORT = 65535
# Bytes in flight each way between a client and the service: the service stops reading a
# client while this much waits for the device, and a client's socket buffers about as much.
FLOW_WINDOW = 64 * 1024
ECHO_PROBE = "torvak echo check 0123456789"  # the device must hand back the same text
# The RFC 2217 SIGNATURE a routed torvak:// port sends, so that the service names it as one.
ROUTED_SIGNATURE = b"torvak_serial routed torvak:// port"
_PATH_SERIAL = re.compile(r"[A-Z0-9][A-Z0-9._-]*")
STATUS_TIMEOUT = 5.0  # seconds a status request may take (an echo of the device included)
_LONGEST_ANSWER = 1 << 20
_LONGEST_STATE = 1 << 20
LOCAL_SOCKET_SUFFIX = ".sock"  # DIR/SERIAL/N.sock: channel N over RFC 2217 on a Unix socket
_log = logging.getLogger("torvak.served")


class ServedDevice(NamedTuple):
    """A device that a running service holds, as its state file describes it."""

    directory: str  # the service's DIR
    pid: int
    serial_number: str
    slot: int
    channel_count: int
    ttys: Dict[int, str]  # channel -> DIR/SERIAL/N
    rfc2217_ports: Dict[int, int]  # channel -> TCP port on 127.0.0.1 (when served over RFC 2217)
    sockets: Dict[int, str]  # channel -> DIR/SERIAL/N.sock, RFC 2217 on a Unix socket
    bind: Optional[str]
    # False while the service waits for the device to be plugged in (again): a client waits
    # for the service to serve it, rather than take the device from it.
    present: bool = True

    def rfc2217_address(self, channel: int) -> Optional[str]:
        """host:port a client of this machine connects to for `channel`, or None."""
        port = self.rfc2217_ports.get(channel)
        if port is None:
            return None
        host = self.bind if self.bind not in (None, "0.0.0.0", "::") else "127.0.0.1"
        return "[{}]:{}".format(host, port) if ":" in host else "{}:{}".format(host, port)


def serial_names_path(serial_number: Optional[str]) -> bool:
    """Whether a device's serial number can name its ports, torvak://SERIAL/N and the
    service's ttys DIR/SERIAL/N: upper-case letters, digits, and ".", "_", "-" after the
    first; not ANY, which names whichever device is found first."""
    return serial_number is not None and serial_number != "ANY" and _PATH_SERIAL.fullmatch(serial_number) is not None


def rfc2217_port(base: int, slot: int, channel: int) -> Optional[int]:
    """The TCP port of `channel` of the device in `slot` when the service serves RFC 2217
    from `base`; None for a channel beyond CHANNELS_PER_SLOT."""
    if not 0 < channel <= CHANNELS_PER_SLOT:
        return None
    return base + CHANNELS_PER_SLOT * slot + channel - 1


def service_directory() -> Optional[str]:
    """Where a service runs without --pty-dir: $TORVAK_RUN_DIR, else /run/torvak for root,
    else $XDG_RUNTIME_DIR/torvak (None when that is not set either). Clients find it
    there: it is one of run_directories()."""
    chosen = os.environ.get("TORVAK_RUN_DIR")
    if chosen:
        return chosen
    if os.geteuid() == 0:
        return "/run/torvak"
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    return os.path.join(runtime, "torvak") if runtime else None


def run_directories() -> List[str]:
    """Where clients look for a service, in order: none on Windows, where no service runs."""
    if sys.platform == "win32":
        return []
    chosen = os.environ.get("TORVAK_RUN_DIR")
    if chosen:
        return [chosen]
    found = ["/run/torvak"]
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime:
        found.append(os.path.join(runtime, "torvak"))
    return found


class DeviceEntry(NamedTuple):
    """A served device as the state file holds it."""

    serial_number: str
    slot: int
    channel_count: int
    ttys: Dict[int, str]  # channel -> DIR/SERIAL/N
    rfc2217_ports: Dict[int, int]  # channel -> TCP port
    sockets: Dict[int, str] = {}  # channel -> DIR/SERIAL/N.sock
    present: bool = True  # False: served, but unplugged or not open yet


def _entry_json(entry: DeviceEntry) -> Dict[str, Any]:
    return {
        "serial": entry.serial_number,
        "slot": entry.slot,
        "channels": entry.channel_count,
        "ttys": {str(n): path for n, path in entry.ttys.items()},
        "rfc2217_ports": {str(n): port for n, port in entry.rfc2217_ports.items()},
        "sockets": {str(n): path for n, path in entry.sockets.items()},
        "present": entry.present,
    }


def _entry_from_json(entry: Any) -> DeviceEntry:
    return DeviceEntry(
        serial_number=str(entry["serial"]),
        slot=int(entry["slot"]),
        channel_count=int(entry["channels"]),
        ttys={int(n): str(path) for n, path in entry.get("ttys", {}).items()},
        rfc2217_ports={int(n): int(port) for n, port in entry.get("rfc2217_ports", {}).items()},
        sockets={int(n): str(path) for n, path in entry.get("sockets", {}).items()},
        present=entry.get("present", True) is True,
    )


def write_state(directory: str, pid: int, bind: Optional[str], devices: Sequence[DeviceEntry],
                mode: int = 0o644, gid: Optional[int] = None, every_device: bool = False) -> None:
    """Replaces DIR/serve.json at once: readers see the old file or the new one, whole.
    `every_device`: the service serves every device plugged in, not only those listed."""
    state = {"pid": pid, "bind": bind, "devices": [_entry_json(entry) for entry in devices],
             "every_device": every_device}
    fd, temporary = tempfile.mkstemp(prefix=".serve.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "w") as out:
            json.dump(state, out, indent=1, sort_keys=True)
            out.write("\n")
            out.flush()
            if gid is not None:
                try:
                    os.fchown(out.fileno(), -1, gid)
                except OSError:  # a group the service's user is not in
                    pass
            os.fchmod(out.fileno(), mode)
            os.fsync(out.fileno())
        os.replace(temporary, os.path.join(directory, STATE_FILE))
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def service_running(directory: str) -> bool:
    """Whether a service runs in `directory`: one holds the lock on DIR/serve.lock for its
    whole life (a pid could be a process that someone else forked until it got that number).
    The lock is probed with a shared lock, given back at once; where the lock file cannot
    be had (it is the service user's alone), the status socket answering a connection
    says so."""
    if sys.platform == "win32":
        return False
    try:
        fd = os.open(os.path.join(directory, LOCK_FILE), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return _status_answers(directory)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode) or why_untrusted(info) is not None:
            return False
        try:
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            return True
        except OSError:
            return _status_answers(directory)
        return False
    finally:
        os.close(fd)  # gives the probe's lock back


def _status_answers(directory: str) -> bool:
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        sock.settimeout(1.0)
        try:
            sock.connect(os.path.join(directory, STATUS_SOCKET))
        except OSError:
            return False
    return True


def why_untrusted(info: os.stat_result) -> Optional[str]:
    """Why a file or directory with this stat could have been written by someone other than
    root or this process's user (None when it could not), as OpenSSH's StrictModes judges."""
    if info.st_uid not in (0, os.geteuid()):
        return "it belongs to user {}".format(info.st_uid)
    if info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        return "others can write it (mode {:o})".format(stat.S_IMODE(info.st_mode))
    return None


def changeable_above(path: str) -> Optional[str]:
    """The first place on the way to `path` that someone other than root or this user could
    change (None when there is none): a link or directory of theirs, or a directory others
    can write without the sticky bit that keeps them from what is not theirs (/tmp). Both
    the path as written and the one its links lead to are looked at, so that nobody can
    point `path` elsewhere, or rename it away, after a check of it."""
    for way in (os.path.abspath(path), os.path.realpath(path)):
        place = way
        while True:
            parent = os.path.dirname(place)
            info = os.lstat(place)
            if info.st_uid not in (0, os.geteuid()):
                return place
            if place != way and stat.S_ISDIR(info.st_mode) and (
                    info.st_mode & (stat.S_IWGRP | stat.S_IWOTH) and not info.st_mode & stat.S_ISVTX):
                return place
            if parent == place:
                break
            place = parent
    return None


def _loopback(host: Any) -> bool:
    if host is None or host in ("0.0.0.0", "::"):
        return True  # served on every address, reached on 127.0.0.1
    try:
        return ipaddress.ip_address(str(host).split("%")[0]).is_loopback
    except ValueError:
        return False


def trusted_state(directory: str) -> Optional[Dict[str, Any]]:
    """DIR/serve.json as it stands, when only root or this user could have written it: the
    directory and the file belong to one of them and nobody else may write them, and every
    address in it is loopback or a Unix socket inside DIR. None otherwise (said at debug
    level), or when there is no such file or it makes no sense."""
    path = os.path.join(directory, STATE_FILE)
    try:
        dir_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        why = why_untrusted(os.fstat(dir_fd))
        if why is None:
            above = changeable_above(directory)
            if above is not None:
                why = "{} can be changed by others".format(above)
        if why is not None:
            _log.debug("%s ignored: its directory cannot be trusted: %s", path, why)
            return None
        try:
            fd = os.open(STATE_FILE, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=dir_fd)
        except OSError as error:
            if error.errno != errno.ENOENT:
                _log.debug("%s ignored: %s", path, error.strerror)
            return None
        with os.fdopen(fd, "rb") as state_file:
            info = os.fstat(state_file.fileno())
            why = "it is not a plain file" if not stat.S_ISREG(info.st_mode) else why_untrusted(info)
            if why is not None:
                _log.debug("%s ignored: %s", path, why)
                return None
            state: Dict[str, Any] = json.loads(state_file.read(_LONGEST_STATE).decode())
        if not isinstance(state["pid"], int) or not isinstance(state["devices"], list):
            return None
        if not _loopback(state.get("bind")):
            _log.debug("%s ignored: it names address %s, not a loopback one", path, state.get("bind"))
            return None
        inside = os.path.join(os.path.realpath(directory), "")
        for entry in state["devices"]:
            for socket_path in entry.get("sockets", {}).values():
                if not os.path.realpath(str(socket_path)).startswith(inside):
                    _log.debug("%s ignored: it names socket %s outside its directory", path, socket_path)
                    return None
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return None
    finally:
        os.close(dir_fd)
    return state


def read_state(directory: str) -> Optional[Dict[str, Any]]:
    """The state of the service running in `directory`, or None when there is none (no
    file, one that cannot be trusted, read or makes no sense, or no service holds its lock)."""
    state = trusted_state(directory)
    return state if state is not None and service_running(directory) else None


def _served_devices(directory: str, state: Dict[str, Any]) -> List[ServedDevice]:
    found = []
    for entry in state["devices"]:
        try:
            known = _entry_from_json(entry)
            found.append(ServedDevice(directory, state["pid"], *known[:-1], bind=state.get("bind"),
                                      present=known.present))
        except (KeyError, TypeError, ValueError, AttributeError):
            continue
    return found


def find_served(serial_number: str, attached: Optional[Sequence[Optional[str]]] = None) -> Optional[ServedDevice]:
    """The running service's entry for the device with this serial number (letter case
    does not matter), or None when no running service holds it. For "ANY",
    `attached` (the serial numbers on the bus, in the order the module finds them) says
    which device that is: the service's entry only when it holds the first one."""
    wanted = serial_number
    if serial_number.upper() == "ANY":
        if not attached or attached[0] is None:
            return None
        wanted = attached[0]
    for directory in run_directories():
        state = read_state(directory)
        if state is None:
            continue
        devices = {device.serial_number: device for device in _served_devices(directory, state)}
        name = match_serial_number(wanted, list(devices))
        if name is not None:
            return devices[name]
    return None


def running_services() -> List[Dict[str, Any]]:
    """The state of every running service the client would find, with its directory."""
    found = []
    seen = set()
    for directory in run_directories():
        state = read_state(directory)
        if state is None or state["pid"] in seen:
            continue
        seen.add(state["pid"])
        found.append(dict(state, directory=directory))
    return found


class StatusError(OSError):
    """The status socket could not be asked, or its answer made no sense."""


def ask_service(directory: str, request: Dict[str, Any], timeout: float = STATUS_TIMEOUT) -> Dict[str, Any]:
    """The answer of the service in `directory` to one request; StatusError when it gives
    none, or an answer with "error" set."""
    path = os.path.join(directory, STATUS_SOCKET)
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(timeout)
            sock.connect(path)
            sock.sendall(json.dumps(request).encode() + b"\n")
            answer = bytearray()
            while not answer.endswith(b"\n"):
                part = sock.recv(65536)
                if not part:
                    break
                answer += part
                if len(answer) > _LONGEST_ANSWER:
                    raise StatusError(errno.EMSGSIZE, "the answer of torvak serve at {} is too long".format(path))
    except socket.timeout:
        raise StatusError(errno.ETIMEDOUT, "torvak serve at {} did not answer within {:g} s".format(path, timeout)) from None
    except StatusError:
        raise
    except OSError as error:
        raise StatusError(error.errno, "cannot ask torvak serve at {}: {}".format(path, error.strerror or error)) from None
    try:
        reply = json.loads(answer.decode())
        if not isinstance(reply, dict):
            raise ValueError("not an object")
    except ValueError:
        raise StatusError(errno.EPROTO, "torvak serve at {} gave an answer that makes no sense".format(path)) from None
    if reply.get("error"):
        raise StatusError(errno.EIO, printable(str(reply["error"])))
    return reply
