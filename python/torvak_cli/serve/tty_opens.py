"""Noticing at once that a program opens a channel's tty: inotify reports every open of
the pty's slave (the kernel's own included), so the loop need not wait for its next look
at the idle ptys. Without inotify the look every TICK is all there is."""
import ctypes
import ctypes.util
import errno
import logging
import os
import selectors
import struct
from typing import Any, Callable, Dict, List, Optional

from torvak_cli.serve.loop import EventLoop

_log = logging.getLogger("torvak.serve")

IN_OPEN = 0x20
IN_IGNORED = 0x8000
IN_NONBLOCK = os.O_NONBLOCK
IN_CLOEXEC = os.O_CLOEXEC
_EVENT = struct.Struct("iIII")  # wd, mask, cookie, len (a name of len bytes follows)


def _libc() -> Any:
    libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
    libc.inotify_init1.argtypes = [ctypes.c_int]
    libc.inotify_add_watch.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint32]
    libc.inotify_rm_watch.argtypes = [ctypes.c_int, ctypes.c_int]
    return libc


class TtyOpens:
    """One inotify descriptor on the service's loop; a callback per watched slave."""

    def __init__(self, loop: EventLoop) -> None:
        # Every field is the loop's.
        self._loop = loop
        self._callbacks: Dict[int, Callable[[], None]] = {}  # watch descriptor -> callback()
        self._libc = _libc()
        self.fd: int = self._libc.inotify_init1(IN_NONBLOCK | IN_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify: " + os.strerror(ctypes.get_errno()))
        loop.watch(self.fd, selectors.EVENT_READ, self._on_events)

    def watch(self, path: str, callback: Callable[[], None]) -> Optional[int]:
        """Calls `callback()` on the loop whenever `path` is opened; the watch's id, or
        None when it cannot be watched (the caller then relies on the loop's looks)."""
        wd: int = self._libc.inotify_add_watch(self.fd, os.fsencode(path), IN_OPEN)
        if wd < 0:
            _log.debug("%s: no inotify watch: %s", path, os.strerror(ctypes.get_errno()))
            return None
        self._callbacks[wd] = callback
        return wd

    def forget(self, wd: int) -> None:
        if self._callbacks.pop(wd, None) is not None:
            self._libc.inotify_rm_watch(self.fd, wd)  # fails harmlessly for a slave gone

    def _on_events(self, events: int) -> None:
        try:
            data = os.read(self.fd, 65536)
        except OSError as error:
            if error.errno != errno.EAGAIN:
                _log.warning("inotify: %s", error)
            return
        woken: List[Callable[[], None]] = []
        offset = 0
        while offset + _EVENT.size <= len(data):
            wd, mask, _, length = _EVENT.unpack_from(data, offset)
            offset += _EVENT.size + length
            callback = self._callbacks.get(wd)
            if mask & IN_IGNORED:
                self._callbacks.pop(wd, None)
            elif callback is not None and callback not in woken:
                woken.append(callback)
        for callback in woken:
            self._loop.call(callback)

    def close(self) -> None:
        self._loop.unwatch(self.fd)
        os.close(self.fd)
        self._callbacks.clear()
