"""A channel that ``torvak serve`` holds, reached through its Unix socket DIR/SERIAL/N.sock
(which lets in whoever may open the channel's tty), with this project's own RFC 2217
client (routed_stream.py): rate changes as SET-BAUDRATE, reset_output_buffer() as
PURGE-DATA, flush() as a NOTIFY-LINESTATE poll that the service answers once the device
has every byte sent before it. The same small face as the module's channel that the
torvak:// port uses; its readiness descriptor is the connection's (see routed_stream.py).
"""
from __future__ import annotations

import os
import socket
import time
import weakref
from typing import Callable, Optional

from serial.serialutil import SerialException, SerialTimeoutException

from torvak_common import ServedDevice
from torvak_discovery import awaited_device

from .routed_stream import SEND_BUFFER, Gone, Stream

__all__ = ["CLOSE_LIMIT", "RoutedChannel", "SEND_BUFFER", "wait_for_service"]

# How long opening and a rate change wait for the service's answer (it answers a rate
# once the device has confirmed it).
ANSWER_LIMIT = 10.0
# close() waits for the service to take what was written as long as it keeps taking some:
# up to this long without progress, looked at every CLOSE_LOOK seconds.
CLOSE_LIMIT = 15.0
CLOSE_LOOK = 0.5
# Waits wake this often to see a close() from another thread.
_SLICE = 0.1
# reset() waits this long at most for the service to answer the purge (as pyserial's RFC 2217
# client waits for it). The service reads the purge once the device has taken room for what
# the connection held before it (4 KiB at most): on a slow device the answer may come later,
# and the watcher takes it then.
PURGE_ANSWER_LIMIT = 0.5
# How often an open looks whether the service serves the device it waits for.
_SERVED_LOOK = 0.05


def wait_for_service(url: str, serial_number: str, device: ServedDevice) -> Optional[ServedDevice]:
    """Waits, up to ANSWER_LIMIT, until the service that serves `device` has it open: its
    entry then, or None when no service serves it any more (the port opens it directly).
    SerialException when the time is up."""
    deadline = time.monotonic() + ANSWER_LIMIT
    while not device.present:
        if time.monotonic() >= deadline:
            raise SerialException(
                "could not open port {}: torvak serve (process {}, {}) serves device {}, but it is unplugged "
                "(waited {:g} s for it)".format(url, device.pid, device.directory, device.serial_number,
                                                ANSWER_LIMIT))
        time.sleep(_SERVED_LOOK)
        found = awaited_device(serial_number)
        if found is None:
            return None
        device = found
    return device


