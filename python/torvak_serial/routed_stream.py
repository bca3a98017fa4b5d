"""The connection of a routed port to torvak serve: a non-blocking Unix socket that
carries RFC 2217, with no thread of its own.

What goes out: the Session keeps what waits for the socket, and the socket itself holds
at most 4 KiB (SEND_BUFFER), so that a purge or a poll is never queued behind more than
that. A command that finds the socket full still goes at once: its send buffer is raised
for that one small write, so that a purge is never held back behind data.

What comes in stays in the socket until read() takes it, so that the socket is the
port's readiness descriptor: readable whenever data waits. Waits that need the service's
answers (flush, a rate change) look at what arrived without taking it (MSG_PEEK) and take
in only the answers. The service stops sending to a client that does not read, and then
stops reading it: a wait that sees nothing move while data is unread (or more than
UNREAD_LIMIT bytes unread) takes that data into an inbox, rather than waiting forever.
The socket does not poll readable for what the inbox holds (a reader calls read() anyway:
select's users see it at the next arrival). A wait for an answer leaves the data alone for
seconds, so that the usual request, flush(), select() for the reply keeps working on a
slow device.
"""
from __future__ import annotations

import copy
import fcntl
import select
import socket
import struct
import termios
import threading
import time
from typing import Any, Callable, Optional, TypeVar, Union, cast

from torvak_common.telnet import TelnetError, TelnetInput

from .rfc2217_session import Session

# The connection's send buffer: what a purge may find between itself and the service, 4 KiB
# (Linux doubles the size asked for, to leave room for its own bookkeeping).
SEND_BUFFER = 2048
# Unread data a wait leaves in the socket before it takes it in (see above).
UNREAD_LIMIT = 64 * 1024
# While unread data keeps the socket readable, a wait looks this often for more behind it.
UNREAD_LOOK = 0.01
# A wait to send that sees nothing move for this long with data unread takes the data in;
# a wait for an answer (flush, a rate change), for ANSWER_STALL_LIMIT.
STALL_LIMIT = 0.3
ANSWER_STALL_LIMIT = 3.0
_PEEK_MORE = 65536
# What a command may add to a full socket's send buffer (the kernel counts its bookkeeping).
_COMMAND_ROOM = 8192
_SEND_FLAGS = getattr(socket, "MSG_NOSIGNAL", 0)


_Method = TypeVar("_Method", bound=Callable[..., Any])


def _locked(method: _Method) -> _Method:
    def run(self: "Stream", *args: Any) -> Any:
        with self.lock:
            return method(self, *args)

    run.__name__, run.__doc__ = method.__name__, method.__doc__
    return cast(_Method, run)


class Gone(Exception):
    """The connection ended, or failed."""


