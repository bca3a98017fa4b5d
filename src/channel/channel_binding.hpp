#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "channel/input_buffer.hpp"

namespace zt {

// The native receive buffer of a channel object of this module whose input_data is
// the module's own, so the reader can append to it without the GIL; nullptr for any
// other object (which then receives its data through input_data). Expects the GIL.
std::shared_ptr<channel::InputBuffer> native_input_buffer(pybind11::handle channel_obj);

}  // namespace zt
