"""The tty side of a served channel (loop): noticing a program that opens the pty, moving
data between the pty's master and the channel, and the rate programs set on the tty."""
import errno
import logging
import os
import selectors

_log = logging.getLogger("torvak.serve")
# What a rate change takes from the master at most (a pty holds a few KiB; this only bounds
# a program that keeps writing as fast as it is read).
HELD_LIMIT = 1 << 20


class TtySide:
    """Mixed into Channel; every method runs on the loop."""

    def watch_opens(self):
        """Has the tty's opens looked at as they happen (tick on each)."""
        opens = self.service.tty_opens
        if opens is not None and self.pty is not None:
            self._open_watch = opens.watch(self.pty.slave_name, self.tick)

    def forget_opens(self):
        if self._open_watch is not None:
            self.service.tty_opens.forget(self._open_watch)
            self._open_watch = None

    def tick(self):
        """Every TICK and at each open of the tty: a tty rate change, a program opening an
        idle tty."""
        pty = self.pty
        if pty is None:
            return
        if self._changes or self._waiting:
            self._collect()  # a rate change's answer overdue, a device that takes nothing
            self.update()
        if self.client is not None:
            pty.discard_input()
            return
        if not self.pty_active and pty.held():
            _log.debug("%s: a program opened the tty", self)
            self.pty_active = True
            self.update()
        if self.pty_active:
            self._tty_rate()  # after what the program wrote before it
        else:
            rate = pty.rate_changed()
            if rate is not None:
                self.request_rate(rate, "tty")

    def _deactivate_pty(self):
        if self.pty_active:
            self.pty_active = False
            self.to_pty.clear()
            self.service.unwatch(self.pty.master)

    def _tty_rate(self):
        """A rate the program set on the tty goes to the device after everything the master
        holds: the kernel does not wait at TCSADRAIN and tells no place for the change, so
        what the program wrote before it may still be unread here. That is taken first (with
        whatever the program wrote after the change by now, which then goes at the old rate)."""
        rate = self.pty.rate_changed()
        if rate is None:
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
            self.send(held)
        self.request_rate(rate, "tty")

    def on_pty(self, events):
        master = self.pty.master
        try:
            if events & selectors.EVENT_WRITE and self.to_pty:
                sent = os.write(master, self.to_pty[:65536])
                del self.to_pty[:sent]
            if events & selectors.EVENT_READ and self._takes_input():
                data = os.read(master, min(65536, self.input_room()))
                if not data:
                    raise OSError(errno.EIO, "closed")
                self.send(data)
                self._tty_rate()
        except BlockingIOError:
            pass
        except OSError:
            # EIO: the last program closed the tty; look again every TICK.
            _log.debug("%s: the tty was closed", self)
            self._deactivate_pty()
            return
        self.update()

