"""The torvak:// URL: torvak://SERIAL/N names channel N of the device whose USB serial
number is SERIAL, or of the first device found when SERIAL is ANY."""
from __future__ import annotations

from typing import Tuple

from serial.serialutil import SerialException

import torvak_common
from torvak_common import SCHEME, make_url

__all__ = ["SCHEME", "make_url", "parse_url"]


def parse_url(url: str) -> Tuple[str, int]:
    """(serial number, channel number) of a ``torvak://SERIAL/N`` URL; SerialException
    saying what is wrong when it is not one.

    SERIAL is the device's USB serial number (percent-encoded where it needs to be; letter
    case does not matter) or ``ANY``, the first device found; N is the channel, counted
    from 1. The URL takes no options (no ``?...``): the baud rate and the time-outs are
    set on the port, as pyserial's arguments or attributes."""
    try:
        serial_number, channel = torvak_common.parse_url(url)
    except ValueError as error:
        raise SerialException(str(error)) from error
    return serial_number, channel
