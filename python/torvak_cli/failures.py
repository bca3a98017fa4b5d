"""Turning what goes wrong into the one line the user reads."""
import errno

# The rule shipped as udev/60-torvak.rules in the source tree; a wheel carries no copy of
# that file, so the message spells the rule out.
UDEV_RULE = (
    'SUBSYSTEM=="usb", ATTR{idVendor}=="0483", ATTR{idProduct}=="5750", '
    'MODE="0660", GROUP="plugdev", TAG+="uaccess"'
)
UDEV_RULE_PATH = "/etc/udev/rules.d/60-torvak.rules"

# Texts of the module's own errors that the command words differently.
_NOT_FOUND_ANY = "Torvak Device (VID=0x483, PID=0x5750) not found."
_NOT_FOUND_PREFIX = "Torvak Device (VID=0x483, PID=0x5750) with Serial Number "
_NO_CHANNEL_COUNT_PREFIX = "查询设备通道数量超时:"


class CliError(Exception):
    """A failure that the user is told about in one line; the command exits with status 1."""


def permission_denied():
    return (
        "permission denied on the Torvak device node; install the udev rule, then re-plug "
        "the device: echo '{}' | sudo tee {} && sudo udevadm control --reload-rules".format(
            UDEV_RULE, UDEV_RULE_PATH
        )
    )


def _device_name(device):
    return "device " + device if device else "the device"


def is_usb_error(error):
    """The module's USB errors carry the libusb code (as pyusb's do); its other IOErrors,
    and the host's file errors, do not."""
    return isinstance(error, OSError) and hasattr(error, "backend_error_code")


def explain(error, device=None):
    """The line for an exception raised by zeq_torvak; `device` is the serial number when known."""
    text = str(error)
    if is_usb_error(error):
        if error.errno in (errno.EACCES, errno.EPERM):
            return permission_denied()
        if error.errno == errno.ENODEV:
            return _device_name(device) + " was unplugged"
        if error.errno == errno.EBUSY:
            return _device_name(device) + " is in use by another program"
        if error.errno == errno.ETIMEDOUT:
            return _device_name(device) + " did not take or give data in time (" + text + ")"
        return "USB error on " + _device_name(device) + ": " + text
    if isinstance(error, AssertionError):
        if text == _NOT_FOUND_ANY:
            return "no Torvak device attached (USB 0483:5750)"
        if text.startswith(_NOT_FOUND_PREFIX):
            return "no Torvak device with serial number " + text[len(_NOT_FOUND_PREFIX):-len(" not found.")]
        if text.startswith(_NO_CHANNEL_COUNT_PREFIX):
            return "device " + text[len(_NO_CHANNEL_COUNT_PREFIX):] + " did not report its channel count"
    if text:
        return "{}: {}".format(type(error).__name__, text)
    return type(error).__name__