class RoutedChannel:
    """One channel of a served device, with the face of the module's channel that the
    torvak:// port uses. Failures raise SerialException with the port's name in front.

    fileno() is a descriptor of the port's own (it closes it): `keep_fd`, when not
    negative, is one the connection's readiness descriptor takes the place of (dup2), so
    that a port opened again keeps the descriptor fileno() gave out."""

    def __init__(self, url: str, device: ServedDevice, channel: int, baudrate: int, keep_fd: int = -1) -> None:
        self._url = url
        self._device = device
        self._channel = channel
        self._closed = False
        address = device.sockets.get(channel)
        if address is None:
            raise SerialException(self._service_text(
                "offers no socket for channel {} (a torvak serve of an older version?); open its tty {}".format(
                    channel, device.ttys.get(channel, "?"))))
        self.address = address
        self._stream = Stream(self._connect())
        weakref.finalize(self, self._stream.stop)
        face = self._stream.face.fileno()
        if keep_fd < 0:
            self._fd = os.dup(face)
        else:
            self._fd = os.dup2(face, keep_fd, inheritable=False)
        self._rate = baudrate
        try:
            self._settle_rate(baudrate, opening=True)
            self._settle_negotiation()
        except BaseException:  # Ctrl-C during the answer's wait included: nothing stays behind
            self._shut()
            if keep_fd < 0:
                os.close(self._fd)
            raise

    def _connect(self) -> socket.socket:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
            sock.settimeout(ANSWER_LIMIT)
            sock.connect(self.address)
        except OSError as error:
            sock.close()
            raise SerialException(self._service_text("its socket {} did not let channel {} open ({})".format(
                self.address, self._channel, error))) from error
        return sock

    def fileno(self) -> int:
        return self._fd

    # -- what goes wrong, said the same way as for a direct port -----------------------

    def _service_text(self, what: str) -> str:
        return "{}: torvak serve (process {}, {}) holds device {} and {}".format(
            self._url, self._device.pid, self._device.directory, self._device.serial_number, what)

    def gone(self) -> SerialException:
        self._stream.take(True)  # a refusal comes right before the end
        refusal = self._stream.session.refusal
        if refusal is not None:
            return SerialException("torvak serve refused: {}".format(refusal))
        return SerialException(
            "{}: the connection to torvak serve ({}) ended: the service stopped, or device {} is gone; "
            "close the port and open it again".format(self._url, self.address, self._device.serial_number))

    def _usable(self) -> Stream:
        stream = self._stream
        if self._closed or stream.ended():
            raise self.gone()
        return stream

    def _pump(self) -> Stream:
        stream = self._usable()
        try:
            stream.pump()
        except Gone:
            raise self.gone() from None
        return stream

    def _wait(self, timeout: float, done: Callable[[], bool] = lambda: False) -> None:
        try:
            self._stream.wait(timeout, done)
        except Gone:
            raise self.gone() from None

    # -- the channel's face --------------------------------------------------------------

    @property
    def in_waiting(self) -> int:
        return self._stream.in_waiting()

    def ended(self) -> bool:
        """Whether the connection has ended and everything received before has been read."""
        stream = self._stream
        return stream.ended() and not stream.in_waiting()

    def read(self, size: int) -> bytes:
        return self._stream.read(size)

    def read_until(self, last: bytes, size: Optional[int]) -> bytes:
        return self._stream.read_until(last, size)

    def write(self, payload: bytes, limit: Optional[float]) -> int:
        """Hands `payload` to the socket; with `limit`, SerialTimeoutException once that
        is spent, and with limit 0, returns what the socket took at once."""
        stream = self._pump()
        session = stream.session
        with stream.lock:
            session.write(payload)
        deadline = None if limit is None else time.monotonic() + limit
        while True:
            with stream.lock:
                try:
                    stream.pump()
                except Gone:
                    session.withdraw()
                    raise self.gone() from None
                if not session.unsent():
                    return len(payload)
                left = _SLICE if deadline is None else min(_SLICE, deadline - time.monotonic())
                if left <= 0 or self._closed or stream.ended():
                    dropped = session.withdraw()
                    if self._closed or stream.ended():
                        raise self.gone()
                    if limit == 0:
                        return len(payload) - dropped
                    raise SerialTimeoutException("Write timeout: {} of {} bytes written".format(
                        len(payload) - dropped, len(payload)))
            self._wait(left, lambda: not session.unsent())

    def waiting(self) -> int:
        """Bytes written that the device may not have yet: 0 exactly when flush() has
        nothing to wait for. Asks the service (a poll) when it has not said yet."""
        stream = self._stream
        with stream.lock:
            if self._closed or stream.ended():
                return stream.session.out_waiting()
            stream.session.ensure_poll()
            self._pump()
            stream.take()
            return stream.session.out_waiting()

    def flush(self) -> None:
        """Returns once everything written has reached the device; SerialException naming
        what had not when the connection ends first."""
        stream = self._stream
        session = stream.session
        with stream.lock:
            session.ensure_poll()
        try:
            self._pump()
            while session.out_waiting():
                with stream.lock:
                    session.ensure_poll()
                self._usable()
                self._wait(_SLICE, lambda: not session.out_waiting())
        except SerialException as error:
            raise SerialException("{} ({} bytes written were not delivered)".format(
                error, session.out_waiting())) from error

    def reset(self) -> None:
        """Drops what was not yet sent and asks the service to drop what it holds for the
        device; returns once the service has answered (PURGE_ANSWER_LIMIT at most)."""
        stream = self._stream
        session = stream.session
        with stream.lock:
            session.purge_output()
            self._pump()
        deadline = time.monotonic() + PURGE_ANSWER_LIMIT
        while session.purge_answers < session.purges and not stream.ended():
            left = deadline - time.monotonic()
            if left <= 0 or self._closed:
                return
            self._wait(min(left, _SLICE), lambda: session.purge_answers >= session.purges)

    def flushInput(self) -> None:  # noqa: N802  (the module's name)
        stream = self._stream
        with stream.lock:
            stream.drop_input()
            stream.session.purge_input()
            self._pump()

    @property
    def rate(self) -> Optional[int]:
        return self._rate

    def set_rate(self, rate: int) -> None:
        """Returns once the service has had the device confirm the rate."""
        self._settle_rate(rate)

    def _settle_rate(self, rate: int, opening: bool = False) -> None:
        stream = self._stream
        session = stream.session
        with stream.lock:
            answers = session.rate_answers
            session.set_rate(rate)
        deadline = time.monotonic() + ANSWER_LIMIT
        try:
            self._pump()
            while session.rate_answers == answers:
                if time.monotonic() >= deadline:
                    raise SerialException("no answer within {} s".format(ANSWER_LIMIT))
                self._usable()
                self._wait(_SLICE, lambda: session.rate_answers != answers)
        except SerialException as error:
            if session.refusal is not None or (stream.ended() and opening):
                raise self.gone() if session.refusal is not None else SerialException(self._service_text(
                    "its socket {} did not let channel {} open (the connection ended); see the service's "
                    "log".format(self.address, self._channel))) from None
            raise SerialException("{}: baud rate {} not confirmed through torvak serve ({})".format(
                self._url, rate, error)) from error
        if session.rate != rate:  # the service answered with the rate in force: the device refused
            if opening:
                raise SerialException(self._service_text(
                    "refused baud rate {} for channel {} (the device did not take it)".format(rate, self._channel)))
            raise SerialException("{}: baud rate {} refused by device {} (through torvak serve); the rate in force "
                                  "is {}".format(self._url, rate, self._device.serial_number, self._rate))
        self._rate = rate

    def _settle_negotiation(self) -> None:
        """Waits for the answer to a line state poll: the service's answers to the telnet
        negotiation come before it, so that none arrives later to wake a select()."""
        stream = self._stream
        with stream.lock:
            stream.session.poll()
        deadline = time.monotonic() + ANSWER_LIMIT
        try:
            self._pump()
            while stream.session.polls_waiting():
                if time.monotonic() >= deadline:
                    raise SerialException("no answer within {} s".format(ANSWER_LIMIT))
                self._usable()
                self._wait(_SLICE, lambda: not stream.session.polls_waiting())
        except SerialException as error:
            raise SerialException(self._service_text("its socket {} did not let channel {} open ({})".format(
                self.address, self._channel, error))) from None

    def close(self) -> None:
        """Hands over what was written, then ends the connection once the service has read
        it all (it delivers it to the device on its own); waits as long as the service keeps
        taking some. The descriptor stays open (shut down) for fileno() until the port goes."""
        if self._closed:
            return
        self._closed = True
        stream = self._stream
        try:
            self._hand_over(stream)
        except (Gone, OSError):
            pass
        self._shut()

    def _hand_over(self, stream: Stream) -> None:
        seen, since = None, time.monotonic()
        shut = False
        while not stream.ended():
            stream.pump()
            if not shut and not stream.session.pending():
                stream.sock.shutdown(socket.SHUT_WR)
                shut = True
            stream.drop_input()
            now = time.monotonic()
            marker = (stream.unread_by_service(), stream.session.pending())
            if marker != seen:
                seen, since = marker, now
            elif now - since >= CLOSE_LIMIT:
                return
            stream.wait(CLOSE_LOOK)

    def _shut(self) -> None:
        """Ends the connection; the port's descriptor then polls readable and writable for
        good (no more can come)."""
        self._closed = True
        self._stream.stop()
