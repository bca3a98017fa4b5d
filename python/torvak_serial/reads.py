"""Reading a torvak:// port, with pyserial's time limits: the call's deadline
(``timeout``) and the gap between bytes (``inter_byte_timeout``)."""
from __future__ import annotations

import threading
import time
from typing import Any, ContextManager, Optional

import serial
from serial.serialutil import PortNotOpenError, SerialException

from .line_settings import FixedLineSettings


class ChannelReads(FixedLineSettings):
    """The reads of a port; the port class supplies the channel, its waits and its errors."""

    _cancel: threading.Event  # set by cancel_read() and close(): a waiting read stops

    def _errors_as_serial_exceptions(self) -> ContextManager[None]:
        raise NotImplementedError

    def _input_ended(self, channel: Any) -> bool:
        raise NotImplementedError

    def _device_gone(self) -> SerialException:
        raise NotImplementedError

    def _wait_for_data(self, waiter: Waiter) -> bool:
        raise NotImplementedError

    def _wake(self) -> None:
        raise NotImplementedError

    @property
    def in_waiting(self) -> int:
        """Bytes received and not read yet."""
        channel = self._open_channel()
        with self._errors_as_serial_exceptions():
            waiting: int = channel.in_waiting
        if not waiting and self._input_ended(channel):
            raise self._device_gone()
        return waiting

    def read(self, size: int = 1) -> bytes:
        """Up to `size` bytes, within the time limits set by timeout and inter_byte_timeout."""
        channel = self._open_channel()
        if size <= 0:
            return b""
        data = bytearray()
        waiter = Waiter(self.timeout, self.inter_byte_timeout)
        while len(data) < size:
            if self._stop_requested():
                break
            with self._errors_as_serial_exceptions():
                part = channel.read(size - len(data))
            if part:
                data += part
                waiter.arrived()
                continue
            if self._input_ended(channel):
                if data:
                    break  # what arrived before the loss; the next read raises
                raise self._device_gone()
            if not self._wait_for_data(waiter):
                break
        return bytes(data)

    def read_until(self, expected: bytes = serial.LF, size: Optional[int] = None) -> bytes:
        """Bytes up to and including `expected` (of any length), at most `size` of them,
        within the time limits of read()."""
        channel = self._open_channel()
        terminator = bytes(expected)
        if not terminator:
            raise ValueError("read_until() needs a terminator of at least one byte")
        if size is not None and size <= 0:
            return b""
        # The module stops at a single byte: stop at the terminator's last byte and see
        # whether the whole terminator is there.
        last = terminator[-1:]
        line = bytearray()
        waiter = Waiter(self.timeout, self.inter_byte_timeout)
        while size is None or len(line) < size:
            if self._stop_requested():
                break
            with self._errors_as_serial_exceptions():
                part = channel.read_until(last, None if size is None else size - len(line))
            if part:
                line += part
                waiter.arrived()
                if line.endswith(terminator):
                    break
                continue
            if self._input_ended(channel):
                if line:
                    break
                raise self._device_gone()
            if not self._wait_for_data(waiter):
                break
        return bytes(line)

    def readline(self, size: Optional[int] = -1) -> bytes:
        """Bytes up to and including a line feed, at most `size` of them when it is not
        negative, within the time limits of read()."""
        return self.read_until(serial.LF, None if size is None or size < 0 else size)

    def cancel_read(self) -> None:
        """Ends a read waiting in another thread with what it has gathered; with no read
        waiting, the next read returns at once."""
        self._cancel.set()
        self._wake()

    def _stop_requested(self) -> bool:
        if not self.is_open:
            raise PortNotOpenError()
        if self._cancel.is_set():
            self._cancel.clear()
            return True
        return False

    def reset_input_buffer(self) -> None:
        """Drops what the device and this host have received and not read yet."""
        channel = self._open_channel()
        with self._errors_as_serial_exceptions():
            channel.flushInput()


class Waiter:
    """The time limits of one read: the call's deadline and the inter-byte gap."""

    def __init__(self, timeout: Optional[float], inter_byte_timeout: Optional[float]) -> None:
        self._start = time.monotonic()
        self._deadline = None if timeout is None else self._start + timeout
        self._gap = inter_byte_timeout
        self._last_arrival: Optional[float] = None

    def arrived(self) -> None:
        self._last_arrival = time.monotonic()

    def pause(self) -> Optional[float]:
        """How long to wait for more at most (None: without limit); 0 or less when a
        limit has passed."""
        now = time.monotonic()
        pause: Optional[float] = None
        if self._deadline is not None:
            pause = self._deadline - now
        if self._gap is not None and self._last_arrival is not None:
            quiet = self._last_arrival + self._gap - now
            pause = quiet if pause is None else min(pause, quiet)
        return pause
