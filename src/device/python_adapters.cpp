#include "device/python_adapters.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "binding/buffers.hpp"
#include "binding/runtime.hpp"
#include "usb/usb_device.hpp"

namespace zt::device {

using namespace binding;

namespace {

constexpr int kNoDevice = -4;  // LIBUSB_ERROR_NO_DEVICE

// The libusb code a USB error of a Python handle names: its backend_error_code, else what
// its errno means; 0 when it names none. Expects the GIL and the error being handled.
int usb_code_of(py::error_already_set& e) {
    py::object code = py::getattr(e.value(), "backend_error_code", py::none());
    if (PyLong_Check(code.ptr()) && !PyBool_Check(code.ptr())) {
        const long value = PyLong_AsLong(code.ptr());
        if (!PyErr_Occurred() && value < 0 && value > -100) return static_cast<int>(value);
        PyErr_Clear();
    }
    py::object number = py::getattr(e.value(), "errno", py::none());
    if (PyLong_Check(number.ptr()) && PyLong_AsLong(number.ptr()) == ENODEV) return kNoDevice;
    PyErr_Clear();
    return 0;
}

}  // namespace

py::object make_array(std::span<const uint8_t> data) { return unsigned_bytes(data.data(), data.size()); }

size_t PythonLink::read(uint8_t* buffer, size_t capacity, unsigned timeout_ms) {
    GilHeld gil;
    try {
        py::object got = handle_.get().attr("read")(py::arg("endpoint") = ep_in_.get(),
                                                    py::arg("size_or_buffer") = in_size_,
                                                    py::arg("timeout") = timeout_ms);
        std::vector<uint8_t> bytes = bytes_of(got);
        const size_t n = std::min(bytes.size(), capacity);
        if (n) std::memcpy(buffer, bytes.data(), n);
        return n;
    } catch (py::error_already_set& e) {
        if (e.matches(global("_usb_core").attr("USBTimeoutError"))) throw PythonTimeout(e);
        throw PythonError(e);
    }
}

size_t PythonLink::write(std::span<const uint8_t> data, unsigned timeout_ms) {
    GilHeld gil;
    try {
        return write_object(make_array(data), timeout_ms);
    } catch (py::error_already_set& e) {
        py::object core = global("_usb_core");
        if (e.matches(core.attr("USBTimeoutError"))) throw PythonTimeout(e);
        if (e.matches(core.attr("USBError"))) {
            if (const int code = usb_code_of(e)) throw usb::Error(code, to_text(e.value()));
        }
        throw PythonError(e);
    }
}

size_t PythonLink::write_object(py::handle data, unsigned timeout_ms) {
    py::object n = handle_.get().attr("write")(py::arg("endpoint") = ep_out_.get(), py::arg("data") = data,
                                               py::arg("timeout") = timeout_ms);
    return n.cast<size_t>();
}

void PythonSink::input(std::span<const uint8_t> data) {
    with_gil([&] { channel_.get().attr("input_data")(make_array(data)); });
}

void PythonHandler::call(std::span<const uint8_t> payload) {
    with_gil([&] { call_with(make_array(payload)); });
}

void PythonHandler::call_with(py::handle package) {
    try {
        fn_.get()(package);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        report("处理 IOControl 命令时出错：[" + to_text(e.value()) + "]:" + to_text(device_.get().attr("serial_number")));
    }
}

}  // namespace zt::device
