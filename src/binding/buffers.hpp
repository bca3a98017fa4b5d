// Bytes out of Python objects: the one way the bindings read a buffer (PEP 3118) or
// make bytes of an object.
#pragma once

#include "binding/python.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zt::binding {

// A buffer export of a Python object. While it is held the exporter keeps the memory
// where it is (a bytearray cannot resize), so native code may read or fill it without
// the GIL. Made and destroyed with the GIL held.
class BufferView {
public:
    // Exports `obj`'s buffer with the PyBUF_* `flags`; raises the exporter's error
    // (TypeError for an object without a buffer, BufferError for a refused request).
    BufferView(py::handle obj, int flags);
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    Py_buffer& get() noexcept { return view_; }

    // The memory, when it is one row of unsigned bytes (format "B", one dimension,
    // contiguous); nullopt for any other layout or item type. Needs the format and
    // strides requested (PyBUF_FULL_RO).
    std::optional<std::span<const uint8_t>> unsigned_bytes() const noexcept;

    // The bytes of the memory in C order, whatever its layout and item size.
    std::vector<uint8_t> copy() const;

private:
    Py_buffer view_{};
};

// bytes(obj) as PyBytes_FromObject makes it: the memory of a buffer in C order, or the
// values of an iterable of ints in 0..255; an int, a str and other objects are refused
// with TypeError, an item out of range with ValueError. Expects the GIL.
py::object bytes_object(py::handle obj);

// The same bytes, copied straight out of a buffer without making the bytes object.
std::vector<uint8_t> bytes_of(py::handle obj);

}  // namespace zt::binding
