"""The USB identity of a Torvak device, and the udev rule that lets users open it."""

VENDOR_ID = 0x0483
PRODUCT_ID = 0x5750
USB_ID = "{:04x}:{:04x}".format(VENDOR_ID, PRODUCT_ID)

# The rule shipped as udev/60-torvak.rules in the source tree (a wheel installs a copy in
# PREFIX/share/torvak, which a user running from a checkout does not have), so messages
# spell the rule out.
UDEV_RULE = (
    'SUBSYSTEM=="usb", ATTR{{idVendor}}=="{:04x}", ATTR{{idProduct}}=="{:04x}", '
    'MODE="0660", GROUP="plugdev", TAG+="uaccess"'.format(VENDOR_ID, PRODUCT_ID)
)
UDEV_RULE_PATH = "/etc/udev/rules.d/60-torvak.rules"

# The distribution that installs these packages; its metadata holds the one version.
DISTRIBUTION = "zeq_torvak"


def installed_version() -> str:
    """The version of the installed distribution; "0+unknown" for packages used from a
    source tree that was never installed."""
    from importlib import metadata

    try:
        return metadata.version(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return "0+unknown"
