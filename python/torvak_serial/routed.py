"""A channel that ``torvak serve`` holds, reached through its Unix socket DIR/SERIAL/N.sock
(which lets in whoever may open the channel's tty).

pyserial's own rfc2217:// client speaks the protocol over it. Around it, the same small face as the
module's channel that the torvak:// port uses (non-blocking reads, writes, the baud rate),
and a readiness descriptor: the client's reader thread fills an inbox, which keeps one end
of a socket pair readable while data waits in it, and once the connection has ended;
the same end polls writable only while the connection takes more (write_room.py).
"""
from __future__ import annotations

import fcntl
import os
import select
import socket
import struct
import termios
import threading
import time
from typing import Callable, Optional

import serial.rfc2217
from serial.serialutil import PortNotOpenError, SerialException

from torvak_common import ServedDevice, StatusError, ask_service
from torvak_common.served import FLOW_WINDOW
from torvak_common.status import ChannelStatus, channel_status, status_request

from .local_rfc2217 import LocalAddress, install
from .write_room import WriteRoom

# What the service sends a client it turns away, before it closes the connection.
_REFUSAL = b"torvak serve: "
# Bytes per socket write of a write with a time limit, between looks at the clock.
WRITE_SHARE = 4096
# The connection's send buffer: writes block once this much waits for the service, which
# itself takes no more while 64 KiB wait for the device; so a write returns roughly when
# the device has taken all but this much, as a direct port's does once USB has it.
SEND_BUFFER = FLOW_WINDOW
# close() waits for the service to take what was written as long as it keeps taking some:
# up to this long without progress, looked at every CLOSE_LOOK seconds.
CLOSE_LIMIT = 15.0
CLOSE_LOOK = 0.5
# flush() looks this often whether what was written has reached the device.
FLUSH_LOOK = 0.02


def _unsent(sock: Optional[socket.socket]) -> int:
    """Bytes written to the connection that the service has not read yet."""
    if sock is None:
        return 0
    try:
        return int(struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0])
    except OSError:
        return 0


class _Inbox:
    """Takes the place of the rfc2217 client's read queue (a queue.Queue of single bytes):
    the reader thread puts every received byte, and None when the connection ends."""

    def __init__(self, signal_r: int, signal_w: int) -> None:
        self._lock = threading.Lock()
        self._data = bytearray()  # guarded by _lock
        self._signalled = False  # the signal socket holds a byte; guarded by _lock
        self._signal_r, self._signal_w = signal_r, signal_w
        self.ended = False

    def put(self, item: Optional[bytes], block: bool = True, timeout: Optional[float] = None) -> None:
        with self._lock:
            if item is None:
                self.ended = True
            else:
                self._data += item
            if not self._signalled:
                self._signalled = True
                try:
                    os.write(self._signal_w, b"\0")
                except OSError:
                    pass

    def qsize(self) -> int:
        return len(self._data)

    def take(self, size: int, stop: Optional[bytes] = None) -> bytes:
        """Up to `size` bytes (and up to the first `stop` byte, when given)."""
        with self._lock:
            if stop is not None:
                at = self._data.find(stop, 0, size)
                if at >= 0:
                    size = at + 1
            chunk = bytes(self._data[:size])
            del self._data[:size]
            if not self._data and not self.ended and self._signalled:
                self._signalled = False
                try:
                    while os.read(self._signal_r, 64):
                        pass
                except (BlockingIOError, OSError):
                    pass
            return chunk

    def peek(self) -> bytes:
        with self._lock:
            return bytes(self._data)

    def clear(self) -> None:
        self.take(len(self._data))


