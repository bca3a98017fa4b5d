"""Whether a channel's device takes data: a queue that stays full with the same bytes
waiting is said in the log after STALL_WARNING, and again when the device takes data."""
import logging
import time
from typing import Optional

_log = logging.getLogger("torvak.serve")

STALL_WARNING = 5.0  # seconds of the device taking nothing before the log says so


class StallWatch:
    """One channel's (`owner` names it in the log); the loop's, as the channel is."""

    def __init__(self, owner: object) -> None:
        self._owner = owner
        self._since: Optional[float] = None  # when the queue was first seen full with _waiting
        self._waiting: Optional[int] = None
        self._logged = False

    def note(self, stalled: bool, waiting: int) -> None:
        """The queue was heard from: full (`stalled`) or not, with `waiting` bytes in it."""
        if not stalled or waiting != self._waiting:
            if self._since is not None and self._logged:
                _log.info("%s: the device takes data again", self._owner)
            self._since = None
            self._logged = False
            self._waiting = waiting if stalled else None
            if stalled:
                self._since = time.monotonic()
            return
        now = time.monotonic()
        since = now if self._since is None else self._since  # (set whenever stalled)
        if not self._logged and now - since >= STALL_WARNING:
            self._logged = True
            _log.warning("%s: the device has taken no data for %.0f s; what the client sent waits for it",
                         self._owner, now - since)
