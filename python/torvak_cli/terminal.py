"""``torvak term``: an interactive terminal on one channel.

Typed bytes go to the channel as they are typed (Enter sends a carriage return, as on a
serial console); received bytes are written to standard output unchanged. Ctrl-] quits.
Ctrl-C still interrupts, so the caller's clean-up runs on that way out too. When standard
input is not a terminal every byte of it is data, the quit key included: it is sent as it
comes, and at its end the session stays until the line has been quiet for the linger time
(so the answer to the last bytes is not cut off), at most MAX_LINGER seconds.
"""
import contextlib
import errno
import os
import select
import signal
import termios
import time
from typing import Iterator, List, Optional, Union

import torvak_serial

from torvak_cli.devices import port_lost, reader_stopped
from torvak_cli.reports import ReportRecorder
from torvak_cli.signals import Terminated

QUIT_KEY = b"\x1d"  # Ctrl-]
POLL_INTERVAL = 0.02  # seconds between looks at the channel while nothing is typed
DEFAULT_LINGER = 0.5
MAX_LINGER = 10.0
_READ_SIZE = 4096
_DISABLED = b"\x00"  # _POSIX_VDISABLE on Linux: the key has no special meaning


@contextlib.contextmanager
def keystroke_mode(fd: int) -> Iterator[None]:
    """Puts the terminal at `fd` into byte-at-a-time mode without echo for the block and
    restores it on every way out. Ctrl-C keeps raising SIGINT; Ctrl-Z and Ctrl-\\ become
    plain bytes, so the terminal cannot be left suspended in this mode."""
    if not os.isatty(fd):
        yield
        return
    try:
        saved = termios.tcgetattr(fd)
        mode = termios.tcgetattr(fd)
        mode[0] &= ~(termios.ICRNL | termios.INLCR | termios.IGNCR | termios.IXON | termios.ISTRIP)
        mode[3] &= ~(termios.ICANON | termios.ECHO | termios.IEXTEN)
        mode[6] = list(mode[6])
        mode[6][termios.VMIN] = 1
        mode[6][termios.VTIME] = 0
        for key in (termios.VSUSP, termios.VQUIT):
            mode[6][key] = _DISABLED
        termios.tcsetattr(fd, termios.TCSANOW, mode)
    except termios.error as error:
        raise _hung_up(error) from None
    try:
        yield
    finally:
        try:
            termios.tcsetattr(fd, termios.TCSADRAIN, saved)
        except termios.error:
            pass  # the terminal hung up: there is nothing left to restore


def _hung_up(error: Union[OSError, termios.error]) -> BaseException:
    # A terminal that went away fails every read, write and mode change with EIO, and
    # this process may see that before its SIGHUP.
    number = error.errno if isinstance(error, OSError) else error.args[0]
    if number == errno.EIO:
        return Terminated(signal.SIGHUP)
    return error


def _read(fd: int) -> bytes:
    try:
        return os.read(fd, _READ_SIZE)
    except OSError as error:
        raise _hung_up(error) from None


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    try:
        while view:
            view = view[os.write(fd, view):]
    except OSError as error:
        raise _hung_up(error) from None


def run(port: torvak_serial.Serial, stdin_fd: int, stdout_fd: int, reports: ReportRecorder, banner: str,
        linger: float = DEFAULT_LINGER) -> None:
    """The session loop; returns when Ctrl-] is typed at a terminal or, with other input,
    after its end once the line has been quiet for `linger` seconds.

    `banner` is written to the real standard error once the keyboard mode is set, so that
    nothing typed after it is echoed or held back by the line editor."""
    interactive = os.isatty(stdin_fd)
    input_open = True
    input_ended_at: Optional[float] = None
    last_output = time.monotonic()
    with keystroke_mode(stdin_fd):
        try:
            reports.real.write(banner)
            reports.real.flush()
        except OSError as error:
            raise _hung_up(error) from None
        while True:
            ready: List[int] = []
            if input_open:
                ready, _, _ = select.select([stdin_fd], [], [], POLL_INTERVAL)
            else:
                time.sleep(POLL_INTERVAL)
            if ready:
                typed = _read(stdin_fd)
                if not typed:
                    input_open = False
                    input_ended_at = time.monotonic()
                else:
                    quit_at = typed.find(QUIT_KEY) if interactive else -1
                    if quit_at >= 0:
                        typed = typed[:quit_at]
                    if typed:
                        try:
                            port.write(typed)
                        except OSError as error:  # SerialException is one
                            raise port_lost(port, error, "during the session", reports.reader_failure()) from None
                    if quit_at >= 0:
                        return
            try:
                waiting = port.in_waiting
                received = port.read(waiting) if waiting else b""
            except OSError as error:  # SerialException is one: the device or the service went away
                raise port_lost(port, error, "during the session", reports.reader_failure()) from None
            if received:
                _write_all(stdout_fd, received)
                last_output = time.monotonic()
                if input_ended_at is None or last_output - input_ended_at < MAX_LINGER:
                    continue
            failure = reports.reader_failure()
            if failure is not None:
                raise reader_stopped(port, failure, "during the session")
            if input_ended_at is not None:
                now = time.monotonic()
                if now - max(input_ended_at, last_output) >= linger or now - input_ended_at >= MAX_LINGER:
                    return
