"""Imports for the tests of the pyserial face: pyserial itself and torvak_serial, which is
taken from the installation when it is installed and from the source tree otherwise."""
import sys

import pytest

serial = pytest.importorskip("serial", minversion="3.5", reason="pyserial 3.5 or newer is not installed")

from package_source import INSTALLED_ONLY, PYTHON_DIR

try:
    import torvak_serial
except ImportError:
    if INSTALLED_ONLY:
        raise
    sys.path.insert(0, PYTHON_DIR)
    import torvak_serial


def looped_device_and_port(serial_number, timeout):
    """The fixtures `device` (a 4-channel emulated device echoing every channel) and `port`
    (its channel 1 as a torvak:// port with this read time-out), for a test module to bind."""

    @pytest.fixture
    def device(testbed):
        dev = testbed.plug(serial=serial_number, channels=4)
        dev.set_loopback(True)
        return dev

    @pytest.fixture
    def port(device):
        p = serial.serial_for_url("torvak://{}/1".format(serial_number), baudrate=115200, timeout=timeout)
        yield p
        p.close()

    return device, port


__all__ = ["serial", "torvak_serial", "looped_device_and_port"]