class _Client(serial.rfc2217.Serial):
    """pyserial's RFC 2217 client with the inbox as its read queue, a bounded send buffer,
    and its own close: the connection is half-closed first and the service reads every
    byte written before it sees the end and closes (a plain close with data still coming
    back could end in a reset, which discards what the service has not read yet); and no
    pause after it, which pyserial makes for servers that need time before the next
    connection (the service sees a closed connection before it judges a new one)."""

    def open(self) -> None:
        super().open()
        sock = getattr(self, "_socket", None)
        if sock is not None:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)

    inbox: Optional[_Inbox] = None
    # Something that changes while the service reads what was written (see close()).
    progress: Optional[Callable[[], object]] = None
    local_path = ""  # the service's Unix socket for the channel

    def from_url(self, url: str) -> LocalAddress:  # type: ignore[override]
        return LocalAddress(self.local_path)

    @property
    def _read_buffer(self) -> Optional[_Inbox]:
        return self.inbox

    @_read_buffer.setter
    def _read_buffer(self, queue: object) -> None:
        # open() puts a fresh queue here; the inbox (made before) stands in for it.
        pass

    def write(self, data: bytes) -> int:  # type: ignore[override]
        """As pyserial's, without its socket's 5 s time-out: like a direct port's, a write
        waits as long as the device takes to accept the data (the service takes no more
        from the connection meanwhile)."""
        if not self.is_open:
            raise PortNotOpenError()
        view = memoryview(bytes(data).replace(serial.rfc2217.IAC, serial.rfc2217.IAC_DOUBLED))
        lock: threading.Lock = getattr(self, "_write_lock")  # shared with pyserial's own telnet writes
        with lock:
            sock = getattr(self, "_socket", None)
            while view:
                if sock is None or not self.is_open:
                    raise SerialException("connection failed (port closed)")
                try:
                    view = view[sock.send(view):]
                except socket.timeout:  # nothing taken within the socket's time-out: wait on
                    continue
                except OSError as error:
                    raise SerialException("connection failed (socket error): {}".format(error)) from error
        return len(data)

    def reset_input_buffer(self) -> None:
        if not self.is_open:
            raise PortNotOpenError()
        self.rfc2217_send_purge(serial.rfc2217.PURGE_RECEIVE_BUFFER)
        assert self.inbox is not None
        self.inbox.clear()

    def close(self) -> None:
        sock = getattr(self, "_socket", None)
        thread = getattr(self, "_thread", None)
        if sock is not None and thread is not None and self.is_open:
            try:
                sock.shutdown(socket.SHUT_WR)
                self._wait_for_service(sock, thread)
            except OSError:
                pass
        self.is_open = False
        self._socket = None
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()
        if thread is not None:
            thread.join(7)  # the reader's socket time-out is 5 s
            self._thread = None

    def _wait_for_service(self, sock: socket.socket, thread: threading.Thread) -> None:
        """Waits until the service has read everything written, seen the end and closed
        (the reader thread then ends): as long as a slow device takes it, with a limit only
        on time without progress (what the socket has not sent yet, what the service has
        read, what of it waits for the device)."""
        seen: object = None
        since = time.monotonic()
        while True:
            thread.join(CLOSE_LOOK)
            if not thread.is_alive():
                return
            now = time.monotonic()
            marker = (_unsent(sock), None if self.progress is None else self.progress())
            if marker != seen:
                seen, since = marker, now
            elif now - since >= CLOSE_LIMIT:
                return


