// The Python face of the USB access layer: namespaces shaped like the host's USB
// packages (a core namespace with find/Device/USBError/USBTimeoutError, a libusb-1.0
// back-end namespace with get_backend, a library locator with find_library) and the
// release operation.
#pragma once

#include "binding/python.hpp"

#include <memory>

#include "usb/usb_device.hpp"

namespace zt::usb_binding {

struct UsbLayer {
    py::object libusb;            // bound as _libusb: has find_library
    py::object core;              // bound as _usb_core: find, Device, USBError, USBTimeoutError
    py::object back;              // bound as _usb_back: get_backend(find_library=...)
    py::object close_usb_device;  // bound as _close_usb_device
};

// Creates the layer's Python objects. Expects the GIL. Idempotent: a second call
// returns the same objects.
UsbLayer make_usb_layer();

// The native device behind `obj`, or nullptr when `obj` is not a handle of this layer.
// Expects the GIL.
std::shared_ptr<usb::Device> native_handle(py::handle obj);

}  // namespace zt::usb_binding
