"""The USB identity of a Torvak device, and the udev rule that lets users open it."""

VENDOR_ID = 0x0483
PRODUCT_ID = 0x5750
USB_ID = "{:04x}:{:04x}".format(VENDOR_ID, PRODUCT_ID)

# The rule shipped as udev/60-torvak.rules in the source tree; a wheel carries no copy of
# that file, so messages spell the rule out.
UDEV_RULE = (
    'SUBSYSTEM=="usb", ATTR{{idVendor}}=="{:04x}", ATTR{{idProduct}}=="{:04x}", '
    'MODE="0660", GROUP="plugdev", TAG+="uaccess"'.format(VENDOR_ID, PRODUCT_ID)
)
UDEV_RULE_PATH = "/etc/udev/rules.d/60-torvak.rules"
