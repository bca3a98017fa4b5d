"""The capture socket of ``torvak serve`` (DIR/SERIAL/capture.sock), shared by the service
and its clients (``torvak capture``, ``torvak tap``).

A client connects (a SOCK_SEQPACKET socket, so that every record arrives whole or not at
all) and sends one request naming the channels it wants. The service answers with HELLO
(the device's channels and their rates, as JSON), then HELD for each channel held at that
moment (who holds it, at what rate), then one record per event: each chunk of bytes as it
went into the device's output queue or came from the device, each rate change, each open and close of a channel, the device going
and coming. A client that is refused gets one REFUSED record with the reason, and the end.

Each record is a HEADER and its payload. The service sends each record once and does not
wait for a client: a record that does not fit into its socket is dropped, and the next one
that does fit carries in `dropped` how many were lost before it; where no more records come,
a LOST record carries it as soon as the client's socket has room again."""
import enum
import json
import os
import struct
from typing import Any, Dict, Iterable, List, NamedTuple, Optional

CAPTURE_SOCKET = "capture.sock"
# channel (0: the device), kind, reserved, records dropped before this one, time (UTC
# microseconds since the epoch), payload length
HEADER = struct.Struct("<BBHIQI")
LONGEST_REQUEST = 1024
MOST_CHANNELS = 255  # what the header's channel field holds


class Kind(enum.IntEnum):
    TO_DEVICE = 1  # payload: the bytes a program wrote
    FROM_DEVICE = 2  # payload: the bytes the device sent
    RATE = 3  # payload: the baud rate asked for, in decimal
    OPEN = 4  # payload: who holds the channel now
    CLOSE = 5  # payload: who let it go
    GONE = 6  # the device went away (channel 0)
    BACK = 7  # the device is served again (channel 0); payload as HELLO's
    HELLO = 8  # payload: JSON {"serial", "channels", "rates": {"N": baud}, "serving"}
    REFUSED = 9  # payload: why, in UTF-8
    LOST = 10  # (channel 0) nothing but the count of records dropped since the last delivered
    HELD = 11  # at a capture's start, for each channel held then: JSON {"holder", "rate"}


class Record(NamedTuple):
    channel: int
    kind: Kind
    dropped: int
    micros: int
    payload: bytes


def capture_socket_path(directory: str, serial_number: str) -> str:
    return os.path.join(directory, serial_number, CAPTURE_SOCKET)


def subscribe_request(channels: Iterable[int]) -> bytes:
    """The request for `channels` (none: every channel of the device)."""
    return json.dumps({"channels": sorted(set(channels))}).encode()


def parse_subscribe(data: bytes) -> Optional[List[int]]:
    """The channel numbers a request asks for (None: every channel); ValueError for anything
    but a short JSON object whose "channels" is a list of channel numbers."""
    if len(data) > LONGEST_REQUEST:
        raise ValueError("request too long")
    request: Any = json.loads(data.decode())
    channels = request.get("channels") if isinstance(request, dict) else None
    if not isinstance(channels, list) or not all(
            type(number) is int and 0 < number <= MOST_CHANNELS for number in channels):
        raise ValueError("not a capture request")
    return sorted(set(channels)) or None


def header(channel: int, kind: Kind, dropped: int, micros: int, length: int) -> bytes:
    return HEADER.pack(channel, kind, 0, min(dropped, 0xFFFFFFFF), micros, length)


def parse_record(data: bytes) -> Record:
    """One record as received; ValueError when it is not one."""
    if len(data) < HEADER.size:
        raise ValueError("record shorter than its header")
    channel, kind, _, dropped, micros, length = HEADER.unpack_from(data)
    if length != len(data) - HEADER.size:
        raise ValueError("record of {} bytes says it holds {}".format(len(data) - HEADER.size, length))
    return Record(channel, Kind(kind), dropped, micros, bytes(data[HEADER.size:]))


def held_payload(holder: str, rate: Optional[int]) -> bytes:
    return json.dumps({"holder": holder, "rate": rate}).encode()


def hello_payload(serial_number: str, rates: Dict[int, int], serving: bool) -> bytes:
    return json.dumps({"serial": serial_number, "channels": len(rates),
                       "rates": {str(n): rate for n, rate in rates.items()}, "serving": serving}).encode()
