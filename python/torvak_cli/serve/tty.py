"""A served channel's tty end: its pty, noticing a program that opens the tty, moving data
between the pty's master and the channel, and the rate programs set on the tty."""
import errno
import logging
import os
import selectors
from typing import Callable, Optional

from torvak_cli.serve.ends import Core, events_wanted
from torvak_cli.serve.host import Host
from torvak_cli.serve.ptys import Pty

_log = logging.getLogger("torvak.serve")
# What a rate change takes from the master at most (a pty holds a few KiB; this only bounds
# a program that keeps writing as fast as it is read).
HELD_LIMIT = 1 << 20


class TtyEnd:
    """The channel's pty, there for the channel's life; it holds the channel while a
    program has the tty open (`active`). Every field is the loop's."""

    def __init__(self, channel: Core, service: Host, pty: Pty) -> None:
        self._channel = channel
        self._service = service
        self.pty = pty
        self.active = False  # a program holds the tty and the loop reads its master
        # Nothing taken from the master since the program opened the tty: a rate seen now is
        # the one it opened with, and goes to the device ahead of its first bytes.
        self._fresh = False
        self.outgoing = bytearray()  # from the device, for the master
        self.deliver: Callable[[bytes], None] = self.outgoing.extend  # no call of ours per read
        self._watch_fd = service.watch
        self._ready = self.on_ready  # made once: watch() runs at every event
        self._open_watch: Optional[int] = None  # the tty's watch in service.tty_opens
        opens = service.tty_opens
        if opens is not None:
            self._open_watch = opens.watch(pty.slave_name, channel.tick)

    def __str__(self) -> str:
        return str(self._channel)

    def close(self) -> None:
        """Hangs the tty up and removes its link (when the channel stops)."""
        if self._open_watch is not None and self._service.tty_opens is not None:
            self._service.tty_opens.forget(self._open_watch)
        self._open_watch = None
        self.deactivate()
        self.pty.close()

    # -- the End interface ---------------------------------------------------------------

    def pass_on(self) -> None:
        try:
            del self.outgoing[:os.write(self.pty.master, self.outgoing)]
        except OSError:
            pass  # full, or closed: the loop finds out

    def watch(self, takes_input: bool) -> None:
        self._watch_fd(self.pty.master, events_wanted(self.outgoing, takes_input), self._ready)

    def rate_settled(self) -> None:
        pass  # a program learns the rate from the tty itself

    def holder(self) -> Optional[str]:
        return "a program on its tty " + self.pty.link if self.active or self.pty.held() else None

    def busy(self) -> Optional[str]:
        if self.pty.in_use():  # what a program wrote goes first
            return "a program on its tty " + self.pty.link
        self.deactivate()  # closed, and the loop has not seen it yet
        return None

    def drop(self, why: Optional[str]) -> None:
        self.deactivate()

    # -- another end holding the channel ---------------------------------------------------

    def exclude(self, on: bool) -> None:
        """While another end holds the channel, programs cannot open the tty."""
        try:
            self.pty.make_exclusive(on)
        except OSError as error:
            if on:
                _log.warning("%s: cannot make the tty exclusive: %s", self, error)

    # -- the loop's callbacks --------------------------------------------------------------

    def tick(self, held_elsewhere: bool) -> None:
        """Every TICK and at each open of the tty: a tty rate change, a program opening an
        idle tty."""
        pty = self.pty
        if held_elsewhere:
            pty.discard_input()
            return
        if not self.active and pty.in_use():
            # A program that wrote and closed before this tick is served as one still there:
            # its bytes are read until the master says the tty is closed.
            _log.debug("%s: a program opened the tty", self)
            self.active = True
            self._fresh = True
            self._channel.hold(self)
        if self.active:
            self._tty_rate()  # after what the program wrote before it
        else:
            rate = pty.rate_changed()
            if rate is not None:
                self._channel.request_rate(rate, "tty")

    def deactivate(self) -> None:
        if self.active:
            self.active = False
            self.outgoing.clear()
            self._service.unwatch(self.pty.master)
            # The last close: what the program left unread is dropped, as a serial tty's
            # last close drops it, so that the next program does not read it.
            self.pty.drop_unread()
            self._channel.release(self)

    def _tty_rate(self) -> None:
        """A rate the program set on the tty goes to the device after everything the master
        holds: the kernel does not wait at TCSADRAIN and tells no place for the change, so
        what the program wrote before it may still be unread here. That is taken first (with
        whatever the program wrote after the change by now, which then goes at the old rate).
        Before the first bytes of a program's session are taken, a rate on the tty is the one
        the program opened with (pyserial, picocom and socat set it before they write): it
        goes first."""
        rate = self.pty.rate_changed()
        if rate is None:
            return
        if self._fresh:
            self._channel.request_rate(rate, "tty")
            return
        master = self.pty.master
        held = bytearray()
        try:
            while len(held) < HELD_LIMIT:
                data = os.read(master, 65536)
                if not data:
                    break
                held += data
        except OSError:
            pass  # nothing more (EAGAIN), or closed: the loop finds out
        if held:
            self._channel.send(bytes(held))
        self._channel.request_rate(rate, "tty")

    def on_ready(self, events: int) -> None:
        channel = self._channel
        master = self.pty.master
        try:
            if events & selectors.EVENT_WRITE and self.outgoing:
                sent = os.write(master, self.outgoing[:65536])
                del self.outgoing[:sent]
            if events & selectors.EVENT_READ and channel.takes_input():
                if self._fresh:
                    self._tty_rate()  # the rate the program opened with, ahead of its bytes
                data = os.read(master, min(65536, channel.input_room()))
                if not data:
                    raise OSError(errno.EIO, "closed")
                self._fresh = False
                channel.send(data)
                self._tty_rate()
        except BlockingIOError:
            pass
        except OSError:
            # EIO: the last program closed the tty; look again every TICK.
            _log.debug("%s: the tty was closed", self)
            self.deactivate()
            return
        channel.update()
