// The `Serial` port class.
#pragma once

#include "binding/python.hpp"

namespace zt::serial {

// The class object; called once by the import sequence. Expects the GIL.
py::object make_serial_class();

}  // namespace zt::serial
