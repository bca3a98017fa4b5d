"""RFC 2217 (telnet's COM-PORT-OPTION) as torvak serve and its routed ports speak it, written
once and without I/O: the service's side (ServerSession) and a routed port's (ClientSession),
both over the telnet framing of telnet.py. Bytes go in, events and bytes come out; whoever
holds the socket moves them.

The service's side answers as a serial port that sets nothing but the baud rate: the other
settings keep their only value (8 data bits, no parity, one stop bit, no flow control), which
it reports back, and modem lines read as an idle line without them does. A SET-BAUDRATE, a
PURGE-DATA, a NOTIFY-LINESTATE poll and a client's SIGNATURE are events for the service; a
line state poll is answered once the device has every byte sent before it (the routed port's
flush). A client the service turns away gets the reason as the access server's SIGNATURE.
"""
import collections
import struct
from typing import Deque, Iterator, List, NamedTuple, Optional, Tuple, Union

from torvak_common.refusals import LINE_PREFIX, printable
from torvak_common.served import ROUTED_SIGNATURE
from torvak_common.telnet import DO, DONT, IAC, NEGOTIATIONS, SB, SE, WILL, WONT, Command, TelnetInput

BINARY, ECHO, SGA, COM_PORT_OPTION = 0, 1, 3, 44
# What a client sends; the service answers with the same code plus SERVER.
SIGNATURE, SET_BAUDRATE, SET_DATASIZE, SET_PARITY, SET_STOPSIZE, SET_CONTROL = 0, 1, 2, 3, 4, 5
NOTIFY_LINESTATE, NOTIFY_MODEMSTATE, FLOWCONTROL_SUSPEND, FLOWCONTROL_RESUME = 6, 7, 8, 9
SET_LINESTATE_MASK, SET_MODEMSTATE_MASK, PURGE_DATA = 10, 11, 12
SERVER = 100
SERVER_SIGNATURE, SERVER_SET_BAUDRATE, SERVER_NOTIFY_LINESTATE, SERVER_PURGE_DATA = 100, 101, 106, 112
PURGE_RECEIVE, PURGE_TRANSMIT, PURGE_BOTH = 1, 2, 3
TRANSMIT_HOLDING_EMPTY, SHIFT_REGISTER_EMPTY = 0x20, 0x40
# SET-CONTROL values: a request for the flow control setting, then settings the service
# echoes (it takes none of them: the device has no such lines).
CONTROL_ASK_FLOW, CONTROL_NO_FLOW = 0, 1
_CONTROL_ECHOED = frozenset((1, 2, 3, 5, 6, 8, 9, 11, 12))  # flow, break, DTR and RTS on or off
# The modem lines an idle line without them shows (CTS, DSR, CD), and their change bits.
_MODEM_LINES = 0x10 | 0x20 | 0x80
_DATA_BITS, _PARITY_NONE, _ONE_STOP_BIT = 8, 1, 1
_PARITIES, _STOP_BITS = range(6), range(4)  # the values a client may send (0 asks)
_IAC = bytes((IAC,))


def subnegotiation(command: int, value: bytes = b"") -> bytes:
    return bytes((IAC, SB, COM_PORT_OPTION, command)) + value.replace(_IAC, _IAC * 2) + bytes((IAC, SE))


def refusal(reason: str) -> bytes:
    """What the service sends a client it turns away for `reason`, before it closes: the
    reason as the access server's SIGNATURE (stock clients pass it over), then as one plain
    line for a person at a terminal."""
    signature = subnegotiation(SERVER_SIGNATURE, reason.encode("utf-8", "replace"))
    return signature + "{}{}\r\n".format(LINE_PREFIX, reason).encode("utf-8", "replace")


class ProtocolError(ValueError):
    """A command no RFC 2217 client sends as it stands; the client is to be dropped."""


# -- the service's side ---------------------------------------------------------------------

class RateRequest(NamedTuple):
    """SET-BAUDRATE: `rate`, or 0 to ask for the rate in force. Answered with answer_rate()."""

    rate: int


class PurgeRequest(NamedTuple):
    """PURGE-DATA; the session answers it once the caller has acted on it."""

    receive: bool
    transmit: bool


class LineStatePoll(NamedTuple):
    """NOTIFY-LINESTATE from the client: answer_line_state() once the device has every
    byte received before it."""


class ClientSignature(NamedTuple):
    text: bytes


Event = Union[bytes, RateRequest, PurgeRequest, LineStatePoll, ClientSignature]

