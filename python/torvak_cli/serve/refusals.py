"""The log of turned-away clients: one line per peer address per minute at most, so that a
peer connecting in a loop cannot fill the log (or keep the loop busy writing it); the
refusals held back are counted and said when their minute is over.

It also paces the TCP ports under a flood of connections that are refused: past FLOOD of
them within FLOOD_WINDOW, the ports stop accepting for FLOOD_PAUSE, and connections wait in
the kernel's backlog meanwhile. A flood then costs the loop a bounded share of its time,
and the flooding processes wait instead of taking the CPU from everyone else."""
import logging
import time
from typing import Callable, Dict, List

_log = logging.getLogger("torvak.serve")

PERIOD = 60.0  # seconds between two lines about one peer address
MOST_PEERS = 1024  # addresses remembered at once; more are counted together
FLOOD = 50  # refusals at the TCP ports within FLOOD_WINDOW that pause them
FLOOD_WINDOW = 0.25
FLOOD_PAUSE = 0.25  # seconds (rounded up to the loop's tick)


class RefusalLog:
    """Runs on the loop, which owns every field."""

    def __init__(self, clock: Callable[[], float] = time.monotonic) -> None:
        self._clock = clock
        self._peers: Dict[str, List[float]] = {}  # address -> [time of its last line, refusals held back since]
        self._window = (0.0, 0)  # when the current window began, refusals at TCP ports in it
        self._paused: List[Callable[[], None]] = []  # what resumes the paused ports
        self._resume_at = 0.0

    def flooding(self) -> bool:
        """Counts a refusal at a TCP port; whether the ports should pause now."""
        now = self._clock()
        start, count = self._window
        if now - start > FLOOD_WINDOW:
            start, count = now, 0
        self._window = (start, count + 1)
        return count + 1 >= FLOOD

    def pause(self, resume: Callable[[], None]) -> None:
        """`resume()` is called once FLOOD_PAUSE has passed (from the loop's tick)."""
        self._paused.append(resume)
        self._resume_at = self._clock() + FLOOD_PAUSE

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
        if self._paused and now >= self._resume_at:
            resumed, self._paused = self._paused, []
            self._window = (now, 0)
            for resume in resumed:
                resume()
        for address, (since, held) in list(self._peers.items()):
            if now - since >= PERIOD:
                del self._peers[address]
                if held:
                    _log.warning("%d more clients from %s refused in the last %d s", held, address, PERIOD)
