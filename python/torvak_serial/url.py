"""The torvak:// URL: torvak://SERIAL/N names channel N of the device whose USB serial
number is SERIAL, or of the first device found when SERIAL is ANY."""
from __future__ import annotations

import re
from typing import Tuple
from urllib.parse import quote, unquote, urlsplit

from serial.serialutil import SerialException

SCHEME = "torvak"
_FORM = 'expected a URL of the form "torvak://SERIAL/N" (SERIAL a serial number or ANY, N a channel from 1)'
_CHANNEL = re.compile(r"/[0-9]+")


def make_url(serial_number: str, channel: int) -> str:
    """The URL that opens `channel` of the device with `serial_number`."""
    return "{}://{}/{}".format(SCHEME, quote(serial_number, safe=""), channel)


def parse_url(url: str) -> Tuple[str, int]:
    """(serial number, channel number) of a torvak:// URL; SerialException when it is not one."""
    try:
        parts = urlsplit(url)
    except ValueError as error:
        raise SerialException("{}: {}".format(_FORM, error)) from error
    if parts.scheme.lower() != SCHEME:
        raise SerialException("{}, got {!r}".format(_FORM, url))
    if parts.query or parts.fragment or "?" in url or "#" in url:
        raise SerialException("{}; this URL takes no options: {!r}".format(_FORM, url))
    serial_number = unquote(parts.netloc)
    if not serial_number or ":" in serial_number or serial_number != serial_number.strip():
        raise SerialException("{}; bad serial number in {!r}".format(_FORM, url))
    if not _CHANNEL.fullmatch(parts.path) or int(parts.path[1:]) < 1:
        raise SerialException("{}; bad channel in {!r}".format(_FORM, url))
    return serial_number, int(parts.path[1:])
