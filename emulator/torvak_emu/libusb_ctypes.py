"""Plain libusb-1.0 through ctypes: a host that drives emulated devices without the module
(the emulator's own tests, the benchmarks' baseline).

ctypes releases the GIL around every foreign call, so a transfer that blocks here never
stalls another Python thread.
"""

import ctypes
import ctypes.util

SUCCESS = 0
ERROR_IO = -1
ERROR_NO_DEVICE = -4
ERROR_NOT_FOUND = -5
ERROR_BUSY = -6
ERROR_TIMEOUT = -7
ERROR_OVERFLOW = -8
ERROR_PIPE = -9

ENDPOINT_IN = 0x81
ENDPOINT_OUT = 0x01


class DeviceDescriptor(ctypes.Structure):
    _fields_ = [
        ("bLength", ctypes.c_uint8),
        ("bDescriptorType", ctypes.c_uint8),
        ("bcdUSB", ctypes.c_uint16),
        ("bDeviceClass", ctypes.c_uint8),
        ("bDeviceSubClass", ctypes.c_uint8),
        ("bDeviceProtocol", ctypes.c_uint8),
        ("bMaxPacketSize0", ctypes.c_uint8),
        ("idVendor", ctypes.c_uint16),
        ("idProduct", ctypes.c_uint16),
        ("bcdDevice", ctypes.c_uint16),
        ("iManufacturer", ctypes.c_uint8),
        ("iProduct", ctypes.c_uint8),
        ("iSerialNumber", ctypes.c_uint8),
        ("bNumConfigurations", ctypes.c_uint8),
    ]


class UsbError(IOError):
    def __init__(self, code, what):
        name = _lib().libusb_error_name(code).decode()
        super().__init__("{} failed: {} ({})".format(what, name, code))
        self.code = code


_LIB = None


def _lib():
    global _LIB
    if _LIB is None:
        lib = ctypes.CDLL(ctypes.util.find_library("usb-1.0") or "libusb-1.0.so.0")
        p, vp, i, u8, ui = (
            ctypes.c_void_p,
            ctypes.POINTER(ctypes.c_void_p),
            ctypes.c_int,
            ctypes.c_uint8,
            ctypes.c_uint,
        )
        signatures = {
            "libusb_init": (i, [vp]),
            "libusb_exit": (None, [p]),
            "libusb_get_device_list": (ctypes.c_ssize_t, [p, ctypes.POINTER(vp)]),
            "libusb_free_device_list": (None, [vp, i]),
            "libusb_get_device_descriptor": (i, [p, ctypes.POINTER(DeviceDescriptor)]),
            "libusb_get_bus_number": (u8, [p]),
            "libusb_get_device_address": (u8, [p]),
            "libusb_ref_device": (p, [p]),
            "libusb_unref_device": (None, [p]),
            "libusb_open": (i, [p, vp]),
            "libusb_close": (None, [p]),
            "libusb_get_string_descriptor_ascii": (i, [p, u8, ctypes.c_char_p, i]),
            "libusb_claim_interface": (i, [p, i]),
            "libusb_release_interface": (i, [p, i]),
            "libusb_kernel_driver_active": (i, [p, i]),
            "libusb_detach_kernel_driver": (i, [p, i]),
            "libusb_interrupt_transfer": (i, [p, ctypes.c_ubyte, p, i, ctypes.POINTER(i), ui]),
            "libusb_bulk_transfer": (i, [p, ctypes.c_ubyte, p, i, ctypes.POINTER(i), ui]),
            "libusb_get_configuration": (i, [p, ctypes.POINTER(i)]),
            "libusb_error_name": (ctypes.c_char_p, [i]),
        }
        for name, (restype, argtypes) in signatures.items():
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
        _LIB = lib
    return _LIB


def _check(code, what):
    if code < 0:
        raise UsbError(code, what)
    return code


