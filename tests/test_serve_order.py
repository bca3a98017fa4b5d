"""Through torvak serve, a rate change reaches the device at its place among the bytes:
those written before it go out before its "Config R", those after it after, whether the
program speaks RFC 2217, uses a routed torvak:// port or sets the rate on its tty."""
import os
import re
import termios

import pytest

from serial_support import serial
from test_routing import served  # noqa: F401  (the fixture)
from test_serve import SERIAL, device  # noqa: F401  (the fixture)
from torvak_emu import wait_until

MASTER = 100
COUNT = 3000


def device_order(device, channel):  # noqa: F811
    """What the device got on `channel`: its data bytes, with "|R|" where a rate was set."""
    got = b""
    for packet in device.out_packets():
        body = bytes(packet[2:2 + packet[1]])
        if packet[0] == channel:
            got += body
        elif packet[0] == MASTER + channel and re.match(rb"Config \d+\n", body):
            got += b"|" + body[7:-1] + b"|"
    return got


def order_kept(device, channel, rate):  # noqa: F811
    expected = b"x" * COUNT + b"|%d|" % rate + b"y" * COUNT
    wait_until(lambda: len(device_order(device, channel)) >= len(expected), timeout=20)
    got = device_order(device, channel)
    assert got == expected, "{} x, {} y before the rate; {} x, {} y after".format(
        *(part.count(c) for part in got.partition(b"|%d|" % rate)[::2] for c in b"xy"))


@pytest.mark.parametrize("way", ["rfc2217", "routed"])
def test_a_rate_change_reaches_the_device_between_the_bytes_around_it(served, device, way):  # noqa: F811
    device.set_loopback(False)
    if way == "tty":
        fd = os.open(served.link(3), os.O_RDWR | os.O_NOCTTY)
        try:
            wait_until(lambda: "a program opened the tty" in served.log(), timeout=5)
            device.out_packets(clear=True)
            os.write(fd, b"x" * COUNT)
            attributes = termios.tcgetattr(fd)
            attributes[4] = attributes[5] = termios.B38400
            termios.tcsetattr(fd, termios.TCSADRAIN, attributes)
            os.write(fd, b"y" * COUNT)
            order_kept(device, 3, 38400)
        finally:
            os.close(fd)
        return
    url = served.url(1) if way == "rfc2217" else "torvak://{}/2".format(SERIAL)
    with serial.serial_for_url(url) as port:
        device.out_packets(clear=True)
        port.write(b"x" * COUNT)
        port.baudrate = 115200
        port.write(b"y" * COUNT)
        order_kept(device, 1 if way == "rfc2217" else 2, 115200)
