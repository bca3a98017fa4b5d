"""The RFC 2217 side of a served channel: the protocol's server session (torvak_common's),
with its events acted on by the channel, on the loop. The device sets nothing but the baud
rate; a SET-BAUDRATE is answered once the device has confirmed or refused the rate, so that
a client (pyserial's waits up to 3 s) learns of a refusal as a direct port's caller does."""
import logging
import socket
from typing import Any, Callable, Protocol, Tuple

from torvak_common import check_baudrate
from torvak_common.rfc2217 import ClientSignature, LineStatePoll, PurgeRequest, RateRequest, ServerSession
from torvak_common.served import ROUTED_SIGNATURE

_log = logging.getLogger("torvak.serve")


class RateHolder(Protocol):
    """What an RFC 2217 client reaches of its channel (on the loop)."""

    rate: int  # in force, or asked for last
    rate_jobs: int  # rate changes waiting for the device's answer

    def request_rate(self, rate: int, source: str) -> None: ...

    def purge(self) -> None: ...

    def send(self, data: bytes) -> None: ...

    def when_sent(self, answer: Callable[[], None]) -> None: ...


class Client:
    """A connected RFC 2217 client of one channel; the loop's, as its fields are."""

    def __init__(self, channel: RateHolder, sock: socket.socket, peer: Tuple[Any, ...]) -> None:
        self.channel = channel
        self.sock = sock
        self.peer = peer
        self.session = ServerSession()
        self.outgoing = self.session.outgoing  # telnet bytes waiting for the socket
        self.routed = False  # a routed torvak:// port (it said so in its signature)
        self._rate_held = False  # a SET-BAUDRATE's answer waits for the rate changes under way

    @property
    def spoken(self) -> bool:
        """It has sent more than telnet negotiation (a signature, a setting, data): what it
        is is known by then, as a routed port's signature comes first."""
        return self.session.spoken

    def kind(self) -> str:
        """What the client is, in front of who it is (str(client))."""
        return "routed torvak:// client" if self.routed else "RFC 2217 client"

    def rate_settled(self) -> None:
        """The rate changes are done: a held answer goes out with the rate in force."""
        if self._rate_held:
            self._rate_held = False
            self.session.answer_rate(self.channel.rate)

    def send_data(self, data: bytes) -> None:
        self.session.send_data(data)

    def received(self, data: bytes) -> None:
        """Bytes from the client, applied in their order: serial data goes to the channel,
        a SET-BAUDRATE lands between the data before and after it. Raises on input no
        client sends, and the caller drops the client."""
        channel = self.channel
        for event in self.session.received(data):
            if isinstance(event, bytes):
                channel.send(event)
            elif isinstance(event, RateRequest):
                self._rate(event.rate)
            elif isinstance(event, PurgeRequest):
                if event.transmit:
                    try:
                        channel.purge()
                    except Exception as error:  # the client goes on; its answer says done
                        _log.warning("%s: purge from the RFC 2217 client failed: %s", channel, error)
                # what the service received from the device goes to the client as it comes
            elif isinstance(event, LineStatePoll):
                # Answered once the bytes sent before it have reached the device: a flush.
                channel.when_sent(self.session.answer_line_state)
            elif isinstance(event, ClientSignature):
                # Routed ports come through the channel's Unix socket only. The service's
                # own signature is not given (from the service, it says why it refused).
                self.routed = event.text == ROUTED_SIGNATURE and len(self.peer) == 1

    def _rate(self, rate: int) -> None:
        channel = self.channel
        if rate:  # 0 asks for the rate in force
            try:
                channel.request_rate(check_baudrate(rate), "RFC 2217 client")
            except Exception as error:  # answered with the rate in force
                _log.warning("%s: baud rate %r from the RFC 2217 client ignored: %s", channel, rate, error)
        if channel.rate_jobs > 0:
            self._rate_held = True
        else:
            self.session.answer_rate(channel.rate)

    def __str__(self) -> str:
        # (host, port, ...) of a TCP client; (who,) of one on the channel's Unix socket
        return "{}:{}".format(*self.peer[:2]) if len(self.peer) > 1 else str(self.peer[0])
