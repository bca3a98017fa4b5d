"""``torvak term``: an interactive terminal on one channel.

Typed bytes go to the channel as they are typed (Enter sends a carriage return, as on a
serial console); received bytes are written to standard output unchanged. Ctrl-] quits.
Ctrl-C still interrupts, so the caller's clean-up runs on that way out too. When standard
input is not a terminal its bytes are sent as they come, and at its end the session
stays until the line has been quiet for a second.
"""
import contextlib
import os
import select
import termios
import time

from torvak_common import explain

from torvak_cli.devices import port_serial, reader_stopped
from torvak_cli.failures import CliError

QUIT_KEY = b"\x1d"  # Ctrl-]
POLL_INTERVAL = 0.02  # seconds between looks at the channel while nothing is typed
QUIET_AFTER_INPUT_END = 1.0
_READ_SIZE = 4096
_DISABLED = b"\x00"  # _POSIX_VDISABLE on Linux: the key has no special meaning


@contextlib.contextmanager
def keystroke_mode(fd):
    """Puts the terminal at `fd` into byte-at-a-time mode without echo for the block and
    restores it on every way out. Ctrl-C keeps raising SIGINT; Ctrl-Z and Ctrl-\\ become
    plain bytes, so the terminal cannot be left suspended in this mode."""
    if not os.isatty(fd):
        yield
        return
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
    try:
        yield
    finally:
        termios.tcsetattr(fd, termios.TCSADRAIN, saved)


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def run(port, stdin_fd, stdout_fd, reports, banner):
    """The session loop; returns when Ctrl-] is typed or, with piped input, after its end.

    `banner` is written to the real standard error once the keyboard mode is set, so that
    nothing typed after it is echoed or held back by the line editor."""
    input_open = True
    input_ended_at = None
    last_output = time.monotonic()
    with keystroke_mode(stdin_fd):
        reports.real.write(banner)
        reports.real.flush()
        while True:
            ready = []
            if input_open:
                ready, _, _ = select.select([stdin_fd], [], [], POLL_INTERVAL)
            else:
                time.sleep(POLL_INTERVAL)
            if ready:
                typed = os.read(stdin_fd, _READ_SIZE)
                if not typed:
                    input_open = False
                    input_ended_at = time.monotonic()
                else:
                    quit_at = typed.find(QUIT_KEY)
                    if quit_at >= 0:
                        typed = typed[:quit_at]
                    if typed:
                        try:
                            port.write(typed)
                        except OSError as error:
                            raise CliError(explain(error, port.port, serial_number=port_serial(port))) from None
                    if quit_at >= 0:
                        return
            waiting = port.in_waiting
            if waiting:
                _write_all(stdout_fd, port.read(waiting))
                last_output = time.monotonic()
                continue
            failure = reports.reader_failure()
            if failure is not None:
                raise reader_stopped(port, failure, "during the session")
            if input_ended_at is not None:
                quiet_since = max(input_ended_at, last_output)
                if time.monotonic() - quiet_since >= QUIET_AFTER_INPUT_END:
                    return
