"""pyserial support for Torvak devices: torvak:// URLs and a listing of the channels.

Importing this package registers the URL scheme with pyserial:

    import serial
    import torvak_serial

    with serial.serial_for_url("torvak://ANY/1", baudrate=115200, timeout=1) as port:
        port.write(b"AT\\r\\n")
        print(port.readline())

    for info in torvak_serial.comports():
        print(info.device, info.description)
"""
try:
    import serial
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError(
        "torvak_serial needs pyserial 3.5 or newer: pip install 'zeq_torvak[serial]'"
    ) from error

from .ports import comports
from .protocol_torvak import Serial
from .url import SCHEME, make_url, parse_url

__all__ = ["SCHEME", "Serial", "comports", "make_url", "parse_url"]

# serial_for_url() looks for a module protocol_<scheme> in each package this list names.
if __name__ not in serial.protocol_handler_packages:
    serial.protocol_handler_packages.append(__name__)
