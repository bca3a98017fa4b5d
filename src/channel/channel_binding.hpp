// The `_Channel` class, and what the device binding needs of a channel of this module.
#pragma once

#include "binding/python.hpp"

#include <memory>

#include "channel/input_buffer.hpp"

namespace zt::channel {

// The class object; called once by the import sequence. Expects the GIL.
py::object make_channel_class();

// The native receive buffer of a channel object of this module whose input_data is
// the module's own, so the reader can append to it without the GIL; nullptr for any
// other object (which then receives its data through input_data). Expects the GIL.
std::shared_ptr<InputBuffer> native_input_buffer(py::handle channel_obj);

}  // namespace zt::channel
