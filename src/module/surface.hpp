// The classes and functions each subsystem contributes to the module namespace.
// Each is defined in its subsystem's binding file and called once by the import
// sequence, with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

namespace zt {

namespace py = pybind11;

py::object make_device_class();            // src/device/device_binding.cpp
py::object make_channel_class();           // src/channel/channel_binding.cpp
py::object make_resource_manager_class();  // src/registry/registry_binding.cpp
py::object make_list_serial_numbers();     // src/registry/registry_binding.cpp
py::object make_get_hid_device();          // src/registry/registry_binding.cpp
py::object make_serial_class();            // src/serial/serial_binding.cpp

// Closes a device of this module that has no open channel and tells its registry,
// as closing its last channel would; false (nothing done) for any other device.
// Expects the GIL. Defined in src/device/device_binding.cpp.
bool close_device_if_unused(py::handle device);

// Installs the GIL-releasing waiter for native locks taken in core code.
void install_lock_waiter();

// Reads the interpreter's assertion switch; called once before any body runs.
void init_assertion_switch();

}  // namespace zt
