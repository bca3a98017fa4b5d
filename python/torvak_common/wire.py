"""The packets the host writes to a Torvak device, as far as tools need to read them."""
from typing import Dict, Iterable, Iterator, Tuple

PACKET_SIZE = 64
# Data bytes one packet carries: a record of channel byte, count byte and payload.
PACKET_PAYLOAD = PACKET_SIZE - 2
# Channel bytes from this value on address the control paths; such a record, like a
# channel byte 0, ends what a packet carries for the serial channels.
CONTROL_CHANNEL_BASE = 100
# A record may start only below this offset of a packet.
_RECORD_START_LIMIT = PACKET_PAYLOAD


def data_packet(channel: int, payload: bytes) -> bytes:
    """The packet that carries `payload` (at most PACKET_PAYLOAD bytes) to serial channel
    `channel`, zero-filled to a whole packet."""
    if not 0 < len(payload) <= PACKET_PAYLOAD:
        raise ValueError("a data packet carries 1 to {} bytes, not {}".format(PACKET_PAYLOAD, len(payload)))
    packet = bytes((channel, len(payload))) + payload
    return packet + bytes(PACKET_SIZE - len(packet))


def data_records(packet: bytes) -> Iterator[Tuple[int, bytes]]:
    """(channel, payload) of each data record of one packet the host wrote."""
    index = 0
    while index < _RECORD_START_LIMIT and index + 1 < len(packet):
        channel = packet[index]
        if channel == 0 or channel >= CONTROL_CHANNEL_BASE:
            return
        count = packet[index + 1]
        yield channel, bytes(packet[index + 2 : index + 2 + count])
        index += 2 + count


def channel_data(packets: Iterable[bytes]) -> Dict[int, bytes]:
    """What each serial channel received, from the packets the host wrote, in order."""
    received: Dict[int, bytes] = {}
    for packet in packets:
        for channel, payload in data_records(packet):
            received[channel] = received.get(channel, b"") + payload
    return received
