"""The write side of a routed port's readiness descriptor.

The descriptor that fileno() gives out is one end of a socket pair (see routed.py for its
read side). It must poll writable only while the connection to torvak serve takes more,
so that select and asyncio writers wait instead of spinning. While the connection is full,
the descriptor's own send direction is filled, which makes it unwritable; a waiter thread,
started only then, sleeps in poll() on the connection and drains the filler once the
connection has room again, or once the port closes or the connection ends.
"""
from __future__ import annotations

import os
import select
import socket
import threading
from typing import Optional

# Bytes per write while filling the descriptor's send direction.
_FILLER = b"\0" * 4096


def _room(sock: socket.socket) -> bool:
    """Whether the connection takes more without waiting (or has failed, when a write
    would not wait either)."""
    poller = select.poll()
    try:
        poller.register(sock, select.POLLOUT)
    except (ValueError, OSError):  # closed meanwhile by close() in another thread
        return True
    return bool(poller.poll(0))


class WriteRoom:
    """Keeps `ready` (the descriptor given out) unwritable while the connection is full.
    `sink` is the other end of its pair, from which the filler is drained."""

    def __init__(self, ready: int, sink: int) -> None:
        self._ready, self._sink = ready, sink
        self._lock = threading.Lock()
        self._waiter: Optional[threading.Thread] = None  # guarded by _lock
        self._stop_r, self._stop_w = os.pipe()
        os.set_blocking(self._stop_w, False)
        self._closed = False  # guarded by _lock
        self._drain()  # whatever an earlier connection left

    def check(self, sock: Optional[socket.socket]) -> None:
        """After a write: turns the descriptor unwritable if the connection is full, until
        it has room again."""
        if sock is None or self._closed or _room(sock):
            return
        with self._lock:
            if self._waiter is not None or self._closed:
                return
            self._fill()
            self._waiter = threading.Thread(target=self._wait, args=(sock,), name="torvak write room", daemon=True)
            self._waiter.start()

    def _wait(self, sock: socket.socket) -> None:
        try:
            poller = select.poll()
            poller.register(sock, select.POLLOUT)
            poller.register(self._stop_r, select.POLLIN)
            poller.poll()  # room, an error or hang-up on the connection, or the port closing
        finally:
            with self._lock:
                self._drain()
                self._waiter = None

    def close(self) -> None:
        """Ends a waiter (the descriptor turns writable) and releases the stop pipe."""
        with self._lock:
            self._closed = True
            waiter = self._waiter
        if waiter is not None:
            os.write(self._stop_w, b"\0")
            waiter.join()
        os.close(self._stop_r)
        os.close(self._stop_w)

    def _fill(self) -> None:
        try:
            while os.write(self._ready, _FILLER):
                pass
        except (BlockingIOError, OSError):
            pass

    def _drain(self) -> None:
        try:
            while os.read(self._sink, 65536):
                pass
        except (BlockingIOError, OSError):
            pass
