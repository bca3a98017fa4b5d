# Type information for the zeq_torvak extension module. The module binds more names than
# listed here (its host-module aliases such as _array, _usb_core and _backend); they are
# internal and left out. Members whose names start with one underscore are internal too:
# they are listed because get_hid_device() hands out a _Device.
#
# The module's own __doc__ values are fixed, so the explanations editors show live here,
# in this stub's docstrings (the documentation's API page is generated from them).
import sys as sys
from array import array
from types import TracebackType
from typing import Any, Callable, ClassVar, Iterable, List, Optional, Sequence, Type, TypeVar, Union

_T = TypeVar("_T")

# What write() sends: text goes out as its UTF-8 encoding, anything else as its byte values.
_Data = Union[str, bytes, bytearray, memoryview, "array[int]", Sequence[int]]
# A single terminator: one byte, or one character whose code is that byte's value.
_Terminator = Union[bytes, bytearray, str]
# A reply payload as the reader thread hands it to a handler.
_Payload = array[int]

_vid: int
_pid: int
_resource_manager: _ResourceManager

class _Device:
    """One open Torvak device, shared by all ports of the process that use it.

    ``get_hid_device()`` hands one out for the device queries (``channel_count``,
    ``firmware_version``, ``echo``). A reader thread (not a daemon) runs while it is open,
    so close it when done: ``close_channel(0)`` closes a device that has no open port.
    """

    PackageSize: ClassVar[int]
    IOControlChannel: ClassVar[int]
    def __init__(self, dev_manager: _ResourceManager, hid_handle: Any) -> None:
        """Takes over a USB device found by the registry and starts its reader thread;
        use ``get_hid_device()`` instead."""
    def set_io_control_handler_for_channel(self, handler: Callable[[_Payload], object], channel: int) -> None:
        """Calls ``handler`` on the reader thread with each control reply of ``channel``."""
    def reset_io_control_handler_for_channel(self, channel: int) -> None:
        """Removes the control-reply handler of ``channel``."""
    @property
    def channel_count(self) -> int:
        """The number of data channels, numbered from 1. The first use asks the device
        ("ChannelCount?") and waits up to 1 s; no answer raises AssertionError
        "查询设备通道数量超时:SERIAL" (querying the channel count timed out)."""
    def close(self) -> None:
        """Stops the reader thread and releases the USB device. Ports close their device
        themselves; with ``get_hid_device()`` use ``close_channel(0)``, which also takes
        the device out of the registry."""
    def handle_io_control_package(self, package: _Payload, channel: int) -> None:
        """Hands a control reply to the handler of ``channel`` (called by the reader)."""
    def input_scanner_function(self) -> None:
        """The reader thread's body: reads packets until the device closes or fails."""
    @staticmethod
    def handle_channel_count_response(package: _Payload) -> Optional[int]:
        """The channel count in a reply payload, or None for a reply that is no integer."""
    def open_channel(self, channel: int, baudrate: int, timeout: float) -> _Channel:
        """Opens ``channel`` at ``baudrate``; raises AssertionError "通道号超出范围 (0, N]:SERIAL"
        (channel out of range 1..N) or "通道[n]已经打开:SERIAL" (channel n already open)."""
    def close_channel(self, channel: int) -> None:
        """Forgets ``channel``; when no channel is left open, closes the device and takes
        it out of the registry. ``close_channel(0)`` closes a device that has no port open."""
    @property
    def serial_number(self) -> str:
        """The device's USB serial number, as the device reports it."""
    def output_data(self, data: Union[_Payload, bytes, bytearray, Sequence[int]]) -> None:
        """Writes one 64-byte packet; any other length raises AssertionError
        "只支持长度为 64 的数据包:SERIAL" (only packets of 64 bytes are supported)."""
    def _send_command_to_channel(self, command: str, channel: int) -> None: ...
    def send_command_to_channel(self, command: str, channel: int) -> None:
        """Sends a command text to ``channel`` (0: the master control channel). A command
        over 62 bytes raises AssertionError "命令[...]过长。包含命令结束符后，长度不能超过[62]个字节:SERIAL"
        (command too long: at most 62 bytes with its terminator)."""
    def io_control_master_query(
        self, command: str, handler: Callable[[_Payload], _T], timeout: float = 0.5
    ) -> Optional[_T]:
        """Sends a query to the master control channel and returns ``handler(reply)``, or
        None when no reply came within ``timeout`` seconds. A query must end in "?", else
        AssertionError "查询指令必须要以英文问号[?]结尾:SERIAL" (a query must end with an
        ASCII question mark)."""
    @staticmethod
    def master_basic_handler(package: Union[_Payload, bytes, bytearray, Iterable[int]]) -> str:
        """A reply payload as text, up to its line end."""
    def echo(self, content: str) -> Optional[str]:
        """Sends ``content`` (at most about 55 UTF-8 bytes) and returns what the device
        sends back, normally the same text; None when it did not answer within 0.5 s."""
    @property
    def firmware_version(self) -> Optional[str]:
        """The firmware's version text; None when the device did not answer within 0.5 s."""

