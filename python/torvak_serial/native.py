"""Every use of the zeq_torvak module's private members in torvak_serial, in one place.

The module keeps its innards under mangled names (a channel's USB handle and receive
buffer, a device's core, the open-device table); the port reaches them
only through these functions, so that a change inside the module is met here alone.
"""
from __future__ import annotations

import threading
from typing import Any, Optional, Set, Tuple

import zeq_torvak
from torvak_common import match_serial_number, port_name
from torvak_discovery import release_device
from torvak_common.failures import Kind, classify


def open_channel(serial_number: str, channel: int, baudrate: int, timeout: float) -> zeq_torvak.Serial:
    """The module's port for `channel` of the device that `serial_number` names (letter
    case aside; ANY: the first one), opened at `baudrate` with the channel's own
    `timeout`; the module's error when it cannot be opened.

    The module upper-cases the serial number of a port name, which then names no device
    whose serial number has lower-case letters: such a device is opened by its own
    spelling, and its channel made the port's, as the module's constructor does."""
    spelling = _lower_case_spelling(serial_number) if serial_number != serial_number.upper() else None
    if spelling is None:
        try:
            return zeq_torvak.Serial(port_name(serial_number, channel), baudrate, timeout)
        except AssertionError as error:
            spelling = _lower_case_spelling(serial_number) if classify(error).kind is Kind.UNKNOWN_SERIAL else None
            if spelling is None:
                raise
    device = zeq_torvak.get_hid_device(spelling)
    try:
        handle = device.open_channel(channel, baudrate, timeout)
    except BaseException:
        release_device(device)  # a device opened here for nothing keeps its reader thread
        raise
    port = zeq_torvak.Serial.__new__(zeq_torvak.Serial)
    setattr(port, "_Serial__handle", handle)
    return port


def _lower_case_spelling(wanted: str) -> Optional[str]:
    """The serial number of the attached device that `wanted` names, when it has
    lower-case letters; None otherwise."""
    found = match_serial_number(wanted, zeq_torvak.list_serial_numbers())
    return found if found is not None and found != found.upper() else None


def receive_buffer(channel: Any) -> object:
    """The capsule holding an open channel's receive buffer (the readiness module reads it)."""
    return getattr(getattr(channel, "_Serial__handle"), "_Channel__in_deque")


def channel_device(channel: Any) -> Tuple[Any, int]:
    """(the module's device object, the channel's number) of an open channel."""
    handle = getattr(channel, "_Serial__handle")
    return getattr(handle, "_Channel__device"), int(getattr(handle, "_Channel__channel"))


def device_core(device: Any) -> object:
    """The capsule holding an open device's native core (the readiness module reads it)."""
    return getattr(device, "_Device__core")


def reader_threads() -> Set[threading.Thread]:
    """The reader threads of the devices the module has open."""
    readers: Set[threading.Thread] = set()
    try:
        table = getattr(zeq_torvak._resource_manager, "_ResourceManager__devices")
        for serial_number in list(table):
            reader = getattr(table[serial_number], "_Device__input_scanner", None)
            if isinstance(reader, threading.Thread):
                readers.add(reader)
    except (AttributeError, KeyError, TypeError):  # a device closed meanwhile
        pass
    return readers
