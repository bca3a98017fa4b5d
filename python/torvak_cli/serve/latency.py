"""A served channel's reads from the device, timed as a USB serial chip's latency timer
passes data on: bytes that arrive after a quiet spell go at once; while the device keeps
sending, the port is left unwatched and read again every LATENCY, all at once, so that a
stream of small packets costs the loop one read (and one write to the client) per LATENCY
rather than per packet. A byte waits at most LATENCY longer (docs/serve.md)."""
import selectors
from typing import Callable

from torvak_cli.serve.loop import Posted, Ready

LATENCY = 0.004  # a USB serial chip's latency timer is 1 to 16 ms


class LatencyTimer:
    """The loop's, as every field. `read()` moves what has arrived on and says whether
    anything had; it may stop the timer (a lost device)."""

    def __init__(self, fd: int, read: Callable[[], bool], watch: Callable[[int, int, Ready], None],
                 unwatch: Callable[[int], None], call_later: Callable[[float, Posted], None]) -> None:
        self._fd = fd
        self._read = read
        self._watch, self._unwatch, self._call_later = watch, unwatch, call_later
        self._stopped = False

    def start(self) -> None:
        self._watch(self._fd, selectors.EVENT_READ, self._ready)

    def stop(self) -> None:
        self._stopped = True
        self._unwatch(self._fd)

    def _ready(self, events: int) -> None:
        if self._read() and not self._stopped:
            self._unwatch(self._fd)
            self._call_later(LATENCY, self._ended)

    def _ended(self) -> None:
        if self._stopped:
            return
        if self._read():
            if not self._stopped:
                self._call_later(LATENCY, self._ended)
        elif not self._stopped:  # quiet again
            self.start()
