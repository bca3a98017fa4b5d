// Services every binding file uses: the module namespace (names looked up at call
// time, as a Python module's code does) and the standard-error report. Native locks
// are taken with sync::BlockingLock (sync/blocking_lock.hpp), which waits without the GIL.
#pragma once

#include "binding/python.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace zt::binding {

inline constexpr const char* kModuleName = "zeq_torvak";

// Records the module's namespace; called once by the module's exec slot.
void set_module_namespace(py::dict ns);

// The object bound to `name` in the module namespace now; NameError if unbound.
// Expects the GIL.
py::object global(const char* name);

// Calls that may block with the GIL released (time.sleep, Thread.join) and so, on a
// thread other than the main one, may end the thread while the interpreter finalizes
// (see binding/gil.hpp); such a thread is parked inside them. Expect the GIL.
// Calls the module global `name` with the argument `arg` (borrowed, kept alive by the caller).
void call_global_blocking(const char* name, py::handle arg);
// Calls the module global `name` with the argument obj.<attribute>.
void call_global_blocking(const char* name, py::handle obj, const char* attribute);
// Calls obj.<attribute>.<method>().
void call_method_blocking(py::handle obj, const char* attribute, const char* method);

// The float 0.01, alive for the life of the process (the polling step of reads and
// the baud-rate wait). Expects the GIL.
py::handle ten_milliseconds();

// Writes `text` to the module's `sys.stderr` with one write() call and no line end.
// Expects the GIL. A failing stream is ignored: a report must never raise.
void report(const std::string& text);

// The same for a report that says what it is about: the text written is a str that also
// carries `kind` and `serial_number` (None when unknown) as attributes, so that a stream
// standing in for stderr can tell the report by those instead of by its words.
void report(const std::string& text, const char* kind, const py::object& serial_number);

// A new unsigned-byte array (the module's `_array` with type code "B") holding the
// bytes. Expects the GIL.
py::object unsigned_bytes(const uint8_t* data, size_t size);

// The OverflowError an unsigned-byte array gives for a value outside 0..255.
[[noreturn]] void byte_overflow(long long value);

// Text form of an object as str() gives it. Expects the GIL.
std::string to_text(py::handle o);

}  // namespace zt::binding
