"""The protocol side of a routed port's own RFC 2217 client, apart from its socket (which
the port drives, non-blocking): what goes out, in order, and what the service's answers
mean. The port keeps the bytes not yet sent here and at most a few KiB in the socket, so
that a purge overtakes nearly everything written before it; flush() is a line state poll
that the service answers once the device has every byte sent before it."""
import collections
from typing import Deque, List, Optional, Tuple, Union

import struct

from torvak_common.refusals import printable
from torvak_common.served import ROUTED_SIGNATURE
from torvak_common.telnet import DO, DONT, IAC, SB, SE, WILL, WONT, Command, TelnetInput

BINARY, ECHO, SGA, COM_PORT_OPTION = 0, 1, 3, 44
SIGNATURE, SET_BAUDRATE, NOTIFY_LINESTATE, PURGE_DATA = 0, 1, 6, 12
SERVER_SIGNATURE, SERVER_SET_BAUDRATE, SERVER_NOTIFY_LINESTATE, SERVER_PURGE_DATA = 100, 101, 106, 112
PURGE_RECEIVE, PURGE_TRANSMIT = 1, 2
SHIFT_REGISTER_EMPTY = 0x40
_IAC = bytes((IAC,))
# Polls waiting for their answers at most: the service answers each poll, but beyond a
# limit of its own (256) it lets a new poll share the last one's answer, and answers must
# not be fewer than the polls counted here.
MAX_POLLS = 64


# The telnet options this client agrees to, each way: the service offers more (ECHO) and
# asks for them; whatever else is declined, and each is answered once, so no two peers argue.
_WANTED = {WILL: (SGA, BINARY, COM_PORT_OPTION), DO: (BINARY, COM_PORT_OPTION)}
_ANSWERS = {WILL: (DO, DONT), DO: (WILL, WONT)}


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
        self._offset = 0  # bytes of the front item already in the socket
        self.refusal: Optional[str] = None  # the service's reason, when it turned us away
        self.rate_answers = 0  # SERVER-SET-BAUDRATE answers received, ever
        self.rate: Optional[int] = None  # the rate the last of them gave
        self.purges = 0  # purges of the output sent, ever
        self.purge_answers = 0  # SERVER-PURGE-DATA answers received, ever
        self._answered = {(WILL, COM_PORT_OPTION)}  # (verb, option) said already; WILL goes out at once
        self._out.append((bytes((IAC, WILL, COM_PORT_OPTION)), False))
        # Who this client is, so that the service names it as a routed torvak:// port.
        self._out.append((subnegotiation(SIGNATURE, ROUTED_SIGNATURE), False))

    def set_rate(self, rate: int) -> None:
        """Asks for `rate`, in order with the data around it."""
        self._out.append((subnegotiation(SET_BAUDRATE, struct.pack("!I", rate)), False))

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

    def withdraw(self) -> int:
        """Drops the data not yet in the socket (a byte 255 half sent is finished first, or
        the stream would break); how many bytes it dropped."""
        front = self._out[0] if self._out and self._offset else None  # partly in the socket
        kept = collections.deque(item for item in self._out if not item[1] and item is not front)
        if front is not None and not front[1]:  # a command's rest goes first
            kept.appendleft(front)
        else:
            self._offset = 0
            if self._half:
                kept.appendleft((_IAC, True))
        self._out = kept
        dropped = self.written - (self.submitted + self._half)
        self.written -= dropped
        self._polls = collections.deque(min(count, self.written) for count in self._polls)
        self._drained = min(self._drained, self.written)
        return dropped

    def purge_output(self) -> None:
        """Drops what has not reached the socket and asks the service to drop what waits
        there for the device; the purge goes out ahead of anything not yet sent."""
        self.withdraw()
        first = 1 if self._offset or self._half else 0
        self._out.insert(first, (subnegotiation(PURGE_DATA, bytes((PURGE_TRANSMIT,))), False))
        self.purges += 1
        # What was written is dropped or already on its way: a flush has nothing to wait
        # for, and a poll sent before answers nothing of what comes after.
        self._drained = self.written

    def front_is_command(self) -> bool:
        """Whether what goes out next is a command (or the end of a half sent byte 255),
        which may go into a full socket."""
        if not self._out:
            return False
        wire, is_data = self._out[0]
        return not is_data or (self._half and len(wire) - self._offset == 1)

    def ensure_poll(self) -> None:
        """A poll behind everything written, unless one is on its way already or MAX_POLLS
        wait for their answers (then a later call asks)."""
        if (self.out_waiting() and (not self._polls or self._polls[-1] < self.written)
                and len(self._polls) < MAX_POLLS):
            self.poll()

    def purge_input(self) -> None:
        """Asks the service to drop what it received from the device and has not sent yet."""
        self._out.append((subnegotiation(PURGE_DATA, bytes((PURGE_RECEIVE,))), False))

    def pending(self) -> Union[bytes, memoryview]:
        """The next wire bytes for the socket (call sent() with how many it took)."""
        return memoryview(self._out[0][0])[self._offset:] if self._out else b""

    def sent(self, count: int) -> None:
        wire, is_data = self._out[0]
        if is_data and count:
            prefix = wire[self._offset:self._offset + count]
            if self._half:
                self.submitted += 1
                prefix = prefix[1:]
            escapes = prefix.count(_IAC)
            self.submitted += len(prefix) - escapes + escapes // 2
            self._half = bool(escapes % 2)
        self._offset += count
        if self._offset >= len(wire):
            self._out.popleft()
            self._offset = 0

    def received(self, data: bytes) -> bytes:
        """The serial data in what the service sent; its answers are taken in."""
        pieces: List[bytes] = []
        for piece in self._telnet.feed(data):
            if not isinstance(piece, Command):
                pieces.append(piece)
            elif piece.verb == SB and piece.body[:1] == bytes((COM_PORT_OPTION,)) and len(piece.body) >= 2:
                self._answer(piece.body[1], piece.body[2:])
            elif piece.verb in _ANSWERS and len(piece.body) == 1:
                self._negotiate(piece.verb, piece.body[0])
        return b"".join(pieces)

    def _negotiate(self, verb: int, option: int) -> None:
        yes, no = _ANSWERS[verb]
        answer = yes if option in _WANTED[verb] else no
        if (answer, option) not in self._answered:
            self._answered.add((answer, option))
            self._out.append((bytes((IAC, answer, option)), False))

    def _answer(self, command: int, value: bytes) -> None:
        if command == SERVER_NOTIFY_LINESTATE and value and value[0] & SHIFT_REGISTER_EMPTY and self._polls:
            self._drained = max(self._drained, self._polls.popleft())
        elif command == SERVER_PURGE_DATA:
            self.purge_answers += 1
        elif command == SERVER_SIGNATURE and value:
            self.refusal = printable(value.decode("utf-8", "replace"))
        elif command == SERVER_SET_BAUDRATE and len(value) == 4:
            self.rate_answers += 1
            self.rate = int(struct.unpack("!I", value)[0])
