"""pyserial support for Torvak devices: torvak:// URLs and a listing of the channels.

Importing this package registers the URL scheme with pyserial::

    import serial
    import torvak_serial

    with serial.serial_for_url("torvak://ANY/1", baudrate=115200, timeout=1) as port:
        port.write(b"AT\\r\\n")
        print(port.readline())

    for info in torvak_serial.comports():
        print(info.device, info.description)
"""
import serial

from torvak_common import __version__

from .failure import DeviceFailure
from .ports import comports
from .protocol_torvak import Serial
from .url import SCHEME, make_url, parse_url

__all__ = ["SCHEME", "DeviceFailure", "Serial", "__version__", "comports", "make_url", "parse_url"]

# serial_for_url() looks for a module protocol_<scheme> in each package this list names.
if __name__ not in serial.protocol_handler_packages:
    serial.protocol_handler_packages.append(__name__)
