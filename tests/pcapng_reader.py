"""A small pcapng reader for the capture tests where tshark is not installed: written from
the file format alone (little-endian sections), strict about block lengths and the exported
PDU tags, so that a file it reads is well formed as well as holding the right packets."""
import struct
from typing import List, NamedTuple, Optional


class Packet(NamedTuple):
    interface: str  # its interface's if_name
    micros: int
    data: bytes  # the bytes after the exported PDU tags
    direction: int  # epb_flags bits 0-1: 1 inbound, 2 outbound, 0 none
    comments: List[str]
    dropped: Optional[int]  # epb_dropcount, when there is one


def _options(data, offset, end):
    """(code, value) of each option in data[offset:end], up to opt_endofopt."""
    found = []
    while offset < end:
        code, length = struct.unpack_from("<HH", data, offset)
        offset += 4
        if code == 0:
            break
        found.append((code, bytes(data[offset:offset + length])))
        offset += length + (-length % 4)
    return found


def _pdu_data(pdu):
    """The bytes after the exported PDU tags; the dissector tag must name "data"."""
    offset, proto = 0, None
    while True:
        tag, length = struct.unpack_from(">HH", pdu, offset)
        offset += 4
        if tag == 0:
            assert proto == b"data", proto
            return bytes(pdu[offset:])
        if tag == 12:
            proto = bytes(pdu[offset:offset + length]).rstrip(b"\0")
        offset += length + (-length % 4)


def read(path):
    """(interface names, packets) of a pcapng file; AssertionError for a malformed one."""
    with open(path, "rb") as f:
        data = f.read()
    interfaces, packets, offset = [], [], 0
    while offset < len(data):
        assert len(data) - offset >= 12, "a partial block at the end"
        kind, length = struct.unpack_from("<II", data, offset)
        assert length % 4 == 0 and offset + length <= len(data), "a partial block at the end"
        assert struct.unpack_from("<I", data, offset + length - 4)[0] == length
        body, end = offset + 8, offset + length - 4
        if kind == 0x0A0D0D0A:
            assert struct.unpack_from("<I", data, body)[0] == 0x1A2B3C4D
        elif kind == 1:
            linktype = struct.unpack_from("<H", data, body)[0]
            assert linktype == 252, linktype
            options = dict(_options(data, body + 8, end))
            assert options.get(9, b"\x06") == b"\x06"  # microseconds
            interfaces.append(options[2].decode())
        elif kind == 6:
            number, high, low, captured, _ = struct.unpack_from("<IIIII", data, body)
            options = _options(data, body + 20 + captured + (-captured % 4), end)
            flags = [struct.unpack("<I", value)[0] for code, value in options if code == 2]
            drops = [struct.unpack("<Q", value)[0] for code, value in options if code == 4]
            packets.append(Packet(
                interfaces[number], (high << 32) | low, _pdu_data(data[body + 20:body + 20 + captured]),
                flags[0] & 3 if flags else 0, [value.decode() for code, value in options if code == 1],
                drops[0] if drops else None))
        offset += length
    return interfaces, packets
