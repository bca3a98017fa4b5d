// The device registry's Python face: the `_ResourceManager` class and the module
// functions built on it.
#pragma once

#include <pybind11/pybind11.h>

namespace zt {

namespace py = pybind11;

// Each is called once by the import sequence, with the GIL held.
py::object make_resource_manager_class();
py::object make_list_serial_numbers();
py::object make_get_hid_device();

}  // namespace zt