class RoutedChannel:
    """One channel of a served device, with the face of the module's channel that the
    torvak:// port uses. Failures raise SerialException with the port's name in front."""

    def __init__(self, url: str, device: ServedDevice, channel: int, baudrate: int,
                 signal_r: int, signal_w: int) -> None:
        self._url = url
        self._device = device
        self._channel = channel
        address = device.sockets.get(channel)
        if address is None:
            raise SerialException(self._service_text(
                "offers no socket for channel {} (a torvak serve of an older version?); open its tty {}".format(
                    channel, device.ttys.get(channel, "?"))))
        self.address = address
        self._check_free()
        self.inbox = _Inbox(signal_r, signal_w)
        self._room = WriteRoom(signal_r, signal_w)
        install()
        client = _Client()
        client.inbox = self.inbox
        client.progress = self._taken
        client.local_path = address
        client.port = address
        client.baudrate = baudrate
        self._rate_asked = baudrate
        try:
            client.open()
        except (SerialException, ValueError, OSError) as error:
            self._room.close()
            client.close()
            raise SerialException(self._open_failure(error)) from error
        except BaseException:  # Ctrl-C during the negotiation: nothing may stay behind
            self._room.close()
            client.close()
            raise
        self._client = client
        self._rate = baudrate

    # -- what goes wrong, said the same way as for a direct port -----------------------

    def _service_text(self, what: str) -> str:
        return "{}: torvak serve (process {}, {}) holds device {} and {}".format(
            self._url, self._device.pid, self._device.directory, self._device.serial_number, what)

    def _channel_status(self) -> Optional[ChannelStatus]:
        """This channel's entry in the service's status answer; None when it gives none."""
        try:
            status = ask_service(self._device.directory, status_request(), timeout=2.0)
        except StatusError:
            return None  # an older or busy service
        return channel_status(status, self._device.serial_number, self._channel)

    def _check_free(self) -> None:
        """Asks the service whether the channel is free, so that a busy one is reported
        at once (pyserial's client would wait 3 s for a negotiation that never comes).
        Without an answer, the connection itself will tell."""
        status = self._channel_status()
        holder = None if status is None else status.get("client")
        if holder:
            raise SerialException(self._busy(holder))

    def _taken(self) -> object:
        """How many bytes the service has read from this channel's client, and how many of
        them wait for the device, if it says."""
        status = self._channel_status()
        return None if status is None else (status.get("to_device"), status.get("waiting"))

    def _busy(self, holder: str) -> str:
        return self._service_text("channel {} is in use by {}; close that program, or use another channel".format(
            self._channel, holder))

    def _open_failure(self, error: BaseException) -> str:
        if isinstance(error, ValueError):  # the service answered with another rate
            return self._service_text("refused baud rate {} for channel {} (the device did not take it)".format(
                self._rate_asked, self._channel))
        said = self.inbox.peek()
        start = said.find(_REFUSAL)
        if start >= 0 and b" is in use by " in said:
            holder = said[start:].split(b" is in use by ", 1)[1].split(b"\r", 1)[0]
            return self._busy(holder.decode("utf-8", "replace"))
        return self._service_text("its socket {} did not let channel {} open ({}); see the service's log".format(
            self.address, self._channel, error))

    def gone(self) -> SerialException:
        return SerialException(
            "{}: the connection to torvak serve ({}) ended: the service stopped, or device {} is gone; "
            "close the port and open it again".format(self._url, self.address, self._device.serial_number))

    def _client_open(self) -> _Client:
        client = self._client
        if not client.is_open or self.inbox.ended:
            raise self.gone()
        return client

    # -- the channel's face --------------------------------------------------------------

    @property
    def in_waiting(self) -> int:
        return self.inbox.qsize()

    def ended(self) -> bool:
        """Whether the connection has ended and everything received before has been read."""
        return self.inbox.ended and not self.inbox.qsize()

    def read(self, size: int) -> bytes:
        return self.inbox.take(size)

    def read_until(self, last: bytes, size: Optional[int]) -> bytes:
        return self.inbox.take(self.inbox.qsize() if size is None else size, last)

    def write(self, data: bytes) -> int:
        """Sends `data` whole; returns its length."""
        client = self._client_open()
        try:
            client.write(data)
        except SerialException as error:
            raise self.gone() from error
        self._room.check(getattr(client, "_socket", None))
        return len(data)

    def writable(self, wait: float = 0.0) -> bool:
        """Whether the connection takes more data, waiting `wait` seconds at most."""
        sock = getattr(self._client_open(), "_socket", None)
        if sock is not None and select.select([], [sock], [], wait)[1]:
            return True
        self._room.check(sock)
        return False

    def waiting(self) -> int:
        """Bytes written and not yet handed to the device: what the connection has not
        delivered to the service, and what the service holds for the device."""
        client = self._client_open()
        status = self._channel_status()
        waiting = None if status is None else status.get("waiting")
        return _unsent(getattr(client, "_socket", None)) + int(waiting or 0)

    def flush(self) -> None:
        """Returns once everything written has reached the device; SerialException naming
        what had not when the connection ends first."""
        left = 0
        try:
            while True:
                left = self.waiting()
                if not left:
                    return
                time.sleep(FLUSH_LOOK)
        except SerialException as error:
            raise SerialException("{} ({} bytes written were not delivered)".format(error, left)) from error

    def reset(self) -> None:
        """Asks the service to drop what it holds for the device."""
        try:
            self._client_open().rfc2217_send_purge(serial.rfc2217.PURGE_TRANSMIT_BUFFER)
        except SerialException as error:
            raise self.gone() from error

    def flushInput(self) -> None:  # noqa: N802  (the module's name)
        try:
            self._client_open().reset_input_buffer()
        except SerialException as error:
            raise self.gone() from error

    @property
    def baudrate(self) -> int:
        return self._rate

    @baudrate.setter
    def baudrate(self, rate: int) -> None:
        """Returns once the service has had the device confirm the rate."""
        client = self._client_open()
        try:
            client.baudrate = rate
        except ValueError:  # the service answered with another rate: the device refused
            setattr(client, "_baudrate", self._rate)
            raise SerialException("{}: baud rate {} refused by device {} (through torvak serve); the rate in force "
                                  "is {}".format(self._url, rate, self._device.serial_number, self._rate)) from None
        except SerialException as error:
            setattr(client, "_baudrate", self._rate)
            if self.inbox.ended:
                raise self.gone() from error
            raise SerialException("{}: baud rate {} not confirmed through torvak serve ({})".format(
                self._url, rate, error)) from error
        self._rate = rate

    def close(self) -> None:
        self._room.close()  # no waiter outlives the port; fileno() polls writable again
        self._client.close()
