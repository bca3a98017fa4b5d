"""Through torvak serve, a rate change reaches the device between the bytes written before
and after it, for an RFC 2217 client and a routed torvak:// port."""
import re

import pytest

from serial_support import serial
from test_routing import served  # noqa: F401  (the fixture)
from test_serve import SERIAL, device  # noqa: F401  (the fixture)
from torvak_emu import wait_until


def device_order(device, channel):  # noqa: F811
    """What the device got on `channel`: its data, with "|R|" where rate R was set."""
    got = b""
    for packet in device.out_packets():
        body = bytes(packet[2:2 + packet[1]])
        if packet[0] == channel:
            got += body
        elif packet[0] == 100 + channel and re.match(rb"Config \d+\n", body):
            got += b"|" + body[7:-1] + b"|"
    return got


@pytest.mark.parametrize("url, channel", [("rfc2217", 1), ("torvak://{}/2".format(SERIAL), 2)])
def test_a_rate_change_reaches_the_device_between_the_bytes_around_it(served, device, url, channel):  # noqa: F811
    device.set_loopback(False)
    with serial.serial_for_url(served.url(1) if url == "rfc2217" else url) as port:
        device.out_packets(clear=True)
        port.write(b"x" * 3000)
        port.baudrate = 115200
        port.write(b"y" * 3000)
        expected = b"x" * 3000 + b"|115200|" + b"y" * 3000
        wait_until(lambda: len(device_order(device, channel)) >= len(expected), timeout=20)
        got = device_order(device, channel)
        assert got == expected, "{} x, {} y before the rate; {} x, {} y after".format(
            *(part.count(c) for part in got.partition(b"|115200|")[::2] for c in b"xy"))