class Context:
    """A libusb context; create it only after the testbed exists."""

    def __init__(self):
        self._ctx = ctypes.c_void_p()
        _check(_lib().libusb_init(ctypes.byref(self._ctx)), "libusb_init")

    def close(self):
        if self._ctx:
            _lib().libusb_exit(self._ctx)
            self._ctx = ctypes.c_void_p()

    def devices(self, vendor=0x0483, product=0x5750):
        """[(bus, address, DeviceRef)] of attached devices with these IDs."""
        lib = _lib()
        listing = ctypes.POINTER(ctypes.c_void_p)()
        count = _check(
            lib.libusb_get_device_list(self._ctx, ctypes.byref(listing)), "libusb_get_device_list"
        )
        found = []
        try:
            for index in range(count):
                dev = listing[index]
                desc = DeviceDescriptor()
                _check(lib.libusb_get_device_descriptor(dev, ctypes.byref(desc)), "descriptor")
                if desc.idVendor == vendor and desc.idProduct == product:
                    found.append(DeviceRef(lib.libusb_ref_device(dev), desc))
        finally:
            lib.libusb_free_device_list(listing, 1)
        return found


class DeviceRef:
    def __init__(self, dev, descriptor):
        self._dev = dev
        self.descriptor = descriptor
        self.bus = _lib().libusb_get_bus_number(dev)
        self.address = _lib().libusb_get_device_address(dev)

    def __del__(self):
        if self._dev and _LIB is not None:
            _LIB.libusb_unref_device(self._dev)
            self._dev = None

    def open(self):
        handle = ctypes.c_void_p()
        _check(_lib().libusb_open(self._dev, ctypes.byref(handle)), "libusb_open")
        return Handle(handle)


class Handle:
    def __init__(self, handle):
        self._handle = handle

    def close(self):
        if self._handle:
            _lib().libusb_close(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def string(self, index):
        buffer = ctypes.create_string_buffer(256)
        length = _check(
            _lib().libusb_get_string_descriptor_ascii(self._handle, index, buffer, len(buffer)),
            "libusb_get_string_descriptor_ascii",
        )
        return buffer.raw[:length].decode("ascii")

    def claim(self, interface=0):
        _check(_lib().libusb_claim_interface(self._handle, interface), "libusb_claim_interface")

    def release(self, interface=0):
        _check(_lib().libusb_release_interface(self._handle, interface), "libusb_release_interface")

    def kernel_driver_active(self, interface=0):
        active = _lib().libusb_kernel_driver_active(self._handle, interface)
        return bool(_check(active, "libusb_kernel_driver_active"))

    def detach_kernel_driver(self, interface=0):
        detached = _lib().libusb_detach_kernel_driver(self._handle, interface)
        _check(detached, "libusb_detach_kernel_driver")

    def configuration(self):
        value = ctypes.c_int()
        status = _lib().libusb_get_configuration(self._handle, ctypes.byref(value))
        _check(status, "libusb_get_configuration")
        return value.value

    def transfer(self, endpoint, data_or_size, timeout_ms, bulk=False):
        """One synchronous transfer. Returns (status, bytes): status is 0 or a libusb error code."""
        if isinstance(data_or_size, int):
            buffer = ctypes.create_string_buffer(data_or_size)
            length = data_or_size
        else:
            buffer = ctypes.create_string_buffer(bytes(data_or_size), len(data_or_size))
            length = len(data_or_size)
        done = ctypes.c_int(0)
        call = _lib().libusb_bulk_transfer if bulk else _lib().libusb_interrupt_transfer
        pointer = ctypes.cast(buffer, ctypes.c_void_p)
        status = call(self._handle, endpoint, pointer, length, ctypes.byref(done), timeout_ms)
        return status, buffer.raw[: done.value]

    def read(self, size=64, timeout_ms=1000, bulk=False):
        return self.transfer(ENDPOINT_IN, size, timeout_ms, bulk)

    def write(self, data, timeout_ms=1000, bulk=False):
        return self.transfer(ENDPOINT_OUT, data, timeout_ms, bulk)
