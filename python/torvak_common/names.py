"""The two ways to name a channel: the module's port name Torvak:SERIAL:Sn, and the
torvak://SERIAL/N URL of the pyserial face; and which attached device a serial number a
user typed names."""
import re
from typing import NamedTuple, Optional, Sequence
from urllib.parse import quote, unquote, urlsplit

SCHEME = "torvak"
URL_FORM = 'expected "torvak://SERIAL/N" (SERIAL a serial number or ANY, N a channel from 1)'
PORT_FORM = "expected Torvak:SERIAL:Sn or torvak://SERIAL/N, e.g. Torvak:ANY:S1"
_URL_CHANNEL = re.compile(r"/[0-9]+")


class PortAddress(NamedTuple):
    serial_number: str  # or "ANY": the first device found
    channel: int


def port_name(serial_number: str, channel: int) -> str:
    """The module's name for `channel` of the device with `serial_number`."""
    return "Torvak:{}:S{}".format(serial_number, channel)


def make_url(serial_number: str, channel: int) -> str:
    """The URL that opens `channel` of the device with `serial_number`."""
    return "{}://{}/{}".format(SCHEME, quote(serial_number, safe=""), channel)


def parse_port_name(name: str) -> Optional[PortAddress]:
    """What zeq_torvak.Serial asks its registry for when given `name`, or None for a name
    it refuses: three fields split at every colon, the first "torvak" in any letter case,
    the last "S" or "s" and a number as int() reads it (sign, blanks and underscores
    included); the serial number upper-cased. The range of the channel is the device's
    to check."""
    fields = name.split(":")
    if len(fields) != 3:
        return None
    device_type, serial_number, channel_field = fields
    if device_type.lower() != SCHEME or channel_field[:1] not in ("S", "s"):
        return None
    try:
        channel = int(channel_field[1:])
    except ValueError:
        return None
    return PortAddress(serial_number.upper(), channel)


def parse_url(url: str) -> PortAddress:
    """The channel a torvak:// URL names; ValueError saying what is wrong otherwise."""
    try:
        parts = urlsplit(url)
    except ValueError as error:
        raise ValueError("{!r} is not a torvak:// URL ({}); {}".format(url, error, URL_FORM)) from error
    if parts.scheme.lower() != SCHEME:
        raise ValueError("{!r} is not a torvak:// URL; {}".format(url, URL_FORM))
    if parts.query or parts.fragment or "?" in url or "#" in url:
        raise ValueError(
            "{!r}: a torvak:// URL takes no options (set the baud rate and time-outs on the "
            "port); {}".format(url, URL_FORM)
        )
    serial_number = unquote(parts.netloc)
    if not serial_number or ":" in serial_number or serial_number != serial_number.strip():
        raise ValueError("{!r}: bad serial number {!r}; {}".format(url, serial_number, URL_FORM))
    if not _URL_CHANNEL.fullmatch(parts.path) or int(parts.path[1:]) < 1:
        raise ValueError(
            "{!r}: bad channel {!r} (channels count from 1); {}".format(url, parts.path[1:], URL_FORM)
        )
    return PortAddress(serial_number, int(parts.path[1:]))


def parse_port(text: str) -> PortAddress:
    """A channel named either way, as the command line takes it; ValueError otherwise."""
    if "://" in text:
        return parse_url(text)
    address = parse_port_name(text)
    if address is None:
        raise ValueError("invalid port name {!r}: {}".format(text, PORT_FORM))
    return address


def match_serial_number(wanted: str, attached: Sequence[Optional[str]]) -> Optional[str]:
    """The attached serial number that `wanted` names, spelt as the device reports it: the
    same text, else the one serial number equal to it without regard to letter case.
    None when there is no such device or the letter case would have to choose."""
    if wanted in attached:
        return wanted
    folded = wanted.casefold()
    candidates = {s for s in attached if s is not None and s.casefold() == folded}
    return candidates.pop() if len(candidates) == 1 else None
