// The device core's link, data sink and control handler over Python objects: a
// pyusb-style handle, a channel object without a native buffer, a registered callable.
// Each takes the GIL for its calls into Python, so the core may call them without it.
#pragma once

#include "binding/python.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "binding/error_translation.hpp"
#include "binding/gil.hpp"
#include "device/device_core.hpp"

namespace zt::device {

// The bytes as the module's packets are given to Python: array('B'). Expects the GIL.
py::object make_array(std::span<const uint8_t> data);

// Calls into Python from native code running without the GIL (the reader, the writer, or
// a caller inside without_gil): takes the GIL for the call and turns a Python exception
// into a PythonError, which may travel back through GIL-free frames.
template <typename F>
auto with_gil(F&& f) -> std::invoke_result_t<F&> {
    binding::GilHeld gil;
    try {
        return f();
    } catch (py::error_already_set& e) {
        throw binding::PythonError(e);
    }
}

// Any object with the pyusb-style handle interface, called through Python. It writes
// only synchronously: the core gives its output queues a writer thread over it.
class PythonLink final : public Link {
public:
    PythonLink(py::object handle, py::object ep_in_address, py::object ep_out_address, size_t in_size)
        : handle_(std::move(handle)), ep_in_(std::move(ep_in_address)), ep_out_(std::move(ep_out_address)),
          in_size_(in_size) {}
    // The handle's time-out becomes a usb::Timeout (PythonTimeout), any other error a PythonError.
    size_t read(uint8_t* buffer, size_t capacity, unsigned timeout_ms) override;
    // As read(); a USB error of the handle that names its libusb code becomes a usb::Error
    // with that code, so that the writer thread can tell what ended a transfer.
    size_t write(std::span<const uint8_t> data, unsigned timeout_ms) override;
    // Writes a Python object as it is (output_data hands on what it was given). Expects the GIL.
    size_t write_object(py::handle data, unsigned timeout_ms);
    size_t in_packet_size() const override { return in_size_; }

private:
    binding::PyRef handle_, ep_in_, ep_out_;
    size_t in_size_;
};

// A channel object without a native buffer: its input_data is called with the GIL.
class PythonSink final : public DataSink {
public:
    explicit PythonSink(py::object channel) : channel_(std::move(channel)) {}
    void input(std::span<const uint8_t> data) override;

private:
    binding::PyRef channel_;
};

// A Python callable registered as a channel's control handler. Ordinary errors are
// reported and swallowed; anything else (KeyboardInterrupt, SystemExit) passes on
// unchanged: to the caller of handle_io_control_package, or to the reader, which
// reports it and ends.
class PythonHandler final : public ControlHandler {
public:
    PythonHandler(py::object fn, py::object device) : fn_(std::move(fn)), device_(std::move(device)) {}
    void call(std::span<const uint8_t> payload) override;
    // Calls with the payload object as given. Expects the GIL.
    void call_with(py::handle package);

private:
    binding::PyRef fn_;
    binding::PyRef device_;  // for the serial number in the report
};

}  // namespace zt::device
