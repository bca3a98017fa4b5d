"""The connection of a routed port to torvak serve: a non-blocking Unix socket that carries
RFC 2217 (torvak_common.rfc2217's client session), watched by one small thread.

What goes out: the session keeps what waits for the socket. Data goes in only while the
service has less than DATA_WINDOW (4 KiB) of it unread, so that a purge or a poll is never
queued behind more than that; commands go at once, into the room the send buffer keeps
beyond the window, so no command waits behind data the service cannot take yet.

What comes in is taken as it arrives: the session takes the service's answers at once (so
no wait for an answer ever stands behind received data), and the data waits in the inbox
for read(). The watcher stops taking data once the inbox holds INBOX_LIMIT while nobody
waits (the service keeps the rest, and drops beyond its own limit for a client that does
not read); a wait for an answer or for room takes everything.

The port's readiness descriptor (`face`) is one end of a socket pair that the stream keeps
in step: readable exactly while the inbox holds data or the connection has ended, writable
while the connection takes more data.
"""
from __future__ import annotations

import os
import select
import socket
import struct
import sys
import threading
from typing import Any, Callable, Optional, TypeVar, cast

from torvak_common.rfc2217 import ClientSession
from torvak_common.telnet import TelnetError

if sys.platform != "win32":  # routed ports need torvak serve, which runs on Linux only
    import fcntl
    import termios

# Data the service may have unread in the connection at most (with the kernel's bookkeeping).
DATA_WINDOW = 4096
# The send buffer asked for: the kernel doubles it, and reports the socket writable once a
# quarter of the doubled size is in use at most (3.5 KiB), leaving room for more data in
# the window. What the buffer holds beyond the window is for commands.
SEND_BUFFER = 7168
# Data the watcher takes into the inbox while nobody waits.
INBOX_LIMIT = 64 * 1024
_RECEIVE = 65536
_SEND_FLAGS = getattr(socket, "MSG_NOSIGNAL", 0)
_FILL = bytes(4096)

_Method = TypeVar("_Method", bound=Callable[..., Any])


def _locked(method: _Method) -> _Method:
    def run(self: "Stream", *args: Any, **keywords: Any) -> Any:
        with self.lock:
            return method(self, *args, **keywords)

    run.__name__, run.__doc__ = method.__name__, method.__doc__
    return cast(_Method, run)


class Gone(Exception):
    """The connection ended, or failed."""


def unread(sock: socket.socket) -> int:
    """Bytes in `sock` that its peer has not read yet, with the kernel's bookkeeping."""
    try:
        return int(struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0])
    except OSError:
        return 0


