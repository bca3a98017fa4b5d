// The `_Device` class, and what other bindings need of a device of this module.
#pragma once

#include "binding/python.hpp"

namespace zt::device {

// The class object; called once by the import sequence. Expects the GIL.
py::object make_device_class();

// Closes a device of this module that has no open channel and tells its registry,
// as closing its last channel would; false (nothing done) for any other device.
// Expects the GIL.
bool close_device_if_unused(py::handle device);

}  // namespace zt::device
