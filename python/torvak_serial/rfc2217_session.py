"""The protocol side of a routed port's own RFC 2217 client, apart from its socket (which
the port drives, non-blocking): what goes out, in order, and what the service's answers
mean. The port keeps the bytes not yet sent here and at most a few KiB in the socket, so
that a purge overtakes nearly everything written before it; flush() is a line state poll
that the service answers once the device has every byte sent before it."""
import collections
from typing import Deque, List, Optional, Tuple

from torvak_common.telnet import IAC, SB, SE, Command, TelnetInput

COM_PORT_OPTION = 44
NOTIFY_LINESTATE, PURGE_DATA = 6, 12
SERVER_SIGNATURE, SERVER_NOTIFY_LINESTATE, SERVER_PURGE_DATA = 100, 106, 112
PURGE_RECEIVE, PURGE_TRANSMIT = 1, 2
SHIFT_REGISTER_EMPTY = 0x40
_IAC = bytes((IAC,))


def subnegotiation(command: int, value: bytes = b"") -> bytes:
    return bytes((IAC, SB, COM_PORT_OPTION, command)) + value.replace(_IAC, _IAC * 2) + bytes((IAC, SE))


class Session:
    """One connection's protocol state; used under the port's lock."""

    def __init__(self) -> None:
        # What waits for the socket, in order: (wire bytes, whether they are data).
        self._out: Deque[Tuple[bytes, bool]] = collections.deque()
        self.written = 0  # data bytes written, ever
        self.submitted = 0  # of those, in the socket
        self._polls: Deque[int] = collections.deque()  # `written` at each poll sent, unanswered
        self._drained = 0  # `written` at the last poll answered
        self._telnet = TelnetInput()
        # The front data's rest starts with the second half of a doubled IAC.
        self._half = False
        self.refusal: Optional[str] = None  # the service's reason, when it turned us away

    def write(self, data: bytes) -> None:
        if data:
            self._out.append((bytes(data).replace(_IAC, _IAC * 2), True))
            self.written += len(data)

    def unsent(self) -> int:
        """Data bytes written and not yet in the socket."""
        return self.written - self.submitted

    def out_waiting(self) -> int:
        """The bytes not yet sent, and those sent since the last drained answer covered:
        0 exactly when a flush has nothing to wait for."""
        return self.written - self._drained

    def poll(self) -> None:
        """Asks, behind everything written, for the answer that the device has it all."""
        self._polls.append(self.written)
        self._out.append((subnegotiation(NOTIFY_LINESTATE), False))

    def purge_output(self) -> None:
        """Drops what has not reached the socket and asks the service to drop what waits
        there for the device; the purge goes out ahead of anything not yet sent."""
        kept = collections.deque(item for item in self._out if not item[1])
        kept.appendleft((subnegotiation(PURGE_DATA, bytes((PURGE_TRANSMIT,))), False))
        if self._half:  # a byte 255 half sent is finished first, or the stream would break
            kept.appendleft((_IAC, True))
        self._out = kept
        self.written = self.submitted + self._half
        self._polls = collections.deque(min(count, self.written) for count in self._polls)
        self._drained = min(self._drained, self.written)

    def pending(self) -> bytes:
        """The next wire bytes for the socket (call sent() with how many it took)."""
        return self._out[0][0] if self._out else b""

    def sent(self, count: int) -> None:
        wire, is_data = self._out.popleft()
        if is_data and count:
            prefix = wire[:count]
            if self._half:
                self.submitted += 1
                prefix = prefix[1:]
            escapes = prefix.count(_IAC)
            self.submitted += len(prefix) - escapes + escapes // 2
            self._half = bool(escapes % 2)
        if count < len(wire):
            self._out.appendleft((wire[count:], is_data))

    def received(self, data: bytes) -> bytes:
        """The serial data in what the service sent; its answers are taken in."""
        pieces: List[bytes] = []
        for piece in self._telnet.feed(data):
            if not isinstance(piece, Command):
                pieces.append(piece)
            elif piece.verb == SB and piece.body[:1] == bytes((COM_PORT_OPTION,)) and len(piece.body) >= 2:
                self._answer(piece.body[1], piece.body[2:])
        return b"".join(pieces)

    def _answer(self, command: int, value: bytes) -> None:
        if command == SERVER_NOTIFY_LINESTATE and value and value[0] & SHIFT_REGISTER_EMPTY and self._polls:
            self._drained = max(self._drained, self._polls.popleft())
        elif command == SERVER_SIGNATURE and value:
            self.refusal = value.decode("utf-8", "replace")
