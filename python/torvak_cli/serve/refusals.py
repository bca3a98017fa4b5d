"""The log of turned-away clients: one line per peer address per minute at most, so that a
peer connecting in a loop cannot fill the log (or keep the loop busy writing it); the
refusals held back are counted and said when their minute is over."""
import logging
import time
from typing import Callable, Dict, List

_log = logging.getLogger("torvak.serve")

PERIOD = 60.0  # seconds between two lines about one peer address
MOST_PEERS = 1024  # addresses remembered at once; more are counted together


class RefusalLog:
    """Runs on the loop, which owns every field."""

    def __init__(self, clock: Callable[[], float] = time.monotonic) -> None:
        self._clock = clock
        self._peers: Dict[str, List[float]] = {}  # address -> [time of its last line, refusals held back since]

    def refused(self, address: str, level: int, message: str, *args: object) -> None:
        """Logs `message % args` about a refusal of a client from `address`, unless a line
        about that address was logged less than PERIOD ago."""
        now = self._clock()
        if address not in self._peers and len(self._peers) >= MOST_PEERS:
            address = "other addresses"
        seen = self._peers.get(address)
        if seen is not None and now - seen[0] < PERIOD:
            seen[1] += 1
            return
        self._peers[address] = [now, 0]
        _log.log(level, message, *args)

    def expire(self) -> None:
        """Says how many refusals were held back for each address whose minute is over, and
        forgets it (called from the loop's tick)."""
        now = self._clock()
        for address, (since, held) in list(self._peers.items()):
            if now - since >= PERIOD:
                del self._peers[address]
                if held:
                    _log.warning("%d more clients from %s refused in the last %d s", held, address, PERIOD)