class _Channel:
    """One open channel of a device: the object behind a ``Serial``."""

    def __init__(self, device: _Device, channel_number: int, timeout: float = -1.0) -> None:
        """Made by ``_Device.open_channel``."""
    def _update_baudrate(self, package: _Payload) -> None: ...
    def initialize(self, baudrate: int) -> None:
        """Sets the baud rate, then opens the channel on the device and empties its buffer."""
    @property
    def baudrate(self) -> Optional[int]:
        """As ``Serial.baudrate``."""
    @baudrate.setter
    def baudrate(self, value: int) -> None: ...
    @property
    def name(self) -> str:
        """Torvak:SERIAL:Sn."""
    def close(self) -> None:
        """As ``Serial.close``."""
    @property
    def is_open(self) -> bool:
        """As ``Serial.is_open``."""
    @property
    def in_waiting(self) -> int:
        """As ``Serial.in_waiting``."""
    def input_data(self, data: _Payload) -> None:
        """Appends received bytes to the buffer (called by the reader)."""
    def read_until(self, expected: _Terminator = b"\n", size: Optional[int] = None) -> array[int]:
        """As ``Serial.read_until``, returning an ``array('B')``."""
    def read(self, max_size: int) -> array[int]:
        """As ``Serial.read``, returning an ``array('B')``."""
    def write(self, data: _Data) -> int:
        """As ``Serial.write``."""
    @property
    def timeout(self) -> float:
        """As ``Serial.timeout``."""
    @timeout.setter
    def timeout(self, value: float) -> None: ...
    def flush_input(self) -> None:
        """Discards the received bytes not yet read."""

class _ResourceManager:
    """The process-wide registry of open devices (``zeq_torvak._resource_manager``)."""

    @staticmethod
    def find_device(serial_number: str = "") -> Any:
        """With "": every attached Torvak device; else the one with this exact serial
        number, or None."""
    def __init__(self) -> None:
        """The module makes the one registry when it loads."""
    def get_device_by_serial_number(self, serial_number: str) -> _Device:
        """As ``get_hid_device``."""
    def open_serial_channel(self, serial_number: str, channel: int, baudrate: int, timeout: float) -> _Channel:
        """Opens a channel of the device, opening the device first if needed."""
    def close_device(self, device: _Device) -> None:
        """Takes a closed device out of the registry."""

def list_serial_numbers() -> List[Optional[str]]:
    """The USB serial numbers of the attached Torvak devices (None for a device that has
    none), including devices that this or another process has open."""

