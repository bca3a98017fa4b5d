"""Terminal programs that people point at a served tty, unchanged: socat and picocom each
carry a channel's bytes both ways, byte-exact, and set its rate the way they set any serial port's."""
import os
import pty
import select
import shutil
import subprocess
import time

import pytest

from test_serve import device, served  # noqa: F401  (fixtures)
from torvak_emu import wait_until

SOCAT = shutil.which("socat")
PICOCOM = shutil.which("picocom")


def written_to(device, channel):  # noqa: F811
    return b"".join(bytes(p[2:2 + p[1]]) for p in device.out_packets() if p[0] == channel)


def read_until(fd, wanted, timeout=10):
    got = b""
    deadline = time.monotonic() + timeout
    while wanted not in got and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.2)[0]:
            try:
                got += os.read(fd, 4096)
            except OSError:  # the program ended and its pty with it
                break
    return got


@pytest.mark.skipif(SOCAT is None, reason="socat is not installed")
def test_socat_carries_every_byte_and_sets_the_rate(served, device):  # noqa: F811
    data = os.urandom(4096)
    done = subprocess.run([SOCAT, "-t", "3", "STDIO", "FILE:{},rawer,b57600".format(served.link(1))],
                          input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
    assert done.returncode == 0, done.stderr.decode()
    assert done.stdout == data, "{} of {} bytes back".format(len(done.stdout), len(data))
    assert wait_until(lambda: device.channel_state(1)["baud"] == 57600, timeout=3), served.log()


@pytest.mark.skipif(PICOCOM is None, reason="picocom is not installed")
def test_picocom_carries_typed_bytes_and_sets_the_rate(served, device):  # noqa: F811
    # picocom wants a terminal: it gets one of its own, as when a person runs it.
    master, slave = pty.openpty()
    program = subprocess.Popen([PICOCOM, "-q", "-b", "38400", "--exit-after", "2000", served.link(2)],
                               stdin=slave, stdout=slave, stderr=slave, close_fds=True)
    os.close(slave)
    try:
        assert wait_until(lambda: device.channel_state(2)["baud"] == 38400, timeout=5), served.log()
        os.write(master, b"typed into picocom\r")
        assert wait_until(lambda: written_to(device, 2) == b"typed into picocom\r"), served.log()
        from_device = b"from the device"
        device.queue_in(bytes([2, len(from_device)]) + from_device + bytes(62 - len(from_device)))
        assert from_device in read_until(master, from_device)
        assert program.wait(timeout=10) == 0
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
        os.close(master)
