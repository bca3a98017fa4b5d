"""The pyserial port behind torvak:// URLs: one channel of a Torvak device.

pyserial finds this module as ``protocol_torvak`` of a package named in
``serial.protocol_handler_packages``; importing torvak_serial puts that package there.
"""
from __future__ import annotations

import contextlib
import os
import selectors
import socket
import threading
import weakref
from typing import TYPE_CHECKING, Any, Iterator, Optional, Tuple, Union

import serial
from serial.serialutil import (
    PortNotOpenError,
    SerialBase,
    SerialException,
)

from torvak_common import ServedDevice, check_baudrate
from torvak_discovery import awaited_device

from . import lifetime
from .device_channel import DeviceChannel, open_device_channel
from .failure import channel_out_of_range, device_failure
from .reads import ChannelReads, Waiter
from .routed import RoutedChannel, wait_for_service
from .transport import Transport, direct_gone
from .url import parse_url

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer


class Serial(ChannelReads):
    """One channel of a Torvak device as a pyserial port, named by a torvak://SERIAL/N URL.

    pyserial's contract, not the zeq_torvak module's: ``timeout=None`` waits until the
    requested bytes have arrived, ``0`` returns at once with what is there, a positive
    value limits the whole call; ``inter_byte_timeout`` ends a read once data has stopped
    arriving for that long. ``cancel_read()`` ends a read waiting in another thread (or,
    when none waits, the next one) with what it has gathered. Writes go into an output
    buffer of 4 KiB, as a tty's do, drained to USB in the background: ``write()`` waits
    only while the buffer is full (``write_timeout`` limits that wait; 0 takes what fits),
    ``out_waiting`` counts what is buffered or on its way, ``flush()`` waits until all of
    it has reached the device, ``reset_output_buffer()`` drops what has not gone yet, and
    ``close()`` drains first. A transfer that fails stops the drain; the next write, flush
    or close raises SerialException naming the bytes not delivered. Baud-rate changes return once the device has confirmed
    them. Parity, byte size, stop bits, flow control and RS-485 mode cannot be changed on
    the device: anything but their defaults is refused, since the data would be corrupted.
    The channel has no modem lines, as pyserial's socket:// and loop:// ports have none:
    RTS, DTR and break can be set and are ignored (a debug line on the ``torvak_serial``
    logger says so); CTS, DSR and CD read True, RI reads False.

    A port still open when the program ends is closed once the program's own threads have
    ended, so it never keeps the interpreter alive.

    While ``torvak serve`` holds the device (its state file says so), the port reaches the
    channel through the service's RFC 2217 port on this machine, with the same reads,
    writes, time-outs, baud-rate changes and errors, and a fileno() that polls readable
    while received data waits and writable while the connection to the service takes more.
    While the service serves the device but does not have it open (unplugged, or plugged in
    and not served yet), opening waits for it, up to 10 s, rather than take the device.
    """

    _baudrate: int

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self._channel: Optional[Transport] = None  # the way to the channel while open
        self._address: Optional[Tuple[str, int]] = None  # (serial number, channel) while open
        # (the device's own serial number, whether through torvak serve) while open
        self._reached: Optional[Tuple[Optional[str], bool]] = None
        # Set by cancel_read() and close(); a read that finds it set stops waiting.
        self._cancel = threading.Event()
        # Taken by close(), which the exit hook may run while another thread closes too.
        self._close_lock = threading.Lock()
        # The channel's receive buffer, its readiness descriptor and what reads wait on:
        # the descriptor and a wake-up socket pair, through which cancel_read() and close()
        # end a waiting read (a socket pair, not a pipe: Windows' select takes sockets only).
        # All are kept for the life of this object, so that no descriptor is ever closed
        # under a thread that waits on it; fileno() works after close().
        self._buffer: object = None
        self._ready_fd = -1
        self._wake_r: Optional[socket.socket] = None
        self._wake_w: Optional[socket.socket] = None
        self._selector: Optional[selectors.BaseSelector] = None
        # A routed channel's connection: its descriptor, kept for the life of this object;
        # a connection made when the port is opened again takes its place.
        self._routed_fd = -1
        super().__init__(*args, **kwargs)

    # -- opening and closing ---------------------------------------------------------

    def open(self) -> None:
        if self.port is None:
            raise SerialException("Port must be configured before it can be used.")
        if self.is_open:
            raise SerialException("Port is already open.")
        serial_number, channel_number = parse_url(self.port)
        served = awaited_device(serial_number)
        if served is not None and not served.present:
            # The service takes the device when it is back: waited for, never taken from it.
            served = wait_for_service(str(self.port), serial_number, served)
        if served is not None:
            self._open_routed(served, serial_number, channel_number)
            return
        channel = open_device_channel(str(self.port), serial_number, channel_number, self._baudrate)
        self._address = channel.address
        self._reached = (channel.device_serial_number, False)
        self._watch(channel)
        self._channel = channel
        self._opened()

    def _opened(self) -> None:
        self._cancel.clear()
        self.is_open = True
        lifetime.opened(self)
        self._update_rts_state()
        self._update_dtr_state()

    def _open_routed(self, served: ServedDevice, serial_number: str, channel_number: int) -> None:
        if channel_number > served.channel_count:
            raise channel_out_of_range(str(self.port), served.serial_number, channel_number, served.channel_count)
        channel = RoutedChannel(str(self.port), served, channel_number, self._baudrate, self._routed_fd)
        if self._routed_fd < 0:
            self._routed_fd = channel.fileno()
            weakref.finalize(self, _release_waiting, None, self._routed_fd).atexit = False
        self._channel = channel
        self._address = (served.serial_number, channel_number)
        self._reached = (served.serial_number, True)
        self._buffer = None
        self._ready_fd = self._routed_fd
        self._watch_descriptor()
        self._opened()

    def close(self) -> None:
        """Closes the port once what was written has reached the device (as a tty's close,
        it gives up after a few seconds in which nothing moved, and logs what it dropped)."""
        with self._close_lock:
            channel = self._channel
            # What was written drains while the port is still open.
            failure = channel.close_output() if isinstance(channel, DeviceChannel) and self.is_open else None
            self._channel = None
            self._reached = None
            self.is_open = False
            self._cancel.set()  # a read waiting in another thread finds the port closed
            self._wake()
            lifetime.closed(self)
            if channel is not None:
                with self._errors_as_serial_exceptions():
                    channel.close()
            if failure is not None:
                raise failure

    def _watch(self, channel: DeviceChannel) -> None:
        # Holding the receive buffer's capsule keeps buffer and descriptor.
        self._buffer = channel.buffer
        self._ready_fd = channel.fileno()
        self._watch_descriptor()

    def _watch_descriptor(self) -> None:
        if self._selector is None:
            self._wake_r, self._wake_w = socket.socketpair()
            self._wake_r.setblocking(False)
            self._wake_w.setblocking(False)
            self._selector = selectors.DefaultSelector()
            self._selector.register(self._wake_r, selectors.EVENT_READ)
            # Released with this object (not at exit: a thread may still wait on them then).
            weakref.finalize(self, _release_waiting, self._selector, self._wake_r, self._wake_w).atexit = False
        else:  # opened again: the new channel has a descriptor of its own
            for key in list(self._selector.get_map().values()):
                if key.fileobj is not self._wake_r:
                    self._selector.unregister(key.fileobj)
        self._selector.register(self._ready_fd, selectors.EVENT_READ)

    @property
    def device_serial_number(self) -> Optional[str]:
        """The serial number of the device the open port reaches, as the device reports it
        (for ANY: the device found first); None while closed."""
        return None if self._reached is None else self._reached[0]

    @property
    def through_service(self) -> bool:
        """Whether the open port reaches its channel through torvak serve."""
        return self._reached is not None and self._reached[1]

    def fileno(self) -> int:
        """The channel's readiness descriptor, for select, selectors and asyncio: it polls
        readable while received data waits to be read, and once no more can come (the port
        closed, the device gone, the service's connection ended); writable while the
        output buffer has room."""
        if self._ready_fd < 0:
            raise PortNotOpenError()
        return self._ready_fd

    def _wake(self) -> None:
        wake = self._wake_w
        if wake is not None:
            try:
                wake.send(b"\0")
            except OSError:
                pass  # already full of wake-ups (BlockingIOError), or being torn down

    def _wait_for_data(self, waiter: Waiter) -> bool:
        """Waits until data may have arrived, the port is cancelled or closed, or a limit
        passes (then False)."""
        pause = waiter.pause()
        if pause is not None and pause <= 0:
            return False
        assert self._selector is not None
        for key, _ in self._selector.select(pause):
            if key.fileobj is self._wake_r:
                try:
                    while self._wake_r.recv(64):
                        pass
                except BlockingIOError:
                    pass
        return True

    def _input_ended(self, channel: Transport) -> bool:
        """Whether the device has gone and everything it sent before has been read."""
        return channel.ended()

    def _device_gone(self) -> SerialException:
        channel = self._channel
        return channel.gone() if channel is not None else direct_gone(str(self.port), self._address or ("?", 0))

    def _reconfigure_port(self, force_update: bool = False) -> None:
        # Settings the device cannot take are refused by their setters, the baud rate is
        # set by its own; time limits apply to the next read or write.
        pass

    def _open_channel(self) -> Transport:
        channel = self._channel
        if channel is None or not self.is_open:
            raise PortNotOpenError()
        return channel

    @contextlib.contextmanager
    def _errors_as_serial_exceptions(self) -> Iterator[None]:
        try:
            yield
        except AssertionError as error:
            # The module asserts that its channel is open: close() has run meanwhile.
            if not self.is_open:
                raise PortNotOpenError() from error
            raise self._failure(error) from error
        except OSError as error:
            if isinstance(error, SerialException):
                raise
            raise self._failure(error) from error

    def _failure(self, error: BaseException) -> SerialException:
        serial_number, channel = self._address or (None, None)
        return device_failure(error, str(self.port), channel, serial_number)

    # -- writing ---------------------------------------------------------------------

    def write(self, data: ReadableBuffer) -> int:
        """Puts `data` into the output buffer, waiting while it is full; returns its length.
        With write_timeout set, SerialTimeoutException once that wait takes longer; with
        write_timeout 0, returns at once how much the buffer took."""
        channel = self._open_channel()
        payload = _as_bytes(data)
        limit = self.write_timeout
        with self._errors_as_serial_exceptions():
            return channel.write(payload, limit)

    @property
    def out_waiting(self) -> int:
        """Bytes written and not yet handed over to the device (buffered or in flight)."""
        return self._open_channel().waiting()

    def flush(self) -> None:
        """Waits until everything written has reached the device; SerialException naming
        the bytes that did not when the device fails or goes first."""
        self._open_channel().flush()

    def reset_output_buffer(self) -> None:
        """Drops what was written and not yet handed to USB; what is on its way goes on."""
        self._open_channel().reset()

    # -- settings --------------------------------------------------------------------

    @property
    def baudrate(self) -> int:
        return self._baudrate

    @baudrate.setter
    def baudrate(self, baudrate: int) -> None:
        """Changes the rate; on an open port, returns once the device has confirmed it."""
        try:
            rate = check_baudrate(baudrate)
        except ValueError as error:
            raise ValueError(str(error) if self.port is None else "{}: {}".format(self.port, error)) from None
        channel = self._channel
        if self.is_open and channel is not None:
            try:
                channel.set_rate(rate)
            except SerialException:
                confirmed = channel.rate
                if confirmed is not None:
                    self._baudrate = confirmed
                raise
        self._baudrate = rate


def _release_waiting(selector: Optional[selectors.BaseSelector], *descriptors: Union[int, socket.socket]) -> None:
    if selector is not None:
        selector.close()
    for descriptor in descriptors:
        if isinstance(descriptor, socket.socket):
            descriptor.close()
        else:
            os.close(descriptor)


def _as_bytes(data: ReadableBuffer) -> bytes:
    # As pyserial's own ports do: text must be encoded by the caller, and a number is not
    # taken as a length.
    if isinstance(data, (str, int)):
        raise TypeError("write() takes bytes, not {}: {!r}".format(type(data).__name__, data))
    return bytes(data)
