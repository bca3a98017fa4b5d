"""The signals that end a command: Ctrl-C (SIGINT), SIGTERM and SIGHUP (the terminal went
away). Each raises an exception in the main thread (KeyboardInterrupt or Terminated), so
that the way out closes every port and the command exits with 128 + the signal number.

While a port or device is being opened or closed they are held, and raised once that is
done. Raised in the middle, the exception would leave a channel open with nothing left to
close it: the module leaves a channel in its device's table when anything but an IOError
cuts its opening short (a signal handler runs inside the module's waits), and the
device's reader would then keep the process from ever exiting.
"""
import contextlib
import signal
from types import FrameType
from typing import Callable, Iterator, Optional, TypeVar

T = TypeVar("T")

# Windows has no SIGHUP (a closed console ends the process by other means).
ENDING = tuple(number for number in (signal.SIGINT, signal.SIGTERM, getattr(signal, "SIGHUP", None)) if number is not None)


class Terminated(BaseException):
    """SIGTERM or SIGHUP, raised like KeyboardInterrupt so that every port gets closed."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class _State:
    held = 0  # depth of held() blocks; main thread only, as are signal handlers
    pending: Optional[int] = None  # the first signal that arrived while held


def _raise(signum: int) -> None:
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    raise Terminated(signum)


def _handler(signum: int, frame: Optional[FrameType]) -> None:
    if _State.held:
        if _State.pending is None:
            _State.pending = signum
        return
    _raise(signum)


@contextlib.contextmanager
def ending_signals_raise() -> Iterator[None]:
    saved = {number: signal.signal(number, _handler) for number in ENDING}
    try:
        yield
    finally:
        for number, previous in saved.items():
            signal.signal(number, previous)


@contextlib.contextmanager
def held() -> Iterator[None]:
    _State.held += 1
    try:
        yield
    finally:
        _State.held -= 1
        if not _State.held and _State.pending is not None:
            signum, _State.pending = _State.pending, None
            _raise(signum)


@contextlib.contextmanager
def opened(open_: Callable[[], T], close: Callable[[T], object]) -> Iterator[T]:
    """open_()'s result for the block, closed with close(result) on every way out; the
    ending signals are held while it opens and while it closes."""
    with contextlib.ExitStack() as stack:
        with held():
            resource = open_()
            stack.callback(_close_held, close, resource)
        yield resource


def _close_held(close: Callable[[T], object], resource: T) -> None:
    with held():
        close(resource)
