"""Through torvak serve, a rate change reaches the device between the bytes written before
and after it, for an RFC 2217 client and a routed torvak:// port."""
import re
import time

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
        # Until the service has taken the session's first bytes, a rate on the tty counts as
        # the one the program opened with, and goes first: the session starts here.
        os.write(fd, b"o")
        assert wait_until(lambda: device_order(device, 3).endswith(b"o"), timeout=10)
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


def test_a_tty_keeps_a_serial_tty_s_promises_at_its_open_and_its_last_close(served, device):  # noqa: F811
    """The rate set through another path shows on the tty, and a program opening it at its
    own rate sends it; a program's first bytes go at the rate it opened with; what a program
    left unread is not read by the next one."""
    import os
    import select
    import subprocess

    with serial.serial_for_url(served.url(1), baudrate=38400) as port:
        assert wait_until(lambda: device.channel_state(1)["baud"] == 38400, timeout=5)
    speed = subprocess.run(["stty", "-F", served.link(1), "speed"], stdout=subprocess.PIPE, check=True)
    assert speed.stdout.strip() == b"38400"
    with serial.Serial(served.link(1), 9600):
        assert wait_until(lambda: device.channel_state(1)["baud"] == 9600, timeout=5), served.log()

    device.set_loopback(False)
    device.out_packets(clear=True)
    data = os.urandom(64 * 1024).replace(b"|", b"_")
    with serial.Serial(served.link(2), 57600, write_timeout=20) as port:
        port.write(data)
        assert wait_until(lambda: len(device_order(device, 2)) >= len(data) + 7, timeout=20), served.log()
    assert device_order(device, 2) == b"|57600|" + data

    device.set_loopback(True)
    for _ in range(2):
        fd = os.open(served.link(3), os.O_RDWR | os.O_NOCTTY)
        try:
            os.write(fd, b"e" * 6000)  # echoed back, and never read
            assert wait_until(lambda: select.select([fd], [], [], 0)[0], timeout=5)
            time.sleep(0.3)
        finally:
            os.close(fd)
        time.sleep(0.3)  # the service sees the close
        fd = os.open(served.link(3), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            assert not select.select([fd], [], [], 0.3)[0], os.read(fd, 65536)[:40]
        finally:
            os.close(fd)
