// Services every binding file uses: the module namespace (names looked up at call
// time, as a Python module's code does), the standard-error report, and waiting on
// native locks without holding the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <mutex>
#include <string>

namespace zt {

namespace py = pybind11;

inline constexpr const char* kModuleName = "zeq_torvak";

// Records the module's namespace; called once by the module's exec slot.
void set_module_namespace(py::dict ns);

// The object bound to `name` in the module namespace now; NameError if unbound.
// Expects the GIL.
py::object global(const char* name);

// Writes `text` to the module's `sys.stderr` with one write() call and no line end.
// Expects the GIL. A failing stream is ignored: a report must never raise.
void report(const std::string& text);

// Text form of an object as str() gives it. Expects the GIL.
std::string to_text(py::handle o);

// Acquires `m` for the current thread. Expects the GIL on entry and holds it again on
// return; while it has to wait, the GIL is released, so a thread holding `m` can
// take the GIL (the GIL is always the last lock taken).
void lock_releasing_gil(std::mutex& m);

// std::unique_lock-like guard built on lock_releasing_gil.
class GilSafeLock {
public:
    explicit GilSafeLock(std::mutex& m) : m_(m) { lock_releasing_gil(m_); }
    ~GilSafeLock() { m_.unlock(); }
    GilSafeLock(const GilSafeLock&) = delete;
    GilSafeLock& operator=(const GilSafeLock&) = delete;

private:
    std::mutex& m_;
};

// Sleeps for `seconds` with the GIL released. Expects the GIL.
void sleep_releasing_gil(double seconds);

}  // namespace zt
