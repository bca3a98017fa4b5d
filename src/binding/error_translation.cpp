#include "binding/error_translation.hpp"

#include <pybind11/gil_safe_call_once.h>

#include <new>

#include "binding/errors.hpp"

namespace zt::binding {

namespace {

struct UsbErrorTypes {
    py::object error;
    py::object timeout;
};

py::object make_exception(const char* name, const char* doc, py::handle base) {
    PyObject* type = PyErr_NewExceptionWithDoc(name, doc, base.ptr(), nullptr);
    if (!type) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(type);
}

const UsbErrorTypes& usb_error_types() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<UsbErrorTypes> storage;
    return storage
        .call_once_and_store_result([] {
            UsbErrorTypes types;
            types.error = make_exception("zeq_torvak._usb_core.USBError", "A USB operation failed.", PyExc_OSError);
            types.timeout = make_exception("zeq_torvak._usb_core.USBTimeoutError",
                                           "A USB transfer did not complete within its time-out.", types.error);
            return types;
        })
        .get_stored();
}

std::string text_of(py::handle value) {
    try {
        return py::str(value).cast<std::string>();
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("zeq_torvak: str() of an exception");
        return Py_TYPE(value.ptr())->tp_name;
    }
}

// The core namespace's USBTimeoutError for a time-out, NotImplementedError where the
// platform lacks the operation, ValueError for a request the device cannot take, and
// USBError (an OSError with errno and backend_error_code) otherwise.
void set_usb_error(const usb::Error& e) {
    if (dynamic_cast<const usb::NotSupported*>(&e)) {
        PyErr_SetString(PyExc_NotImplementedError, e.what());
        return;
    }
    if (dynamic_cast<const usb::InvalidArgument*>(&e)) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return;
    }
    const bool timeout = dynamic_cast<const usb::Timeout*>(&e) != nullptr;
    py::object type = timeout ? usb_timeout_error_type() : usb_error_type();
    py::object error = type(py::str(e.what()));
    error.attr("backend_error_code") = e.code() != 0 ? py::object(py::int_(e.code())) : py::object(py::none());
    if (const int number = usb::errno_for(e.code())) error.attr("errno") = py::int_(number);
    PyErr_SetObject(type.ptr(), error.ptr());
}

}  // namespace

void raise_with_facts(py::handle type, const py::object& message, const std::vector<Fact>& facts) {
    py::object error = py::reinterpret_borrow<py::object>(type)(message);
    for (const auto& [name, value] : facts) error.attr(name) = value;
    PyErr_SetObject(type.ptr(), error.ptr());
    throw py::error_already_set();
}

py::object usb_error_type() { return usb_error_types().error; }

py::object usb_timeout_error_type() { return usb_error_types().timeout; }

PythonError::PythonError(py::error_already_set& e) {
    auto state = std::make_shared<State>();
    state->type = PyRef(e.type());
    state->value = PyRef(e.value());
    state->trace = PyRef(e.trace());
    state->text = text_of(e.value());
    state_ = std::move(state);
}

const char* PythonError::what() const noexcept { return state_->text.c_str(); }

void PythonError::restore() const noexcept {
    PyErr_Restore(py::reinterpret_borrow<py::object>(state_->type.get()).release().ptr(),
                  py::reinterpret_borrow<py::object>(state_->value.get()).release().ptr(),
                  py::reinterpret_borrow<py::object>(state_->trace.get()).release().ptr());
}

void translate_current_exception() {
    try {
        try {
            throw;
        } catch (py::error_already_set& e) {
            e.restore();
        } catch (const PythonError& e) {
            e.restore();
        } catch (const PythonTimeout& e) {
            e.error().restore();
        } catch (const py::builtin_exception& e) {
            e.set_error();
        } catch (const AssertionFailure& e) {
            PyErr_SetString(PyExc_AssertionError, e.what());
        } catch (const IoError& e) {
            PyErr_SetString(PyExc_OSError, e.what());
        } catch (const ValueError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const TypeError& e) {
            PyErr_SetString(PyExc_TypeError, e.what());
        } catch (const OverflowError& e) {
            PyErr_SetString(PyExc_OverflowError, e.what());
        } catch (const usb::Error& e) {
            set_usb_error(e);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
    } catch (py::error_already_set& failure) {
        // Building the exception failed (e.g. out of memory): raise that instead.
        failure.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

void install_exception_translator() {
    py::register_local_exception_translator([](std::exception_ptr p) {
        if (!p) return;
        try {
            std::rethrow_exception(p);
        } catch (const std::exception&) {
            translate_current_exception();
        }  // anything else is the unwind ending the thread (gil.hpp): it goes on
    });
}

}  // namespace zt::binding
