"""The RFC 2217 side of a served channel: pyserial's PortManager speaks the protocol, over
a facade that hands settings to the channel's queue without blocking or raising."""
import logging
import socket
import struct
from typing import Any, Callable, Protocol, Tuple

import serial
from serial.rfc2217 import (
    COM_PORT_OPTION,
    DO,
    DONT,
    IAC,
    LINESTATE_MASK_SHIFTREG_EMPTY,
    LINESTATE_MASK_TRANSREG_EMPTY,
    NOTIFY_LINESTATE,
    SERVER_NOTIFY_LINESTATE,
    SERVER_SET_BAUDRATE,
    WILL,
    WONT,
    PortManager,
)

from torvak_common.served import ROUTED_SIGNATURE
from torvak_common.telnet import NEGOTIATIONS, Command, TelnetInput
from torvak_common import check_baudrate

_log = logging.getLogger("torvak.serve")
SIGNATURE = b"\x00"  # RFC 2217's SIGNATURE: a client's own, or an empty request for the server's


class RateHolder(Protocol):
    """What an RFC 2217 client reaches of its channel (on the loop)."""

    rate: int  # in force, or asked for last
    rate_jobs: int  # rate changes waiting for the device's answer

    def request_rate(self, rate: int, source: str) -> None: ...

    def purge(self) -> None: ...

    def send(self, data: bytes) -> None: ...

    def when_sent(self, answer: Callable[[], None]) -> None: ...


# A line state poll's answer: the transmitter is empty, holding and shift register both.
_SENT = bytes((LINESTATE_MASK_SHIFTREG_EMPTY | LINESTATE_MASK_TRANSREG_EMPTY,))


class PortFacade:
    """What PortManager sees as the serial port. The device sets nothing but the baud
    rate: other settings keep their only value, which PortManager then reports back to
    the client; modem lines read as an idle line without modem lines does. Used on the
    loop alone, as its channel is."""

    bytesize = serial.EIGHTBITS
    parity = serial.PARITY_NONE
    stopbits = serial.STOPBITS_ONE
    xonxoff = False
    rtscts = False
    cts = dsr = cd = True
    ri = False

    _channel: RateHolder

    def __init__(self, channel: RateHolder) -> None:
        self._channel = channel

    def __setattr__(self, name: str, value: Any) -> None:
        # Every setting a client sends lands here; only the rate means something.
        if name == "_channel":
            object.__setattr__(self, name, value)
        elif name == "baudrate":
            try:
                self._channel.request_rate(check_baudrate(value), "RFC 2217 client")
            except Exception as error:  # never raise into PortManager
                _log.warning("%s: baud rate %r from the RFC 2217 client ignored: %s", self._channel, value, error)
        else:
            _log.debug("%s: %s=%r from the RFC 2217 client ignored", self._channel, name, value)

    @property
    def baudrate(self) -> int:
        return self._channel.rate

    @property
    def rate_pending(self) -> bool:
        return self._channel.rate_jobs > 0

    def reset_input_buffer(self) -> None:
        pass

    def reset_output_buffer(self) -> None:
        try:
            self._channel.purge()
        except Exception as error:  # never raise into PortManager
            _log.warning("%s: purge from the RFC 2217 client failed: %s", self._channel, error)


