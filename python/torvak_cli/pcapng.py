"""pcapng blocks for ``torvak capture``: a section header, one interface per channel
(named SERIAL/N) and one enhanced packet block per record, built whole so that a capture
stopped between two writes leaves a valid file.

The link type is Wireshark's "upper PDU" export: each packet starts with a tag naming the
dissector for the bytes after it, "data", which stock Wireshark and tshark show as raw
bytes under the ``data`` field without a plug-in or a warning."""
import struct
from typing import List, Optional

LINKTYPE_WIRESHARK_UPPER_PDU = 252
_EXPORTED_PDU_DISSECTOR_NAME = 12  # exported PDU tag: the protocol to dissect the bytes with
_PDU_TAGS = struct.pack(">HH", _EXPORTED_PDU_DISSECTOR_NAME, 4) + b"data" + struct.pack(">HH", 0, 0)

_SECTION_HEADER, _INTERFACE, _ENHANCED_PACKET = 0x0A0D0D0A, 1, 6
_BYTE_ORDER_MAGIC = 0x1A2B3C4D
_OPT_END, _OPT_COMMENT = 0, 1
_SHB_USERAPPL = 4
_IF_NAME, _IF_TSRESOL = 2, 9
_EPB_FLAGS, _EPB_DROPCOUNT = 2, 4
INBOUND, OUTBOUND = 1, 2  # epb_flags' direction: from the device, to the device


def _padded(data: bytes) -> bytes:
    return data + bytes(-len(data) % 4)


def _option(code: int, value: bytes) -> bytes:
    return struct.pack("<HH", code, len(value)) + _padded(value)


def _block(kind: int, body: bytes, options: List[bytes]) -> bytes:
    if options:
        body += b"".join(options) + struct.pack("<HH", _OPT_END, 0)
    length = 12 + len(body)
    return struct.pack("<II", kind, length) + body + struct.pack("<I", length)


def section_header(application: str) -> bytes:
    body = struct.pack("<IHHq", _BYTE_ORDER_MAGIC, 1, 0, -1)  # version 1.0, section length unknown
    return _block(_SECTION_HEADER, body, [_option(_SHB_USERAPPL, application.encode())])


def interface(name: str) -> bytes:
    """An interface with timestamps in microseconds (if_tsresol 6, also the default)."""
    body = struct.pack("<HHI", LINKTYPE_WIRESHARK_UPPER_PDU, 0, 0)
    return _block(_INTERFACE, body, [_option(_IF_NAME, name.encode()), _option(_IF_TSRESOL, bytes([6]))])


def packet(interface_id: int, micros: int, data: bytes, direction: int = 0, comment: Optional[str] = None,
           dropped: int = 0) -> bytes:
    """A packet of `data` (it may be empty, for a comment alone) at `micros` since the epoch;
    `dropped`: packets lost before it."""
    pdu = _PDU_TAGS + data
    body = struct.pack("<IIIII", interface_id, micros >> 32, micros & 0xFFFFFFFF, len(pdu), len(pdu)) + _padded(pdu)
    options = []
    if comment is not None:
        options.append(_option(_OPT_COMMENT, comment.encode()))
    if direction:
        options.append(_option(_EPB_FLAGS, struct.pack("<I", direction)))
    if dropped:
        options.append(_option(_EPB_DROPCOUNT, struct.pack("<Q", dropped)))
    return _block(_ENHANCED_PACKET, body, options)
