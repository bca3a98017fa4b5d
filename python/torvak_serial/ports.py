"""The channels of the attached Torvak devices, listed as pyserial lists serial ports."""
from __future__ import annotations

from typing import List

from serial.tools.list_ports_common import ListPortInfo

import zeq_torvak
from torvak_common import PRODUCT_ID, VENDOR_ID, find_served, make_url, port_name
from torvak_discovery import borrowed_device
from torvak_common.served import serial_names_path


def comports() -> List[ListPortInfo]:
    """One entry per channel of every attached Torvak device, in the style of
    serial.tools.list_ports.comports(): ``device`` is the torvak://SERIAL/N URL that
    opens the channel, ``name`` its zeq_torvak port name, ``serial_number`` the device's.
    Sorted by URL, channels in numeric order.

    A device that ``torvak serve`` holds has the channels the service publishes; any
    other is asked for its channel count, and opened for that and closed again when no
    port of this process has it open. Left out are devices that cannot be asked (held by
    another program, or unplugged meanwhile) and devices whose serial number cannot name
    a port (none, or one with lower-case letters: ports are opened by the upper-cased
    serial number).
    """
    ports = []
    for serial_number in zeq_torvak.list_serial_numbers():
        if serial_number is None or not serial_names_path(serial_number):
            continue
        try:
            count = channel_count(serial_number)
        except (AssertionError, OSError):
            continue
        if not isinstance(count, int):  # the count check is an assertion, skipped under -O
            continue
        for channel in range(1, count + 1):
            info = ListPortInfo(make_url(serial_number, channel), skip_link_detection=True)
            info.name = port_name(serial_number, channel)
            info.description = "Torvak {} channel {}".format(serial_number, channel)
            info.vid = VENDOR_ID
            info.pid = PRODUCT_ID
            info.serial_number = serial_number
            info.interface = "S{}".format(channel)
            info.hwid = info.usb_info()
            ports.append(info)
    return sorted(ports)


def channel_count(serial_number: str) -> int:
    """The channel count of the device with this serial number: as the service that holds
    it publishes it, or asked of the device, which is opened for that and closed again
    when no port of this process has it open. The module's AssertionError or OSError when
    it cannot be asked."""
    served = find_served(serial_number)
    if served is not None:
        return served.channel_count
    with borrowed_device(serial_number) as device:
        count: int = device.channel_count
        return count
