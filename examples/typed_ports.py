"""A typed client of both faces of the library; `mypy --strict` checks it in CI.

    python examples/typed_ports.py            # lists the channels, greets channel 1
"""
from __future__ import annotations

import sys
from typing import List, Optional

import serial

import torvak_serial
import zeq_torvak


def device_summary(serial_number: str) -> str:
    device = zeq_torvak.get_hid_device(serial_number)
    try:
        version: Optional[str] = device.firmware_version
        return "{}: {} channels, firmware {}".format(
            device.serial_number, device.channel_count, version or "unknown"
        )
    finally:
        device.close_channel(0)  # closes the device again unless a port of ours has it open


def greet(port_name: str, baudrate: int) -> bytes:
    with zeq_torvak.Serial(port_name, baudrate, timeout=1.0) as port:
        sent: int = port.write(b"hello\r\n")
        assert sent == 7
        confirmed: Optional[int] = port.baudrate
        print("{} at {} baud".format(port.port, confirmed))
        return port.read_until(b"\n")


def greet_by_url(url: str) -> List[str]:
    with serial.serial_for_url(url, baudrate=115200, timeout=1) as port:
        port.write(b"hello\r\n")
        return [line.decode("ascii", "replace") for line in port.readlines()]


def main() -> int:
    serial_numbers = [s for s in zeq_torvak.list_serial_numbers() if s is not None]
    for serial_number in serial_numbers:
        print(device_summary(serial_number))
    ports = torvak_serial.comports()
    for info in ports:
        print(info.device, info.name, info.description, info.hwid)
    if not ports:
        return 0
    print(greet(ports[0].name, 9600))
    print(greet_by_url(ports[0].device))
    return 0


if __name__ == "__main__":
    sys.exit(main())
