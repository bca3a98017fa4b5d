// The device registry's Python face: the `_ResourceManager` class and the module
// functions built on it.
#pragma once

#include "binding/python.hpp"

namespace zt::registry {

// Each is called once by the import sequence, with the GIL held.
py::object make_resource_manager_class();
py::object make_list_serial_numbers();
py::object make_get_hid_device();

}  // namespace zt::registry
