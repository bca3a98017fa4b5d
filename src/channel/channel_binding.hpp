// The `_Channel` class, and what the device binding needs of a channel of this module.
#pragma once

#include "binding/python.hpp"

#include <memory>
#include <span>

#include "channel/input_buffer.hpp"
#include "wire/wire_format.hpp"

namespace zt::channel {

// The class object; called once by the import sequence. Expects the GIL.
py::object make_channel_class();

// The native receive buffer of a channel object of this module whose input_data is
// the module's own, so the reader can append to it without the GIL; nullptr for any
// other object (which then receives its data through input_data). Expects the GIL.
std::shared_ptr<InputBuffer> native_input_buffer(py::handle channel_obj);

// How a write hands its packets to the device natively when the output_data it looked
// up is the module's own, on a device whose link needs no Python: `accepts` tells, and
// `write` then writes the packets one after the other as output_data would, without
// taking the GIL between them. Errors pass as output_data's do, with the packets before
// the failing one written. Both expect the GIL.
struct NativeOutput {
    bool (*accepts)(py::handle output_data);
    void (*write)(py::handle output_data, std::span<const wire::Packet> packets);
};

// Installed by the device binding when it builds its class.
void set_native_output(NativeOutput output) noexcept;

}  // namespace zt::channel