class _Manager(PortManager):
    """PortManager answers a SET_BAUDRATE at once with the rate it reads back; here that
    answer waits until the device has confirmed or refused the rate, so that a client
    (pyserial's waits up to 3 s) learns of a refusal as a direct port's caller does. On
    the loop, as all of PortManager's state."""

    def __init__(self, facade: PortFacade, client: "Client") -> None:
        self.held_rate_answer = False
        self._channel = client.channel
        self._client = client
        # PortManager takes any object with a port's attributes (the facade) and a write
        # method (the client).
        super().__init__(facade, client)  # type: ignore[arg-type]

    def rfc2217_send_subnegotiation(self, option: bytes, value: bytes = b"") -> None:
        if option == SERVER_SET_BAUDRATE and getattr(self.serial, "rate_pending", False):
            self.held_rate_answer = True
            return
        super().rfc2217_send_subnegotiation(option, value)

    def _telnet_process_subnegotiation(self, suboption: bytes) -> None:
        # A line state poll (NOTIFY-LINESTATE from the client) is answered once the bytes
        # sent before it have reached the device, transmitter empty: a client's flush().
        if suboption[:2] == COM_PORT_OPTION + NOTIFY_LINESTATE:
            self._channel.when_sent(self._sent)
            return
        if suboption[:2] == COM_PORT_OPTION + SIGNATURE:
            # A client's own signature; the service's, asked for with an empty one, is not
            # given (a signature from the service says why it refused the client). Routed
            # ports come through the channel's Unix socket only.
            client = self._client
            client.routed = suboption[2:] == ROUTED_SIGNATURE and len(client.peer) == 1
            return
        super()._telnet_process_subnegotiation(suboption)  # type: ignore[misc]

    def _sent(self) -> None:
        self.rfc2217_send_subnegotiation(SERVER_NOTIFY_LINESTATE, _SENT)

    def _telnet_negotiate_option(self, command: bytes, option: bytes) -> None:
        # PortManager leaves unanswered an option it has only the other way round (a
        # client's WILL ECHO); that is refused as an unknown one is. A refusal is never
        # answered, so no two peers argue.
        options = self._telnet_options  # type: ignore[attr-defined]  # PortManager's own, not in its stub
        if not any(item.option == option and command in (item.ack_yes, item.ack_no) for item in options):
            if command in (WILL, DO):
                self.telnet_send_option(DONT if command == WILL else WONT, option)
            return
        super()._telnet_negotiate_option(command, option)  # type: ignore[misc]


class Client:
    """A connected RFC 2217 client of one channel; the loop's, as its fields are."""

    def __init__(self, channel: RateHolder, sock: socket.socket, peer: Tuple[Any, ...]) -> None:
        self.channel = channel
        self.sock = sock
        self.peer = peer
        self.outgoing = bytearray()  # telnet bytes waiting for the socket
        self.routed = False  # a routed torvak:// port (it said so in its signature)
        # It has sent more than telnet negotiation (a signature, a setting, data): what it is
        # is known by then, as a routed port's signature comes first.
        self.spoken = False
        self.manager = _Manager(PortFacade(channel), self)
        self.telnet = TelnetInput()

    def kind(self) -> str:
        """What the client is, in front of who it is (str(client))."""
        return "routed torvak:// client" if self.routed else "RFC 2217 client"

    def write(self, data: bytes) -> None:
        """PortManager's connection: telnet replies join the outgoing bytes."""
        self.outgoing += data

    def rate_settled(self) -> None:
        """The rate changes are done: a held answer goes out with the rate in force."""
        if self.manager.held_rate_answer:
            self.manager.held_rate_answer = False
            self.manager.rfc2217_send_subnegotiation(SERVER_SET_BAUDRATE, struct.pack("!I", self.channel.rate))

    def send_data(self, data: bytes) -> None:
        self.outgoing += data.replace(IAC, IAC + IAC)

    def received(self, data: bytes) -> None:
        """Bytes from the client, applied in their order: serial data goes to the channel,
        telnet commands go, whole, to PortManager (a SET-BAUDRATE thus lands between the
        data before and after it). It raises on malformed commands, the framing on an
        oversized one, and the caller drops the client."""
        for piece in self.telnet.feed(data):
            if isinstance(piece, Command):
                self.spoken = self.spoken or piece.verb not in NEGOTIATIONS
                for _ in self.manager.filter(piece.wire()):
                    pass  # a whole command leaves no data
            elif piece:
                self.spoken = True
                self.channel.send(piece)

    def __str__(self) -> str:
        # (host, port, ...) of a TCP client; (who,) of one on the channel's Unix socket
        return "{}:{}".format(*self.peer[:2]) if len(self.peer) > 1 else str(self.peer[0])
