"""The pseudo-terminal of a served channel: a raw pty whose slave programs open by a
symlink, with the baud rate read from (and put back into) the slave's termios."""
import array
import fcntl
import logging
import os
import select
import termios
import tty
from typing import Optional

from torvak_cli.serve import devpts

_log = logging.getLogger("torvak.serve")

# Linux termios2 ioctls (the kernel fills c_ospeed for every rate, with or without a
# B constant); the struct is 44 bytes: four flag words, c_line, 19 c_cc, two speeds.
TCGETS2 = 0x802C542A
TCSETS2 = 0x402C542B
BOTHER = 0o010000
_CFLAG, _ISPEED, _OSPEED = 2, 9, 10
TIOCGPTPEER = 0x5441  # opens the slave of a master without a path


def _termios2(fd: int) -> "array.array[int]":
    buf = array.array("I", [0] * 11)
    fcntl.ioctl(fd, TCGETS2, buf)
    return buf


def read_rate(fd: int) -> int:
    """The output rate set on the tty (through its master or its slave)."""
    return _termios2(fd)[_OSPEED]


def write_rate(fd: int, rate: int) -> None:
    """Sets the rate, as its B constant where it has one (so that programs reading the
    rate with plain tcgetattr see it), else as BOTHER."""
    buf = _termios2(fd)
    buf[_CFLAG] = (buf[_CFLAG] & ~termios.CBAUD) | getattr(termios, "B{}".format(rate), BOTHER)
    buf[_ISPEED] = buf[_OSPEED] = rate
    fcntl.ioctl(fd, TCSETS2, buf)


class Pty:
    """A pty pair whose master this service keeps. The slave is closed unless a program
    opens it (or the service holds it exclusive for an RFC 2217 client); the master then
    polls hang-up, which is how the service tells whether a program holds the tty."""

    def __init__(self, link: str, rate: int, gid: Optional[int]) -> None:
        # Every field is the loop's.
        self.link = link
        self.master, slave, self.slave_name = devpts.open_pair()
        try:
            tty.setraw(slave)
            write_rate(slave, rate)
            if gid is not None:
                try:
                    os.fchown(slave, -1, gid)
                except OSError as error:  # a group the service's user is not in
                    _log.debug("%s: tty keeps its group: %s", link, error)
            os.fchmod(slave, 0o660)
        finally:
            os.close(slave)
        os.set_blocking(self.master, False)
        self._poll = select.poll()
        self._poll.register(self.master, select.POLLIN)
        self.rate = rate  # the rate last seen on, or put into, the tty
        self._exclusive = -1  # the slave, held open with TIOCEXCL while TCP holds the channel
        os.makedirs(os.path.dirname(link), mode=0o755, exist_ok=True)
        tmp = "{}.{}.tmp".format(link, os.getpid())
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        os.symlink(self.slave_name, tmp)
        os.replace(tmp, link)

    def held(self) -> bool:
        """Whether a program (or this service) has the slave open."""
        return not any(event & select.POLLHUP for _, event in self._poll.poll(0))

    def written(self) -> bool:
        """Whether the master has bytes to read: written by a program that may have closed
        the tty again already (open, write, close, as `echo AT > tty` does)."""
        return any(event & select.POLLIN for _, event in self._poll.poll(0))

    def in_use(self) -> bool:
        """held() or written(), from one look."""
        events = 0
        for _, event in self._poll.poll(0):
            events |= event
        return bool(events & select.POLLIN or not events & select.POLLHUP)

    def rate_changed(self) -> Optional[int]:
        """The new rate when a program changed the tty's rate since the last call, else None."""
        try:
            rate = read_rate(self.master)
        except OSError:
            return None
        if rate == self.rate or rate == 0:
            return None
        self.rate = rate
        return rate

    def set_rate(self, rate: int) -> None:
        self.rate = rate
        try:
            write_rate(self.master, rate)
        except OSError as error:
            _log.warning("%s: cannot set the tty's rate to %s: %s", self.link, rate, error)

    def make_exclusive(self, on: bool) -> None:
        """While on, the service holds the slave open with TIOCEXCL, so that programs cannot
        open it (root can: the kernel lets it)."""
        if on and self._exclusive < 0:
            fd = self._open_slave()
            try:
                fcntl.ioctl(fd, termios.TIOCEXCL)
            except OSError:
                os.close(fd)
                raise
            self._exclusive = fd
        elif not on and self._exclusive >= 0:
            fd, self._exclusive = self._exclusive, -1
            try:
                fcntl.ioctl(fd, termios.TIOCNXCL)
            finally:
                os.close(fd)

    def _open_slave(self) -> int:
        flags = os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK
        try:
            return fcntl.ioctl(self.master, TIOCGPTPEER, flags)
        except OSError:  # kernels before 4.13
            return os.open(self.link, flags)

    def drop_unread(self) -> None:
        """Drops what was written to the tty for programs and not read by them (the slave's
        input), as a serial tty's last close does."""
        try:
            fd = self._open_slave()
        except OSError as error:
            _log.debug("%s: unread input kept: %s", self.link, error)
            return
        try:
            termios.tcflush(fd, termios.TCIFLUSH)
        except termios.error as error:
            _log.debug("%s: unread input kept: %s", self.link, error)
        finally:
            os.close(fd)

    def discard_input(self) -> None:
        """Drops what programs wrote to the tty (read from the master), without blocking."""
        try:
            while os.read(self.master, 65536):
                pass
        except OSError:
            pass

    def close(self) -> None:
        """Hangs the tty up (programs holding it see EOF or EIO) and removes the link."""
        try:
            if os.readlink(self.link) == self.slave_name:
                os.unlink(self.link)
        except OSError:
            pass
        try:
            self.make_exclusive(False)
        except OSError:
            pass
        os.close(self.master)
        self.master = -1