_REQUESTED, _ACTIVE, _INACTIVE = range(3)


class Option:
    """One telnet option one way: ours (we WILL, the peer says DO) or the peer's (we say
    DO, it WILL). `offered` options are asked for at the start."""

    def __init__(self, code: int, ours: bool, offered: bool, marks_rfc2217: bool = False) -> None:
        self.code = code
        self.yes, self.no = (WILL, WONT) if ours else (DO, DONT)
        self.agreed, self.refused = (DO, DONT) if ours else (WILL, WONT)
        self.state = _REQUESTED if offered else _INACTIVE
        self.marks_rfc2217 = marks_rfc2217  # the peer speaks RFC 2217 once this one is active

    def answer(self, verb: int) -> Tuple[Optional[int], bool]:
        """The peer's `verb` for this option: what to send back (or None), and whether the
        option became active."""
        if verb == self.agreed:
            if self.state == _INACTIVE:
                self.state = _ACTIVE
                return self.yes, True
            if self.state == _REQUESTED:
                self.state = _ACTIVE
                return None, True
        elif verb == self.refused:
            was = self.state
            self.state = _INACTIVE
            if was == _ACTIVE:
                return self.no, False
        return None, False


class ServerSession:
    """The service's side of one client's connection. `outgoing` holds what goes to the
    client, in order; received() takes what came from it.

    Options: ECHO and SGA ours, offered; SGA theirs, taken when offered; BINARY ours when
    asked, theirs asked for; COM-PORT-OPTION ours offered and theirs taken. An option asked
    for that is not among them is refused, once per request; a refusal is never answered."""

    def __init__(self) -> None:
        self.outgoing = bytearray()
        self.spoken = False  # it has sent more than negotiation: a command or data
        self._framing = TelnetInput()
        self._options = [
            Option(ECHO, ours=True, offered=True),
            Option(SGA, ours=True, offered=True),
            Option(SGA, ours=False, offered=False),
            Option(BINARY, ours=True, offered=False),
            Option(BINARY, ours=False, offered=True),
            Option(COM_PORT_OPTION, ours=True, offered=True, marks_rfc2217=True),
            Option(COM_PORT_OPTION, ours=False, offered=False, marks_rfc2217=True),
        ]
        self._modem_mask = 0xFF
        self._modem_last: Optional[int] = None  # the modem lines last notified
        for option in self._options:
            if option.state == _REQUESTED:
                self.outgoing += bytes((IAC, option.yes, option.code))

    def send_data(self, data: bytes) -> None:
        self.outgoing += data.replace(_IAC, _IAC * 2)

    def answer_rate(self, rate: int) -> None:
        self.outgoing += subnegotiation(SERVER_SET_BAUDRATE, struct.pack("!I", rate))

    def answer_line_state(self) -> None:
        """The answer to a line state poll: the transmitter is empty, holding and shift
        register both."""
        self.outgoing += subnegotiation(SERVER_NOTIFY_LINESTATE, bytes((SHIFT_REGISTER_EMPTY | TRANSMIT_HOLDING_EMPTY,)))

    def received(self, data: bytes) -> Iterator[Event]:
        """The client's serial data (bytes) and the requests in `data`, in their order.
        Iterate it whole, acting on each event before taking the next: the answers the
        session gives on its own go out in order with those the caller gives. Raises
        TelnetError or ProtocolError on input no client sends (the client is to be dropped;
        what came before it has been given already)."""
        for piece in self._framing.feed(data):
            if not isinstance(piece, Command):
                self.spoken = True
                yield piece
            elif piece.verb in NEGOTIATIONS:
                self._negotiate(piece.verb, piece.body[0])
            else:
                self.spoken = True
                if piece.verb == SB and piece.body[:1] == bytes((COM_PORT_OPTION,)) and len(piece.body) > 1:
                    yield from self._command(piece.body[1], piece.body[2:])
                # other commands (NOP ...) and other options' subnegotiations mean nothing here

    def _negotiate(self, verb: int, code: int) -> None:
        mine = [option for option in self._options if option.code == code and verb in (option.agreed, option.refused)]
        if not mine:
            if verb in (WILL, DO):
                self.outgoing += bytes((IAC, DONT if verb == WILL else WONT, code))
            return
        for option in mine:
            reply, activated = option.answer(verb)
            if reply is not None:
                self.outgoing += bytes((IAC, reply, code))
            if activated and option.marks_rfc2217:
                self._notify_modem_state()

    def _notify_modem_state(self) -> None:
        lines = _MODEM_LINES
        changed = lines ^ (self._modem_last or 0)
        lines |= changed >> 4  # each line's change bit
        self.outgoing += subnegotiation(SERVER + NOTIFY_MODEMSTATE, bytes((lines & self._modem_mask,)))
        self._modem_last = lines & 0xF0

    def _command(self, command: int, value: bytes) -> Iterator[Event]:
        if command == SET_BAUDRATE:
            if len(value) < 4:
                raise ProtocolError("a SET-BAUDRATE of {} bytes".format(len(value)))
            yield RateRequest(struct.unpack("!I", value[:4])[0])
        elif command in (SET_DATASIZE, SET_PARITY, SET_STOPSIZE):
            if not value:
                raise ProtocolError("a COM-PORT-OPTION {} without its value".format(command))
            if (command == SET_PARITY and value[0] not in _PARITIES) or (
                    command == SET_STOPSIZE and value[0] not in _STOP_BITS):
                raise ProtocolError("COM-PORT-OPTION {} value {}".format(command, value[0]))
            only = {SET_DATASIZE: _DATA_BITS, SET_PARITY: _PARITY_NONE, SET_STOPSIZE: _ONE_STOP_BIT}[command]
            self.outgoing += subnegotiation(SERVER + command, bytes((only,)))
        elif command == SET_CONTROL:
            if value[:1] == bytes((CONTROL_ASK_FLOW,)):
                self.outgoing += subnegotiation(SERVER + SET_CONTROL, bytes((CONTROL_NO_FLOW,)))
            elif value and value[0] in _CONTROL_ECHOED:
                self.outgoing += subnegotiation(SERVER + SET_CONTROL, value[:1])
            # asks for the break, DTR or RTS state, and what else: no answer
        elif command == NOTIFY_LINESTATE:
            yield LineStatePoll()
        elif command == NOTIFY_MODEMSTATE:
            self._notify_modem_state()
        elif command in (SET_LINESTATE_MASK, SET_MODEMSTATE_MASK):
            if not value:
                raise ProtocolError("a COM-PORT-OPTION {} without its value".format(command))
            if command == SET_MODEMSTATE_MASK:
                self._modem_mask = value[0]
        elif command == PURGE_DATA:
            which = value[:1]
            if which and which[0] in (PURGE_RECEIVE, PURGE_TRANSMIT, PURGE_BOTH):
                yield PurgeRequest(receive=which[0] != PURGE_TRANSMIT, transmit=which[0] != PURGE_RECEIVE)
                self.outgoing += subnegotiation(SERVER_PURGE_DATA, which)
        elif command == SIGNATURE:
            yield ClientSignature(value)
        # FLOWCONTROL-SUSPEND and -RESUME, and unknown commands: nothing to do


