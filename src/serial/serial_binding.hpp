// The `Serial` port class.
#pragma once

#include <pybind11/pybind11.h>

namespace zt {

namespace py = pybind11;

// The class object; called once by the import sequence. Expects the GIL.
py::object make_serial_class();

}  // namespace zt
