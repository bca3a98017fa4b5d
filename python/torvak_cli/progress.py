"""The progress bar of ``send`` and ``receive``, and the rate they finish with."""
import shutil
import time
from typing import IO, Callable, Optional

REDRAW_INTERVAL = 0.1  # seconds; a redraw per chunk would cost more than the transfer
_INDETERMINATE = "<=>"


def bytes_per_second(count: int, seconds: float) -> float:
    return count / seconds if seconds > 0 else 0.0


def format_rate(rate: float) -> str:
    for unit, size in (("MB/s", 1e6), ("kB/s", 1e3)):
        if rate >= size:
            return "{:.1f} {}".format(rate / size, unit)
    return "{:.0f} B/s".format(rate)


def format_bar(done: int, total: Optional[int], elapsed: float, width: int) -> str:
    """One line of at most `width` characters. With no total (size unknown) a marker
    sweeps across the bar instead of filling it."""
    rate = format_rate(bytes_per_second(done, elapsed))
    if total:
        fraction = min(done / total, 1.0)
        tail = " {:3d}%  {}/{} bytes  {}".format(int(fraction * 100), done, total, rate)
    else:
        fraction = None
        tail = "  {} bytes  {}".format(done, rate)
    inner = max(width - len(tail) - 2, 10)
    if fraction is not None:
        filled = int(inner * fraction)
        bar = "#" * filled + "-" * (inner - filled)
    else:
        travel = inner - len(_INDETERMINATE)
        step = int(elapsed * 10) % (2 * travel) if travel > 0 else 0
        at = step if step <= travel else 2 * travel - step
        bar = (" " * at + _INDETERMINATE).ljust(inner)
    return ("[" + bar + "]" + tail)[:width]


class ProgressBar:
    """Redraws one line of `stream` in place; does nothing when not enabled."""

    def __init__(self, stream: IO[str], total: Optional[int] = None, enabled: bool = True,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self._stream = stream
        self._total = total
        self._enabled = enabled
        self._clock = clock
        self._started = clock()
        self._drawn_at: Optional[float] = None

    def restart(self) -> None:
        """The rate counts from now (``receive`` starts it at the first byte)."""
        self._started = self._clock()

    def update(self, done: int, force: bool = False) -> None:
        if not self._enabled:
            return
        now = self._clock()
        if not force and self._drawn_at is not None and now - self._drawn_at < REDRAW_INTERVAL:
            return
        self._drawn_at = now
        width = shutil.get_terminal_size((80, 24)).columns - 1
        self._stream.write("\r" + format_bar(done, self._total, now - self._started, width))
        self._stream.flush()

    def finish(self, done: int) -> None:
        """Draws the final state and ends the line, if anything was drawn."""
        if self._enabled:
            self.update(done, force=True)
            self._stream.write("\n")
            self._stream.flush()
