"""The requests of the status socket DIR/serve.sock and the shapes of their answers, built
by ``torvak serve`` and read by its clients (``torvak status``, ``list``, ``info``, send,
and the routed torvak:// ports). A client reads with ``.get``: a service of another
version may leave a field out."""
from typing import Any, Dict, List, Optional, TypedDict, final

from .served import ECHO_PROBE


class ChannelStatus(TypedDict):
    """A served channel."""

    channel: int
    tty: Optional[str]  # DIR/SERIAL/N, the link to its pty
    rfc2217_port: Optional[int]  # None without RFC 2217
    client: Optional[str]  # who holds it, None when nobody does
    rate: int  # baud
    from_device: int  # bytes handed to its clients
    to_device: int  # bytes taken from its clients for the device
    waiting: int  # of those, bytes the device has not taken yet


class DeviceStatus(TypedDict):
    """A device the service serves, or waits for ("absent" while it is unplugged)."""

    serial: str
    slot: int
    state: str  # "absent", "opening", "serving" or "closing"
    channels: List[ChannelStatus]


@final  # so that a client tells it from a NoAnswer by its keys
class ServiceStatus(TypedDict):
    """The answer to status_request()."""

    pid: int
    directory: str  # the run directory DIR
    bind: str  # the address of the RFC 2217 ports
    devices: List[DeviceStatus]


class InfoAnswer(TypedDict):
    """The answer to info_request()."""

    serial: str
    channels: int
    firmware: Optional[str]
    echo: Optional[str]  # what the device handed back for ECHO_PROBE; None: not asked, or no answer
    echo_probe: str
    echo_seconds: Optional[float]


class ErrorAnswer(TypedDict):
    """The answer to a request that could not be answered."""

    error: str


@final
class NoAnswer(TypedDict):
    """What a client says of a running service that gave no answer."""

    pid: int
    directory: str
    error: str


def status_request() -> Dict[str, Any]:
    """Asks for every served device and channel, its clients and byte counts."""
    return {"request": "status"}


def info_request(serial_number: str, echo: bool = True) -> Dict[str, Any]:
    """Asks for a device's channel count, firmware version and (with `echo`) the round
    trip of ECHO_PROBE, asked of the device itself."""
    return {"request": "info", "serial": serial_number, "echo": echo}


def info_answer(serial_number: str, channels: int, firmware: Optional[str], echo: Optional[str],
                echo_seconds: Optional[float]) -> InfoAnswer:
    """The answer to info_request(): `echo` is what the device handed back for ECHO_PROBE
    (None: no echo asked for, or none came), in `echo_seconds`."""
    return {"serial": serial_number, "channels": channels, "firmware": firmware, "echo": echo,
            "echo_probe": ECHO_PROBE, "echo_seconds": echo_seconds}


def channel_status(answer: Dict[str, Any], serial_number: str, channel: int) -> Optional[ChannelStatus]:
    """A channel's entry in a status answer (as ask_service() returns it), or None."""
    for entry in answer.get("devices", []):
        if entry.get("serial") == serial_number:
            for found in entry.get("channels", []):
                if found.get("channel") == channel:
                    result: ChannelStatus = dict(found)  # type: ignore[assignment]
                    return result
    return None
