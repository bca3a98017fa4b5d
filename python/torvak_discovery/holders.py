"""Which other processes have a Torvak device open, as far as /sys and /proc show it."""
import os
import re
from typing import List, Optional, Set, Tuple

from torvak_common.advice import Holder
from torvak_common.identity import PRODUCT_ID, VENDOR_ID

_SYS_USB_DEVICES = "/sys/bus/usb/devices"
_LONGEST_COMMAND = 60


def _attribute(device_dir: str, name: str) -> Optional[str]:
    try:
        with open(os.path.join(device_dir, name)) as attribute:
            return attribute.read().strip()
    except OSError:
        return None


def device_nodes(serial_number: Optional[str]) -> List[str]:
    """The usbfs nodes of the attached Torvak devices with this serial number (of all of
    them when it is None or "ANY")."""
    try:
        entries = sorted(os.listdir(_SYS_USB_DEVICES))
    except OSError:
        return []
    nodes = []
    for entry in entries:
        device_dir = os.path.join(_SYS_USB_DEVICES, entry)
        if _attribute(device_dir, "idVendor") != "{:04x}".format(VENDOR_ID):
            continue
        if _attribute(device_dir, "idProduct") != "{:04x}".format(PRODUCT_ID):
            continue
        if serial_number not in (None, "ANY") and _attribute(device_dir, "serial") != serial_number:
            continue
        bus, address = _attribute(device_dir, "busnum"), _attribute(device_dir, "devnum")
        if bus and address and bus.isdigit() and address.isdigit():
            nodes.append("/dev/bus/usb/{:03d}/{:03d}".format(int(bus), int(address)))
    return nodes


def _identity(path: str) -> Optional[Tuple[int, int]]:
    # Compared by the file the path leads to: /proc shows a descriptor's target under the
    # name it was opened by, which need not be the node's usual path.
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_dev, status.st_ino


_INTERPRETER = re.compile(r"python[0-9.]*$|pypy[0-9.]*$")
# Options of a Python interpreter that take the next word as their value.
_INTERPRETER_VALUES = {"-W", "-X", "--check-hash-based-pycs"}


def command_name(words: List[str]) -> str:
    """A command line as ps names the program: a script run by Python by the script's name
    ("torvak receive ...", not the interpreter's path), a program by its file name, then
    the words it was given."""
    words = [word for word in words if word]
    if not words:
        return "?"
    program, rest = os.path.basename(words[0]), words[1:]
    if _INTERPRETER.match(program):
        while rest and rest[0].startswith("-") and rest[0] not in ("-", "-m", "-c"):
            rest = rest[2:] if rest[0] in _INTERPRETER_VALUES else rest[1:]
        if rest and rest[0] == "-m" and len(rest) > 1:
            program, rest = "{} -m {}".format(program, rest[1]), rest[2:]
        elif rest and rest[0] not in ("-", "-c"):
            program, rest = os.path.basename(rest[0]), rest[1:]
    # Another user's process chose these words: nothing in them may steer a terminal or a log.
    text = "".join(c if c.isprintable() else "?" for c in " ".join([program] + rest))
    return text if len(text) <= _LONGEST_COMMAND else text[: _LONGEST_COMMAND - 3] + "..."


def _command(pid: str) -> str:
    try:
        with open("/proc/{}/cmdline".format(pid), "rb") as cmdline:
            words = cmdline.read().split(b"\0")
    except OSError:
        return "?"
    return command_name([word.decode("utf-8", "replace") for word in words])


def _emulates(pid: str) -> bool:
    """True for a process that emulates the device (it has umockdev's test-bed library
    loaded, not only its preload): it holds the node as the device's other end, not as a
    user of it."""
    try:
        with open("/proc/{}/maps".format(pid), "rb") as maps:
            return b"/libumockdev.so" in maps.read()
    except OSError:
        return False


def holders(serial_number: Optional[str]) -> List[Holder]:
    """Other processes with a descriptor open on the device's node; the ones this user may
    not look into, and the device's emulator, are left out."""
    wanted: Set[Tuple[int, int]] = set()
    for node in device_nodes(serial_number):
        identity = _identity(node)
        if identity is not None:
            wanted.add(identity)
    if not wanted:
        return []
    found = []
    own = str(os.getpid())
    try:
        pids = [entry for entry in os.listdir("/proc") if entry.isdigit() and entry != own]
    except OSError:
        return []
    for pid in pids:
        fd_dir = "/proc/{}/fd".format(pid)
        try:
            descriptors = os.listdir(fd_dir)
        except OSError:
            continue
        if any(_identity(os.path.join(fd_dir, fd)) in wanted for fd in descriptors) and not _emulates(pid):
            found.append(Holder(int(pid), _command(pid)))
    return sorted(found)
