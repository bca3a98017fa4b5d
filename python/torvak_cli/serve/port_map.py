"""Where a device's RFC 2217 ports are: a port map pins a device, by its serial number, to a
block of CHANNELS_PER_SLOT ports (--port-map SERIAL=BASE, --port-map-file FILE), so that a
lab's configuration stays valid across restarts, replugs and other devices coming and
going; a device the map does not name gets its slot's block from --rfc2217-port, as
without a map."""
import logging
from typing import Dict, Iterable, List, Optional, Tuple

from torvak_common.served import CHANNELS_PER_SLOT, MAX_TCP_PORT, rfc2217_port, serial_names_path

_log = logging.getLogger("torvak.serve")


class PortMapError(ValueError):
    """A port map that cannot be used; the text says which entry and why."""


def parse_entry(text: str, where: str = "--port-map") -> Tuple[str, int]:
    """SERIAL=BASE (or SERIAL BASE) as (serial number, first port)."""
    serial, sep, base = text.replace("=", " ", 1).partition(" ")
    serial, base = serial.strip(), base.strip()
    if not sep or not serial or not base:
        raise PortMapError("{}: {!r} is not SERIAL=BASE".format(where, text))
    if not serial_names_path(serial):
        raise PortMapError("{}: {!r} is not a device's serial number (upper-case letters, digits, '.', '_', "
                           "'-')".format(where, serial))
    try:
        first = int(base)
    except ValueError:
        raise PortMapError("{}: {!r} is not a TCP port number".format(where, base)) from None
    if not 0 < first <= MAX_TCP_PORT - CHANNELS_PER_SLOT + 1:
        raise PortMapError("{}: ports {}-{} of {} are not all TCP ports".format(
            where, first, first + CHANNELS_PER_SLOT - 1, serial))
    return serial, first


def read_file(path: str) -> List[Tuple[str, int]]:
    """The entries of a port map file: one SERIAL=BASE a line; blank lines and lines that
    start with # are left out."""
    entries = []
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            line = line.strip()
            if line and not line.startswith("#"):
                entries.append(parse_entry(line, "{}:{}".format(path, number)))
    return entries


def _overlap(a: int, b: int) -> bool:
    return abs(a - b) < CHANNELS_PER_SLOT


class PortMap:
    """Serial number -> first port of its block; no two blocks overlap."""

    def __init__(self, entries: Iterable[Tuple[str, int]] = ()) -> None:
        self.blocks: Dict[str, int] = {}
        for serial, first in entries:
            if serial in self.blocks and self.blocks[serial] != first:
                raise PortMapError("{} is mapped twice, to {} and to {}".format(serial, self.blocks[serial], first))
            for other, taken in self.blocks.items():
                if other != serial and _overlap(first, taken):
                    raise PortMapError("the ports of {} ({}-{}) overlap those of {} ({}-{})".format(
                        serial, first, first + CHANNELS_PER_SLOT - 1, other, taken, taken + CHANNELS_PER_SLOT - 1))
            self.blocks[serial] = first

    def __bool__(self) -> bool:
        return bool(self.blocks)

    def first_port(self, serial: str, slot: int, base: Optional[int]) -> Optional[int]:
        """The first port of the block of `serial` in `slot`: its mapped block; else slot's
        block counted from `base` (None without --rfc2217-port), unless that block overlaps
        a mapped one (said in the log, and the device gets no TCP ports)."""
        mapped = self.blocks.get(serial)
        if mapped is not None:
            return mapped
        if base is None:
            return None
        first = rfc2217_port(base, slot, 1)
        assert first is not None
        for other, taken in self.blocks.items():
            if _overlap(first, taken):
                _log.warning("%s: no RFC 2217 ports: slot %d's ports %d-%d overlap those mapped to %s; map it too "
                             "(--port-map %s=BASE)", serial, slot, first, first + CHANNELS_PER_SLOT - 1, other, serial)
                return None
        return first