class Stream:
    """One connection's both directions. A reader and a writer may use it from two threads
    at once (miniterm does): every look at the socket and the session is made under `lock`
    (the port takes it too, to change the session), never held while waiting."""

    def __init__(self, sock: socket.socket) -> None:
        self.lock = threading.RLock()
        sock.setblocking(False)
        self.sock = sock
        self.session = Session()
        self._data = TelnetInput()  # what read() takes: the data, its commands passed over
        self._scanned = 0  # bytes at the socket's head whose commands the session has taken
        self._scanned_data = 0  # data bytes among them
        self._inbox = bytearray()  # data a wait had to take in; read before the socket
        self._ended = False  # the service closed its end or the connection failed
        self._stalled_since = 0.0  # when a wait last saw something move

    # -- going out -------------------------------------------------------------------------

    @_locked
    def pump(self) -> None:
        """Sends what the socket takes now, in order; a command goes even into a full
        socket. Gone when the service has gone."""
        session, sock = self.session, self.sock
        while True:
            wire = session.pending()
            if not wire:
                return
            try:
                sent = sock.send(wire, _SEND_FLAGS)
            except BlockingIOError:
                if not session.front_is_command():
                    return
                sent = self._force(wire)
                if not sent:
                    return
            except OSError as error:
                self._ended = True
                raise Gone(str(error)) from error
            session.sent(sent)

    def _force(self, wire: Union[bytes, memoryview]) -> int:
        sock = self.sock
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER + _COMMAND_ROOM + 4 * len(wire))
        try:
            return sock.send(wire, _SEND_FLAGS)
        except BlockingIOError:
            return 0
        except OSError as error:
            self._ended = True
            raise Gone(str(error)) from error
        finally:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)

    def unread_by_service(self) -> int:
        """Bytes in the socket that the service has not read yet (with the kernel's
        bookkeeping): it changes while the service takes what was written."""
        try:
            return int(struct.unpack("i", fcntl.ioctl(self.sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0])
        except OSError:
            return 0

    # -- coming in -------------------------------------------------------------------------

    @_locked
    def scan(self) -> None:
        """Lets the session take the answers in what arrived since the last look, leaving
        the data in the socket."""
        if self._ended and not self._scanned:
            return
        try:
            wire = self.sock.recv(self._scanned + _PEEK_MORE, socket.MSG_PEEK)
        except BlockingIOError:
            return
        except OSError:
            self._ended = True
            return
        if not wire:  # nothing queued, and the service has closed its end
            self._ended = True
            return
        fresh = wire[self._scanned:]
        if fresh:
            try:
                data = self.session.received(fresh)
            except TelnetError:  # nothing a service sends
                self._ended = True
                return
            self._scanned += len(fresh)
            self._scanned_data += len(data)
        if self._scanned and not self._scanned_data:
            # Only answers wait in the socket: taken out, so that it polls readable only
            # while data waits.
            self._take(self._scanned)

    @_locked
    def in_waiting(self) -> int:
        self.scan()
        return len(self._inbox) + self._scanned_data

    @_locked
    def ended(self) -> bool:
        """Whether no more can come (what came before may still wait to be read)."""
        if not self._ended:
            poller = select.poll()
            poller.register(self.sock, select.POLLRDHUP)
            if poller.poll(0):
                self.scan()  # whatever came before the end is seen
                self._ended = True
        return self._ended

    @_locked
    def read(self, size: int) -> bytes:
        """Up to `size` data bytes that are there now; commands before them are taken."""
        if self._inbox:
            return self._from_inbox(size)
        self.scan()
        data = b""
        while not data and self._scanned:
            data = self._take(min(size, self._scanned))
        return data

    @_locked
    def read_until(self, last: bytes, size: Optional[int]) -> bytes:
        """As read(), up to and including the first `last` byte."""
        if self._inbox:
            at = self._inbox.find(last, 0, size)
            return self._from_inbox(size if at < 0 else at + 1)
        self.scan()
        try:
            wire = self.sock.recv(self._scanned, socket.MSG_PEEK) if self._scanned else b""
        except OSError:
            wire = b""
        limit = len(wire) if size is None else size
        trial, at, got = copy.deepcopy(self._data), 0, 0
        while at < len(wire) and got < limit:
            stop = wire.find(last, at)
            end = min(len(wire) if stop < 0 else stop + 1, at + limit - got)
            data = b"".join(piece for piece in trial.feed(wire[at:end]) if isinstance(piece, bytes))
            got, at = got + len(data), end
            if data.endswith(last) and end == stop + 1:
                break
        return self._take(at) if at else b""

    @_locked
    def drop_input(self) -> None:
        """Takes and drops every data byte that is here."""
        self._inbox.clear()
        self.scan()
        while self._scanned:
            self._take(self._scanned)

    def _from_inbox(self, size: Optional[int]) -> bytes:
        size = len(self._inbox) if size is None else size
        data = bytes(self._inbox[:size])
        del self._inbox[:size]
        return data

    def _take(self, count: int) -> bytes:
        """Takes `count` scanned bytes from the socket; their data."""
        taken = bytearray()
        while len(taken) < count:
            try:
                chunk = self.sock.recv(count - len(taken))
            except OSError:
                chunk = b""
            if not chunk:
                break
            taken += chunk
        self._scanned -= len(taken)
        data = b"".join(piece for piece in self._data.feed(bytes(taken)) if isinstance(piece, bytes))
        self._scanned_data -= len(data)
        if len(taken) < count:  # the socket failed under us
            self._ended, self._scanned, self._scanned_data = True, 0, 0
        return data

    # -- waiting ---------------------------------------------------------------------------

    def wait(self, timeout: float) -> None:
        """Waits up to `timeout` seconds for an answer, room for what waits to go out,
        or the end, then sends and takes in what it can."""
        events = select.POLLRDHUP
        if self._scanned:
            timeout = min(timeout, UNREAD_LOOK)
        else:
            events |= select.POLLIN
        if self.session.pending():
            events |= select.POLLOUT
        with self.lock:
            before = (len(self.session.pending()), self._scanned)
        poller = select.poll()
        poller.register(self.sock, events)
        poller.poll(max(0.0, timeout) * 1000)
        with self.lock:
            self.pump()
            self.scan()
            self.ended()
            now = time.monotonic()
            # Waiting to send, a stall means the service has stopped reading this end; waiting
            # for an answer, it is mostly a slow device, whose answer comes in its time: the
            # data stays in the socket (and wakes select) unless the wait is long.
            stall_limit = STALL_LIMIT if self.session.pending() else ANSWER_STALL_LIMIT
            if (len(self.session.pending()), self._scanned) != before or not self._scanned:
                self._stalled_since = now
            elif self._scanned >= UNREAD_LIMIT or now - self._stalled_since >= stall_limit:
                # The service holds back what it has for this end while it is not read, and
                # stops reading it in turn: take the data in, or this wait would never end.
                self._inbox += self._take(self._scanned)
                self._stalled_since = now
