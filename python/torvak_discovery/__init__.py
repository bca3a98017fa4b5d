"""What the Python faces of zeq_torvak find out about the machine beyond what they share
(torvak_common): borrowing a device for a query, finding the device that ``torvak serve``
holds for a port, the module's errors explained in English with what the bus and /proc
show, and the module's background reports as log lines. The zeq_torvak module is loaded
only when a device is asked for, so a client of the service alone never needs it.
"""
from .devices import borrowed_device, release_device
from .failures import describe, explain
from .served import awaited_device, served_device

__all__ = [
    "awaited_device",
    "borrowed_device",
    "describe",
    "explain",
    "release_device",
    "served_device",
]