class Serial:
    """One channel of a Torvak device, opened by a port name such as "Torvak:ANY:S1".

    A port name is ``Torvak:SERIAL:Sn``: SERIAL is the device's USB serial number, or ANY
    for the first device found; n is the channel, counted from 1. Letter case does not
    matter. The constructor waits until the device has confirmed ``baudrate``.

    A timeout above 0 limits how long read() and read_until() wait, in seconds; 0 or
    below waits until the requested bytes have arrived. Unlike pyserial, where 0 means
    "do not wait", the default 0.0 waits without limit.

    The device's reader thread keeps the interpreter alive while a port is open: close
    the port, or use it in a ``with`` block. Errors (texts as the module raises them):

    - ValueError: a port name without three ":"-separated fields, or a channel field
      that is no number: 'Device name must be "Torvak:SN:Sxxx" format, where "xxx" are
      decimal digit(s).'
    - AssertionError 'Device type "X" not supported.' and 'Device name must be "Sxxx"
      format, where "xxx" are decimal digit(s).': the first field is not Torvak, or the
      channel field does not start with S.
    - AssertionError "Torvak Device (VID=0x483, PID=0x5750) not found." (no device
      attached) or '... with Serial Number "SERIAL" not found.' (no such device).
    - AssertionError "通道号超出范围 (0, N]:SERIAL": channel out of range, the device has
      channels 1 to N.
    - AssertionError "通道[n]已经打开:SERIAL": channel n is already open in this process.
    - IOError "设置波特率超时:PORT:目标值 = RATE": the device did not confirm the baud
      rate within 1 s; "设置波特率失败:PORT:当前值 = GOT:目标值 = RATE": it set another
      rate.
    - IOError with errno (EACCES, EBUSY, ENODEV...): a USB failure: no permission on the
      device node, the device is claimed by another process, or it was unplugged.

    The AssertionErrors are assertions: under ``python -O`` they are not checked.
    """

    def __init__(self, port: str, baudrate: int = 9600, timeout: float = 0.0) -> None:
        """Opens channel n of the device that ``port`` names, at ``baudrate``."""
    def __enter__(self) -> Serial:
        """Returns the port itself."""
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> None:
        """Closes the port."""
    def close(self) -> None:
        """Closes the channel; the last port of a device closes the device and ends its
        reader thread. Bytes not yet read are discarded. A closed port cannot be reopened."""
    def read(self, size: int = 1) -> bytes:
        """Up to ``size`` bytes. Returns as soon as ``size`` bytes have arrived, or with
        what has arrived (possibly nothing) once ``timeout`` seconds have passed; with a
        timeout of 0 or below it waits for all ``size`` bytes. On a closed port:
        AssertionError "设备[Torvak:SERIAL:Sn]已关闭" (the port is closed)."""
    def write(self, data: _Data) -> int:
        """Sends ``data`` (str as UTF-8) in packets of up to 62 bytes and returns the
        number of bytes sent, once USB has taken them all. On a closed port:
        AssertionError "设备[Torvak:SERIAL:Sn]已关闭"; a failed transfer raises IOError."""
    def read_until(self, expected: _Terminator = b"\n", size: Optional[int] = None) -> bytes:
        """Bytes up to and including the one-byte terminator ``expected``, or fewer when
        ``size`` bytes have come first or ``timeout`` (above 0) has passed."""
    @property
    def baudrate(self) -> Optional[int]:
        """The rate the device last confirmed; None when it confirmed none. Setting it
        waits up to 1 s for the device to confirm the new rate (IOError otherwise)."""
    @baudrate.setter
    def baudrate(self, value: int) -> None: ...
    @property
    def port(self) -> str:
        """Torvak:SERIAL:Sn, with the serial number the device reports."""
    @property
    def is_open(self) -> bool:
        """False once the port is closed."""
    @property
    def in_waiting(self) -> int:
        """The number of received bytes not yet read."""
    @property
    def timeout(self) -> float:
        """Seconds a read waits; 0 or below: without limit. Applies to later reads."""
    @timeout.setter
    def timeout(self, value: float) -> None: ...
    def flushInput(self) -> None:
        """Discards the received bytes not yet read."""
    def flushOutput(self) -> None:
        """Does nothing: write() has handed every packet to USB when it returns."""
    def flush(self) -> None:
        """Calls flushOutput()."""

def get_hid_device(serial_number: str = "ANY") -> _Device:
    """The device with this USB serial number (exact letter case; "ANY": the first one
    found), for the device queries. Returns the device object a port of this process
    already uses, or opens the device. Close one it opened with ``close_channel(0)``.
    Raises AssertionError "Torvak Device (VID=0x483, PID=0x5750) not found." or
    '... with Serial Number "SERIAL" not found.'."""