class Stream:
    """One connection's both directions. A reader and a writer may use it from two threads
    at once (miniterm does), beside the watcher: every look at the socket, the session and
    the inbox is made under `lock` (the port takes it too, to change the session), never
    held while waiting. stop() ends the watcher; the connection's end ends it too."""

    def __init__(self, sock: socket.socket) -> None:
        self.lock = threading.RLock()
        sock.setblocking(False)
        self.sock = sock
        self.session = ClientSession()
        self._inbox = bytearray()  # data taken from the socket, not read yet
        self._ended = False  # nothing more comes: the service closed its end, or reading failed
        self._broken = False  # nothing more goes: sending failed (what came may still be read)
        self._waiters = 0  # waits under way: the watcher takes everything meanwhile, they send
        self._stopped = False
        self.face, self._back = socket.socketpair()
        for end in (self.face, self._back):
            end.setblocking(False)
        self.face.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1)  # filled by a few KiB
        self._readable = False  # the face: a byte waits in it
        self._filled = False  # the face: its send buffer is full
        self._wake_r, self._wake_w = os.pipe()  # the watcher's: look again at what to wait for
        # The waits': the watcher has taken something in.
        self._notice_r, self._notice_w = os.pipe()
        for fd in (self._wake_r, self._wake_w, self._notice_r, self._notice_w):
            os.set_blocking(fd, False)
        self._watcher = threading.Thread(target=self._watch, name="torvak routed port", daemon=True)
        self._watcher.start()

    # -- the watcher -----------------------------------------------------------------------

    def _wake(self) -> None:
        """Has the watcher look again at what to wait for (under the lock)."""
        if self._wake_w >= 0:
            try:
                os.write(self._wake_w, b"\0")
            except OSError:
                pass  # woken already, or the watcher has ended

    def _notice(self) -> None:
        """Wakes the waits (under the lock)."""
        if self._notice_w >= 0:
            try:
                os.write(self._notice_w, b"\0")
            except OSError:
                pass  # woken already

    def _watch(self) -> None:
        poller = select.poll()
        poller.register(self._wake_r, select.POLLIN)
        watched = False
        try:
            while True:
                with self.lock:
                    if self._stopped or self._ended:
                        break
                    events = 0
                    if self._waiters or len(self._inbox) < INBOX_LIMIT:
                        events |= select.POLLIN | select.POLLRDHUP
                    if (self.session.pending() or self._filled) and not (self._waiters or self._broken):
                        events |= select.POLLOUT
                    if events:  # (the end, always reported, waits for the inbox to have room)
                        poller.register(self.sock, events)
                    elif watched:
                        poller.unregister(self.sock)
                    watched = bool(events)
                poller.poll()
                try:
                    while os.read(self._wake_r, 64):
                        pass
                except BlockingIOError:
                    pass
                with self.lock:
                    if self._stopped:
                        break
                    try:
                        self.pump()
                    except Gone:
                        pass
                    waited = self._waiters
                    self.take(bool(waited))
                    if waited:
                        self._notice()
        except Exception:  # the connection is of no more use: the port says so
            with self.lock:
                self._ended = True
        finally:
            with self.lock:
                self._refresh()
                self._notice()
            os.close(self._wake_r)

    def stop(self) -> None:
        """Ends the watcher (at once, unless it is this thread) and the connection; the
        face then polls readable and writable for good."""
        with self.lock:
            if self._stopped:
                return
            self._stopped = True
            self._notice()
            self._wake()
        if threading.current_thread() is not self._watcher:
            self._watcher.join(5)
        with self.lock:
            for fd in (self._wake_w, self._notice_r, self._notice_w):
                os.close(fd)
            self._wake_w = self._notice_r = self._notice_w = -1
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._back.close()  # the face's peer gone: its end of file, and room for good

    def _refresh(self) -> None:
        """Brings the face in step: readable while data waits or the connection has ended,
        writable while the connection takes more data."""
        readable = bool(self._inbox) or self._ended
        if readable != self._readable:
            try:
                if readable:
                    self._back.send(b"\0")
                else:
                    self.face.recv(1)
            except OSError:
                return
            self._readable = readable
        filled = not (self._ended or self._broken) and (
            bool(self.session.unsent()) or unread(self.sock) >= DATA_WINDOW)
        if filled != self._filled:
            try:
                while True:
                    if filled:
                        self.face.send(_FILL)
                    elif not self._back.recv(_RECEIVE):
                        break
            except BlockingIOError:
                pass
            except OSError:
                return
            self._filled = filled

    # -- going out -------------------------------------------------------------------------

    @_locked
    def pump(self) -> None:
        """Sends what the socket takes now, in order, data within the window. Gone when
        the service has gone."""
        session, sock = self.session, self.sock
        if self._broken:
            raise Gone("the connection failed")
        try:
            while True:
                wire = session.pending()
                if not wire:
                    return
                if not session.front_is_command():
                    room = DATA_WINDOW - unread(sock)
                    if room <= 0:
                        return
                    wire = wire[:room]
                try:
                    sent = sock.send(wire, _SEND_FLAGS)
                except BlockingIOError:
                    return
                except OSError as error:
                    self._broken = True
                    raise Gone(str(error)) from error
                session.sent(sent)
        finally:
            self._refresh()
            if session.pending():
                self._wake()  # the watcher sends the rest when there is room

    def unread_by_service(self) -> int:
        """Bytes in the socket that the service has not read yet (with the kernel's
        bookkeeping): it changes while the service takes what was written."""
        return unread(self.sock)

    # -- coming in -------------------------------------------------------------------------

    @_locked
    def take(self, everything: bool = False) -> None:
        """Takes what arrived: the session takes the answers, the data joins the inbox
        (beyond INBOX_LIMIT only when `everything`)."""
        while not self._ended and (everything or len(self._inbox) < INBOX_LIMIT):
            try:
                wire = self.sock.recv(_RECEIVE)
            except (BlockingIOError, InterruptedError):
                break
            except OSError:
                self._ended = True
                break
            if not wire:
                self._ended = True
                break
            try:
                self._inbox += self.session.received(wire)
            except TelnetError:  # nothing a service sends
                self._ended = True
        self._refresh()

    @_locked
    def in_waiting(self) -> int:
        if not self._inbox:
            self.take()
        return len(self._inbox)

    @_locked
    def ended(self) -> bool:
        """Whether no more can come (what came before may still wait to be read)."""
        if not self._ended and not self._inbox:
            self.take()
        return self._ended

    @_locked
    def read(self, size: Optional[int]) -> bytes:
        """Up to `size` data bytes that are there now."""
        if not self._inbox:
            self.take()
        size = len(self._inbox) if size is None else size
        data = bytes(self._inbox[:size])
        del self._inbox[:size]
        if len(self._inbox) < INBOX_LIMIT <= len(self._inbox) + len(data):
            self._wake()  # the watcher takes in again
        self._refresh()
        return data

    @_locked
    def read_until(self, last: bytes, size: Optional[int]) -> bytes:
        """As read(), up to and including the first `last` byte."""
        if not self._inbox:
            self.take()
        at = self._inbox.find(last, 0, size)
        return self.read(size if at < 0 else at + 1)

    @_locked
    def drop_input(self) -> None:
        """Takes and drops every data byte that is here."""
        self.take(everything=True)
        self._inbox.clear()
        self._refresh()

    # -- waiting ---------------------------------------------------------------------------

    def wait(self, timeout: float, done: Callable[[], bool] = lambda: False) -> None:
        """Waits up to `timeout` seconds for room for what waits to go out (and sends it),
        for the watcher to take something in, or for the end, unless `done()` holds
        already. Meanwhile the watcher takes everything that comes (an answer may stand
        behind it, and the service stops reading a client that does not read)."""
        with self.lock:
            if self._ended or self._stopped or done():
                return
            self._waiters += 1
            if len(self._inbox) >= INBOX_LIMIT:
                self._wake()  # the watcher takes in again
            sending = bool(self.session.pending())
            notices = self._notice_r
        try:
            poller = select.poll()
            poller.register(notices, select.POLLIN)
            if sending:
                poller.register(self.sock, select.POLLOUT)
            poller.poll(max(0.0, timeout) * 1000)
        finally:
            with self.lock:
                self._waiters -= 1
                if self._notice_r >= 0:
                    try:
                        while os.read(self._notice_r, 64):
                            pass
                    except BlockingIOError:
                        pass
                self.pump()
