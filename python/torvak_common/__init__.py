"""What the Python faces of zeq_torvak share: the device's identity, the packet payload,
port names and torvak:// URLs, the module's errors read by what they carry, and what
``torvak serve`` and its clients agree on. Needs neither pyserial nor the zeq_torvak
module: searching the bus and explaining errors with what it finds are torvak_discovery's.
"""
from .failures import Failure, Kind, check_baudrate, classify, reader_failure_serial
from .identity import DISTRIBUTION, PRODUCT_ID, UDEV_RULE, UDEV_RULE_PATH, USB_ID, VENDOR_ID, installed_version
from .names import (
    SCHEME,
    PortAddress,
    make_url,
    match_serial_number,
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
    "channel_data",
    "data_packet",
    "check_baudrate",
    "classify",
    "installed_version",
    "find_served",
    "make_url",
    "match_serial_number",
    "parse_port",
    "parse_port_name",
    "parse_url",
    "port_name",
    "reader_failure_serial",
    "run_directories",
    "running_services",
]
