"""``torvak term``: an interactive terminal on one channel.

Typed bytes go to the channel as they are typed (Enter sends a carriage return, as on a
serial console); received bytes are written to standard output unchanged. Ctrl-] quits.
Ctrl-C still interrupts, so the caller's clean-up runs on that way out too. When standard
input is not a terminal every byte of it is data, the quit key included: it is sent as it
comes, and at its end the session stays until the line has been quiet for the linger time
(so the answer to the last bytes is not cut off), at most MAX_LINGER seconds.

On Windows, whose select() takes sockets only, a thread reads standard input; typing at
the console goes through pyserial's miniterm and its console for Windows, set up as here
(Ctrl-] quits, Enter sends a carriage return, received bytes are written unchanged;
arrow and editing keys go as the escape sequences a VT100 sends; Ctrl-T opens miniterm's
menu).
"""
import contextlib
import errno
import os
import queue
import select
import signal
import sys
import threading
import time
from typing import Iterator, Optional, Union

if sys.platform != "win32":  # Windows' console has no termios
    import termios

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


def _hung_up(error: Union[OSError, "termios.error"]) -> BaseException:
    # A terminal that went away fails every read, write and mode change with EIO, and
    # this process may see that before its SIGHUP.
    number = error.errno if isinstance(error, OSError) else error.args[0]
    if number == errno.EIO and sys.platform != "win32":  # Windows has no SIGHUP
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
    if interactive and sys.platform == "win32":
        _console_session(port, reports, banner)
        return
    piped = _PipedInput(stdin_fd) if sys.platform == "win32" else None
    input_open = True
    input_ended_at: Optional[float] = None
    last_output = time.monotonic()
    with keystroke_mode(stdin_fd) if piped is None else contextlib.nullcontext():
        try:
            reports.real.write(banner)
            reports.real.flush()
        except OSError as error:
            raise _hung_up(error) from None
        while True:
            typed: Optional[bytes] = None
            if input_open:
                typed = _typed(stdin_fd, piped)
            else:
                time.sleep(POLL_INTERVAL)
            if typed is not None:
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


def _typed(stdin_fd: int, piped: Optional["_PipedInput"]) -> Optional[bytes]:
    """What came in on standard input within POLL_INTERVAL: None when nothing did, b"" at
    its end."""
    if piped is not None:
        return piped.take(POLL_INTERVAL)
    ready, _, _ = select.select([stdin_fd], [], [], POLL_INTERVAL)
    return _read(stdin_fd) if ready else None


class _PipedInput:
    """Standard input read by a thread of its own, for a system whose select() does not
    take it (Windows): what it reads, in order, and its end (b"")."""

    def __init__(self, fd: int) -> None:
        self._chunks: "queue.Queue[Union[bytes, OSError]]" = queue.Queue()
        # A daemon: the session may end (the device gone) while it waits for input.
        threading.Thread(target=self._run, args=(fd,), name="torvak term input", daemon=True).start()

    def _run(self, fd: int) -> None:
        while True:
            try:
                chunk = os.read(fd, _READ_SIZE)
            except OSError as error:
                self._chunks.put(error)
                return
            self._chunks.put(chunk)
            if not chunk:
                return

    def take(self, timeout: float) -> Optional[bytes]:
        try:
            chunk = self._chunks.get(timeout=timeout)
        except queue.Empty:
            return None
        if isinstance(chunk, OSError):
            raise chunk
        return chunk


def _console_session(port: torvak_serial.Serial, reports: ReportRecorder, banner: str) -> None:
    """The session at a Windows console: pyserial's miniterm on the open port, with its
    console for Windows, until Ctrl-] (Ctrl-C ends it too and is raised on)."""
    from torvak_cli.miniterm import make_importable

    make_importable()
    import serial.tools.miniterm as miniterm

    # Any pyserial port will do (its stubs name the platform's own class).
    session = miniterm.Miniterm(port, echo=False, eol="cr", filters=())  # type: ignore[arg-type]
    session.exit_character = QUIT_KEY.decode()
    session.raw = True  # bytes as received, no newline or encoding translation
    session.set_tx_encoding("UTF-8")
    reports.real.write(banner)
    reports.real.flush()
    session.start()
    try:
        session.join(True)
    except KeyboardInterrupt:
        session.stop()
        session.console.cancel()  # the console's reader waits for a key
        session.join()
        raise
    session.join()
    try:
        _ = port.in_waiting  # miniterm's reader stops when the port fails: say why, as above
    except OSError as error:  # SerialException is one
        raise port_lost(port, error, "during the session", reports.reader_failure()) from None
    failure = reports.reader_failure()
    if failure is not None:
        raise reader_stopped(port, failure, "during the session")
