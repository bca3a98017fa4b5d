"""The service's event loop: the only user of `selectors` in the service. Every callback
runs on the loop's thread; other threads hand work to it with post()."""
import collections
import heapq
import itertools
import logging
import os
import selectors
import time
from typing import Any, Callable, Deque, Dict, List, Tuple

_log = logging.getLogger("torvak.serve")

Posted = Callable[[], None]
Ready = Callable[[int], None]  # called with the events that are ready


class EventLoop:
    """The loop's thread owns every field but `_posted`, which any thread appends to (a
    deque's append is atomic) and the loop empties; post() and wake() are for any thread."""

    def __init__(self) -> None:
        self._selector = selectors.DefaultSelector()
        self._watched: Dict[int, int] = {}  # fd -> events
        # (when, order, callback) of the calls made by call_later(), soonest first
        self._timers: List[Tuple[float, int, Posted]] = []
        self._order = itertools.count()
        self._posted: Deque[Posted] = collections.deque()
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        os.set_blocking(self._wake_w, False)
        self._selector.register(self._wake_r, selectors.EVENT_READ, self._on_wake)

    def post(self, callback: Posted) -> None:
        """Runs `callback` on the loop (from any thread)."""
        self._posted.append(callback)
        self.wake()

    def wake(self) -> None:
        """Ends the loop's current wait (from any thread, a signal handler included)."""
        try:
            os.write(self._wake_w, b"\0")
        except OSError:
            pass  # full of wake-ups already

    def _on_wake(self, events: int) -> None:
        try:
            while os.read(self._wake_r, 4096):
                pass
        except BlockingIOError:
            pass
        while self._posted:
            self.call(self._posted.popleft())

    def watch(self, fd: int, events: int, callback: Ready) -> None:
        """Watches `fd` for `events` (0: not at all) with `callback(events)`."""
        current = self._watched.get(fd)
        if not events:
            if current:
                self.unwatch(fd)
            return
        if current is None:
            self._selector.register(fd, events, callback)
        elif current != events:
            self._selector.modify(fd, events, callback)
        self._watched[fd] = events

    def unwatch(self, fd: int) -> None:
        if self._watched.pop(fd, None) is not None:
            self._selector.unregister(fd)

    def call_later(self, delay: float, callback: Posted) -> None:
        """Runs `callback` on the loop once `delay` seconds have passed (from the loop)."""
        heapq.heappush(self._timers, (time.monotonic() + delay, next(self._order), callback))

    def run_once(self, timeout: float) -> None:
        """Waits at most `timeout` seconds (less when a call_later() is due sooner), then
        runs the callbacks of what is ready and of the calls that are due."""
        timers = self._timers
        if timers:
            timeout = max(0.0, min(timeout, timers[0][0] - time.monotonic()))
        for key, events in self._selector.select(timeout):
            if key.fd in self._watched or key.fd == self._wake_r:
                self.call(key.data, events)
        if timers:
            now = time.monotonic()
            while timers and timers[0][0] <= now:
                self.call(heapq.heappop(timers)[2])

    @staticmethod
    def call(callback: Callable[..., Any], *args: Any) -> None:
        # A callback that fails is a fault of its own channel or request: it is logged and
        # the loop goes on serving the others.
        try:
            callback(*args)
        except Exception:
            _log.exception("event loop: %r failed", callback)

    def close(self) -> None:
        self._selector.close()
        os.close(self._wake_r)
        os.close(self._wake_w)
