"""What a served channel's core and the ends it serves (the tty's program, an RFC 2217
client) reach of each other: two small interfaces, so that the core never asks which kind
of end it serves. Everything here runs on the loop."""
import selectors
from typing import Callable, Optional, Protocol

from torvak_common.served import FLOW_WINDOW

_EVENT_READ, _EVENT_WRITE = selectors.EVENT_READ, selectors.EVENT_WRITE


def events_wanted(outgoing: bytearray, takes_input: bool) -> int:
    """What the loop watches an end for: writable while `outgoing` holds data, readable
    while `takes_input` and the end's reader keeps up (less than FLOW_WINDOW waits for it)."""
    events = _EVENT_WRITE if outgoing else 0
    if takes_input and len(outgoing) < FLOW_WINDOW:
        events |= _EVENT_READ
    return events


class End(Protocol):
    """A way a channel is served: its tty, or a client on one of its sockets. One end at a
    time holds the channel (Core.hold); the data from the device goes to that one."""

    # Data from the device waiting for the end's reader; deliver() adds to it.
    outgoing: bytearray
    deliver: Callable[[bytes], None]

    def pass_on(self) -> None:
        """Writes what `outgoing` holds as far as the end takes it without waiting."""

    def watch(self, takes_input: bool) -> None:
        """Has the loop watch the end for what it can do now: write while `outgoing` holds
        data, read while `takes_input` and its reader keeps up."""

    def rate_settled(self) -> None:
        """The rate changes asked for have all been answered."""

    def holder(self) -> Optional[str]:
        """Who uses the channel through this end (the status answer's "client"), or None."""

    def busy(self) -> Optional[str]:
        """Who keeps a new client out (said in its refusal); None when nobody does, after
        letting go of a holder that has gone without the loop noticing yet."""

    def drop(self, why: Optional[str]) -> None:
        """Lets go of the channel (`why` is logged, when given)."""


class Core(Protocol):
    """What an end reaches of its channel (an RFC 2217 client's RateHolder among it)."""

    number: int
    rate: int
    rate_jobs: int

    def request_rate(self, rate: int, source: str) -> None: ...

    def purge(self) -> None: ...

    def send(self, data: bytes) -> None: ...

    def when_sent(self, answer: Callable[[], None]) -> None: ...

    def takes_input(self) -> bool:
        """Whether the queue takes input now."""

    def input_room(self) -> int:
        """How much to read from the end now: what the queue takes."""

    def update(self) -> None:
        """Sets what the loop watches of the end holding the channel."""

    def busy(self) -> Optional[str]:
        """Who holds the channel (or has its tty open), when anybody does."""

    def tick(self) -> None:
        """Looks at the channel (every TICK, and when a program opens its tty)."""

    def hold(self, end: End, introduced: bool = True) -> None:
        """`end` holds the channel from now on (`introduced`: who it is is known)."""

    def introduced(self, end: End, holder: str) -> None:
        """Who the end holding the channel is has become known."""

    def release(self, end: End) -> None:
        """`end` has let go of the channel."""
