"""Finding the device that ``torvak serve`` holds for a port: for ANY, which device that
is can only be told by searching the bus."""
from typing import Optional

from torvak_common.served import ServedDevice, find_served, running_services, serial_names_path


def served_device(serial_number: str) -> Optional[ServedDevice]:
    """find_served for a port's serial number or ANY; for ANY the bus is searched (through
    the zeq_torvak module) only while some service runs."""
    if serial_number.upper() != "ANY":
        return find_served(serial_number)
    if not running_services():
        return None
    import zeq_torvak

    try:
        attached = zeq_torvak.list_serial_numbers()
    except (AssertionError, OSError):
        return None
    return find_served(serial_number, attached)


def awaited_device(serial_number: str) -> Optional[ServedDevice]:
    """served_device, and for a device no service has seen yet but one serves every device
    plugged in, an entry with `present` False: that service will take the device when it
    comes, so a client waits for it rather than open the device itself."""
    served = served_device(serial_number)
    if served is not None or serial_number.upper() == "ANY" or not serial_names_path(serial_number.upper()):
        return served
    for state in running_services():
        if state.get("every_device") is True:
            return ServedDevice(state["directory"], state["pid"], serial_number.upper(), -1, 0, {}, {}, {},
                                state.get("bind"), present=False)
    return None
