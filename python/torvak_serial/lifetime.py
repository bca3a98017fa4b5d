"""torvak:// ports left open when the program ends are closed, so that they never keep the
interpreter alive, as a kernel tty left open never does; and so are the channels torvak
serve holds.

The module's reader threads are ordinary (non-daemon) threads: while a device is open the
interpreter waits for its reader at exit. So every open port is recorded here, weakly (a
port dropped without close() is closed by io.IOBase's finalizer), and at exit the ports
still open are closed once the program's own non-daemon threads have ended. A worker
thread that the main thread left running keeps its port until it ends.

Plain atexit is too late: the interpreter runs atexit functions only after
threading._shutdown() has joined every non-daemon thread, the readers included, and a
reader ends only when its device closes. Functions registered with
threading._register_atexit (3.9 and newer) run at the start of threading._shutdown(),
before it joins any thread; 3.8 lacks that, so there the hook wraps threading._shutdown.
"""
from __future__ import annotations

import logging
import sys
import threading
import weakref
from typing import Callable, List, Optional, Protocol

from . import native


class Closable(Protocol):
    """A port, or a channel held without one (device_channel.DeviceChannel)."""

    @property
    def port(self) -> Optional[str]: ...

    def close(self) -> None: ...


_log = logging.getLogger("torvak_serial")
_open_ports: "weakref.WeakSet[Closable]" = weakref.WeakSet()
_install_lock = threading.Lock()
_installed = False


def opened(port: Closable) -> None:
    """Records an open port, to be closed at exit unless it is closed before."""
    _install()
    _open_ports.add(port)


def closed(port: Closable) -> None:
    _open_ports.discard(port)


def _install() -> None:
    global _installed
    with _install_lock:
        if _installed:
            return
        _installed = True
        register: Callable[[Callable[[], None]], None] | None = getattr(threading, "_register_atexit", None)
        if register is not None:
            try:
                register(_close_at_exit)
            except RuntimeError:  # opened while the interpreter is already shutting down
                _log.debug("too late to close torvak:// ports at exit")
            return
        shutdown: Callable[[], None] = getattr(threading, "_shutdown")

        def _shutdown() -> None:
            _close_at_exit()
            shutdown()

        setattr(threading, "_shutdown", _shutdown)


def _program_threads() -> List[threading.Thread]:
    current = threading.current_thread()
    readers = native.reader_threads()
    return [
        thread
        for thread in threading.enumerate()
        if thread is not current and not thread.daemon and thread not in readers and thread.is_alive()
    ]


def _finish_executors() -> None:
    # An idle concurrent.futures worker (and a process pool's manager thread) ends only
    # when its module's own shutdown function tells it to, and that function may be due
    # after this hook. It is run here first, as the interpreter would run it: queued work
    # is done (with its ports still open), then the threads end. Running it again later
    # does no harm.
    for name in ("concurrent.futures.thread", "concurrent.futures.process"):
        finish = getattr(sys.modules.get(name), "_python_exit", None)
        if callable(finish):
            finish()


def _close_at_exit() -> None:
    # Never raises: on 3.13 an exception from this hook makes the interpreter skip joining
    # the remaining threads and finalize under them.
    try:
        if _open_ports:
            _finish_executors()
            others = _program_threads()
            while others:
                others[0].join()
                others = _program_threads()
    except KeyboardInterrupt:
        pass  # Ctrl-C while waiting: close the ports now instead
    except BaseException:
        _log.exception("while waiting for the program's threads at exit")
    for port in list(_open_ports):
        try:
            port.close()
        except BaseException:
            _log.exception("could not close %s at exit", port.port)