# -- a routed port's side -------------------------------------------------------------------
# Polls waiting for their answers at most: the service answers each poll, but beyond a
# limit of its own (256) it lets a new poll share the last one's answer, and answers must
# not be fewer than the polls counted here.
MAX_POLLS = 64


# The telnet options this client agrees to, each way: the service offers more (ECHO) and
# asks for them; whatever else is declined, and each is answered once, so no two peers argue.
_WANTED = {WILL: (SGA, BINARY, COM_PORT_OPTION), DO: (BINARY, COM_PORT_OPTION)}
_ANSWERS = {WILL: (DO, DONT), DO: (WILL, WONT)}


class ClientSession:
    """A routed port's side of its connection: what goes out, in order, and what the
    service's answers mean. The port keeps the bytes not yet sent here and at most a few
    KiB in the socket, so that a purge overtakes nearly everything written before it;
    flush() is a line state poll that the service answers once the device has every byte
    sent before it. Used under the port's lock."""

    def __init__(self) -> None:
        # What waits for the socket, in order: (wire bytes, whether they are data).
        self._out: Deque[Tuple[bytes, bool]] = collections.deque()
        self.written = 0  # data bytes written, ever
        self.submitted = 0  # of those, in the socket
        self._polls: Deque[int] = collections.deque()  # `written` at each poll sent, unanswered
        self._drained = 0  # `written` at the last poll answered
        self._framing = TelnetInput()
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

    def polls_waiting(self) -> int:
        """Polls sent and not answered yet."""
        return len(self._polls)

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
        for piece in self._framing.feed(data):
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
