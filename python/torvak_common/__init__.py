"""What the Python faces of zeq_torvak share: the device's identity, the packet payload,
port names and torvak:// URLs, borrowing a device for a query, the module's errors read
and explained in English, and finding a device that ``torvak serve`` holds. Needs neither
pyserial nor, until a device is asked for, the zeq_torvak module.
"""
from .devices import borrowed_device, match_serial_number, release_device
from .failures import Failure, Kind, check_baudrate, classify, explain, reader_failure_serial
from .identity import DISTRIBUTION, PRODUCT_ID, UDEV_RULE, UDEV_RULE_PATH, USB_ID, VENDOR_ID, installed_version
from .names import (
    SCHEME,
    PortAddress,
    make_url,
    parse_port,
    parse_port_name,
    parse_url,
    port_name,
)
from .served import (
    ServedDevice,
    StatusError,
    ask_service,
    find_served,
    run_directories,
    running_services,
    served_device,
    awaited_device,
)
from .wire import PACKET_PAYLOAD, PACKET_SIZE, channel_data, data_packet

__version__ = installed_version()

__all__ = [
    "DISTRIBUTION",
    "PACKET_PAYLOAD",
    "PACKET_SIZE",
    "PRODUCT_ID",
    "SCHEME",
    "UDEV_RULE",
    "UDEV_RULE_PATH",
    "USB_ID",
    "VENDOR_ID",
    "Failure",
    "Kind",
    "PortAddress",
    "ServedDevice",
    "StatusError",
    "ask_service",
    "borrowed_device",
    "channel_data",
    "data_packet",
    "check_baudrate",
    "classify",
    "explain",
    "installed_version",
    "find_served",
    "make_url",
    "match_serial_number",
    "parse_port",
    "parse_port_name",
    "parse_url",
    "port_name",
    "reader_failure_serial",
    "release_device",
    "run_directories",
    "running_services",
    "served_device",
    "awaited_device",
]
