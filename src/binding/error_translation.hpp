// The one place where native errors become Python exceptions, and the carrier that takes
// a Python exception through native code running without the GIL.
#pragma once

#include "binding/python.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "binding/gil.hpp"
#include "usb/usb_device.hpp"

namespace zt::binding {

// Sets the interpreter's error for the exception being handled (call only inside a
// catch block): the module's own error kinds, USB errors, carried Python exceptions,
// pybind11 errors and C++ standard exceptions each become the matching Python
// exception. Expects the GIL. Rethrows a forced unwind (the thread is being ended).
void translate_current_exception();

// The USB access layer's exception types, made on first use and kept for the life of
// the process: USBError, an OSError with `errno` and `backend_error_code`, and its
// subclass USBTimeoutError. The layer's core namespace shows them under those names.
// Expect the GIL.
py::object usb_error_type();
py::object usb_timeout_error_type();

// What a failure of the module is about, carried as attributes of its exception beside
// the unchanged text: `kind` (e.g. "channel range") first, then the serial number, the
// channel, the counts, each under its own name. Callers read these, never the text.
using Fact = std::pair<const char*, py::object>;

// Raises `type` (AssertionError or OSError) with `message` as its one argument and
// `facts` set on the instance. Expects the GIL.
[[noreturn]] void raise_with_facts(py::handle type, const py::object& message, const std::vector<Fact>& facts);

// Routes errors escaping the pybind11-defined parts of the module (the USB layer's
// Python face) through translate_current_exception. Called once by the import sequence.
void install_exception_translator();

// A Python exception on its way through native code that runs without the GIL (the
// device core calling a duck-typed handle, a Python channel or a control handler), so
// that the caller receives the very same exception object and the reader can report its
// text. Made with the GIL held; what() and the destructor need no GIL.
class PythonError : public std::exception {
public:
    // Takes the exception being handled in a catch of py::error_already_set. Expects the GIL.
    explicit PythonError(py::error_already_set& e);
    const char* what() const noexcept override;
    // Makes it the interpreter's current exception again. Expects the GIL.
    void restore() const noexcept;

private:
    struct State {
        PyRef type, value, trace;
        std::string text;
    };
    std::shared_ptr<const State> state_;  // shared by the copies a throw may make
};

// A duck-typed handle's USB time-out, carried the same way: the reader counts it as an
// idle poll, a caller receives the handle's own exception.
class PythonTimeout : public usb::Timeout {
public:
    explicit PythonTimeout(py::error_already_set& e) : usb::Timeout(usb::kTimeoutCode, ""), error_(e) {}
    const char* what() const noexcept override { return error_.what(); }
    const PythonError& error() const noexcept { return error_; }

private:
    PythonError error_;
};

}  // namespace zt::binding
