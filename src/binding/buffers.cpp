#include "binding/buffers.hpp"

#include <cstring>
#include <string_view>

namespace zt::binding {

BufferView::BufferView(py::handle obj, int flags) {
    if (PyObject_GetBuffer(obj.ptr(), &view_, flags) != 0) throw py::error_already_set();
}

std::optional<std::span<const uint8_t>> BufferView::unsigned_bytes() const noexcept {
    if (view_.ndim != 1 || !view_.format || std::strcmp(view_.format, "B") != 0) return std::nullopt;
    if (!view_.strides || view_.strides[0] != 1 || view_.suboffsets) return std::nullopt;
    return std::span<const uint8_t>(static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len));
}

std::vector<uint8_t> BufferView::copy() const {
    std::vector<uint8_t> bytes(static_cast<size_t>(view_.len));
    if (bytes.empty()) return bytes;
    // Python 3.8 declares the view parameter non-const; the call only reads it.
    if (PyBuffer_ToContiguous(bytes.data(), const_cast<Py_buffer*>(&view_), view_.len, 'C') != 0)
        throw py::error_already_set();
    return bytes;
}

py::object bytes_object(py::handle obj) {
    py::object bytes = py::reinterpret_steal<py::object>(PyBytes_FromObject(obj.ptr()));
    if (!bytes) throw py::error_already_set();
    return bytes;
}

std::vector<uint8_t> bytes_of(py::handle obj) {
    if (PyObject_CheckBuffer(obj.ptr())) return BufferView(obj, PyBUF_FULL_RO).copy();
    const py::object bytes = bytes_object(obj);
    const std::string_view view = py::reinterpret_borrow<py::bytes>(bytes);
    return std::vector<uint8_t>(view.begin(), view.end());
}

}  // namespace zt::binding
