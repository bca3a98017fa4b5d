"""Telnet framing of what an RFC 2217 peer sends: its serial data apart from its telnet
commands, with the state kept from one read to the next, so that however the stream is cut
no byte of a command or a subnegotiation passes for data."""
from typing import List, NamedTuple, Optional, Union

IAC, DONT, DO, WONT, WILL, SB, SE = 255, 254, 253, 252, 251, 250, 240
NEGOTIATIONS = (DO, DONT, WILL, WONT)
# RFC 2217's longest subnegotiation is a signature text a client sends once; anything longer
# is a client filling the service's memory.
SUBNEGOTIATION_LIMIT = 1024

_IAC_BYTE = bytes((IAC,))
_DATA, _COMMAND, _OPTION, _SUB, _SUB_COMMAND = range(5)


class TelnetError(ValueError):
    """Input that no telnet peer sends; the client that sent it is to be dropped."""


class Command(NamedTuple):
    """One telnet command: `verb` is the byte after IAC (DO, SB, NOP ...), `body` the option
    byte of a negotiation, the content of a subnegotiation (its option first, doubled IACs
    made single) or nothing."""

    verb: int
    body: bytes

    def wire(self) -> bytes:
        """The command as a peer sends it."""
        if self.verb == SB:
            return bytes((IAC, SB)) + self.body.replace(_IAC_BYTE, _IAC_BYTE * 2) + bytes((IAC, SE))
        return bytes((IAC, self.verb)) + self.body


class TelnetInput:
    """Splits a client's byte stream, read by read, into serial data and whole commands.

    IAC IAC is a data byte 255 (inside a subnegotiation, a 255 of its content). An IAC SE
    with no subnegotiation open ends nothing and is passed over. A command other than IAC SE
    inside a subnegotiation abandons that subnegotiation (a peer that forgot its SE: the
    unfinished content is never acted on) and is taken as it stands. One per client, fed
    on the loop alone."""

    def __init__(self, limit: int = SUBNEGOTIATION_LIMIT) -> None:
        self.limit = limit
        self._state = _DATA
        self._verb = 0  # the negotiation waiting for its option byte
        self._sub = bytearray()  # the open subnegotiation's content, at most `limit` bytes

    def feed(self, data: bytes) -> List[Union[bytes, Command]]:
        """The pieces of `data` in the order sent: runs of serial data (bytes) and the
        Commands completed in it. A command cut off at the end of `data` is completed by
        later reads. Raises TelnetError when a subnegotiation grows beyond the limit (what
        `data` held before it is not returned then: the client is to be dropped)."""
        if self._state == _DATA and _IAC_BYTE not in data:
            return [bytes(data)] if data else []
        pieces: List[Union[bytes, Command]] = []
        run = bytearray()  # serial data since the last command
        state, i, end = self._state, 0, len(data)
        while i < end:
            if state == _DATA or state == _SUB:
                cut = data.find(_IAC_BYTE, i)
                stop = end if cut < 0 else cut
                if state == _DATA:
                    run += data[i:stop]
                else:
                    self._take_content(data[i:stop])
                if cut < 0:
                    break
                state, i = (_COMMAND if state == _DATA else _SUB_COMMAND), cut + 1
                continue
            byte = data[i]
            i += 1
            command: Optional[Command] = None
            if state == _OPTION:
                command, state = Command(self._verb, bytes((byte,))), _DATA
            elif state == _SUB_COMMAND:
                if byte == IAC:
                    self._take_content(_IAC_BYTE)
                    state = _SUB
                elif byte == SE:
                    command, state = Command(SB, bytes(self._sub)), _DATA
                    self._sub = bytearray()
                else:  # abandoned: this byte is read again as the one after an IAC
                    self._sub = bytearray()
                    state, i = _COMMAND, i - 1
            elif byte == IAC:
                run.append(IAC)
                state = _DATA
            elif byte in NEGOTIATIONS:
                self._verb, state = byte, _OPTION
            elif byte == SB:
                state = _SUB
            elif byte == SE:
                state = _DATA
            else:
                command, state = Command(byte, b""), _DATA
            if command is not None:
                if run:
                    pieces.append(bytes(run))
                    run = bytearray()
                pieces.append(command)
        self._state = state
        if run:
            pieces.append(bytes(run))
        return pieces

    def _take_content(self, content: bytes) -> None:
        if len(self._sub) + len(content) > self.limit:
            raise TelnetError("a subnegotiation longer than {} bytes".format(self.limit))
        self._sub += content
