// pybind11, under the short name `py` that the whole binding floor uses.
#pragma once

#include <pybind11/pybind11.h>

namespace zt {
namespace py = pybind11;
}  // namespace zt
