#pragma once

#include <pybind11/pybind11.h>

namespace zt {

// Sets the interpreter's error for the exception being handled (call only inside a
// catch block): the module's own error kinds, USB errors, pybind11 errors and C++
// standard exceptions each become the matching Python exception.
void translate_current_exception() noexcept;

}  // namespace zt
