"""The failures of torvak:// ports, as data.

A port raises DeviceFailure, a SerialException whose text is the line users read and
which carries what went wrong (torvak_common.Failure): a caller decides by its `failure`,
and says it in its own words with explain(), never by reading the text back.
"""
from __future__ import annotations

from typing import Optional

from serial.serialutil import SerialException

from torvak_common.failures import Failure, Kind, classify, out_of_range
from torvak_discovery import describe, explain


class DeviceFailure(SerialException):
    """A port's failure that the device or the zeq_torvak module reported: `failure` says
    what went wrong, `port` is the port's URL, `served` whether torvak serve said it."""

    def __init__(self, text: str, port: str, failure: Failure, detail: str = "", served: bool = False) -> None:
        super().__init__(text)
        self.port = port
        self.failure = failure
        self.served = served
        self._detail = detail  # the module's own text, which a USB error's line shows

    def explain(self, name: str, channel: Optional[int] = None, serial_number: Optional[str] = None) -> str:
        """The failure in one line that starts with `name` instead of the URL; `channel`
        and `serial_number` as the caller asked for them."""
        return describe(self.failure, self._detail, name, channel, serial_number)


def device_failure(
    error: BaseException, port: str, channel: Optional[int], serial_number: Optional[str], opening: bool = False
) -> DeviceFailure:
    """The DeviceFailure for an error the module raised on the port `port` (its URL):
    `channel` and `serial_number` are what the port asked for; `opening`: the port could
    not be opened. Raise it ``from error``."""
    text = explain(error, port, channel, serial_number)
    return DeviceFailure("could not open port " + text if opening else text, port, classify(error), str(error))


def channel_out_of_range(port: str, serial_number: str, channel: int, count: int) -> DeviceFailure:
    """The failure of a port through torvak serve whose channel the device does not have."""
    failure = Failure(Kind.CHANNEL_RANGE, serial_number, channel=channel, channel_count=count)
    text = "{}: {}".format(port, out_of_range(channel, "device " + serial_number, count))
    return DeviceFailure(text, port, failure, served=True)
