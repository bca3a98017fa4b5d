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


def test_on_a_tty_no_byte_written_before_a_rate_change_goes_after_it(served, device):  # noqa: F811
    """The pty does not wait at TCSADRAIN: the service takes what its master holds before it
    queues the change, so bytes written before the change never follow it to the device."""
    import os
    import termios
    import tty

    device.set_loopback(False)
    fd = os.open(served.link(3), os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(fd)
        rates = [38400, 57600] * 5
        for rate in rates:
            device.out_packets(clear=True)
            os.write(fd, b"x" * 3000)
            termios.tcdrain(fd)  # returns at once on a pty
            attributes = termios.tcgetattr(fd)
            attributes[4] = attributes[5] = getattr(termios, "B{}".format(rate))
            termios.tcsetattr(fd, termios.TCSADRAIN, attributes)
            os.write(fd, b"y" * 3000)
            marker = "|{}|".format(rate).encode()
            assert wait_until(lambda: device_order(device, 3).count(b"x") == 3000 and marker in device_order(device, 3)
                              and device_order(device, 3).count(b"y") == 3000, timeout=20)
            before, _, after = device_order(device, 3).partition(marker)
            assert b"x" not in after and before.startswith(b"x" * 3000), (rate, before.count(b"y"))
    finally:
        os.close(fd)
