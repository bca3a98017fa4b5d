#include "binding/runtime.hpp"

#include <pybind11/gil_safe_call_once.h>

#include "binding/errors.hpp"
#include "binding/gil.hpp"

namespace zt::binding {
namespace {

// Set once by the exec slot and never released: the module lives until the
// interpreter ends, and bodies may run on threads during finalisation.
PyObject* g_namespace = nullptr;

}  // namespace

void set_module_namespace(py::dict ns) {
    Py_XDECREF(g_namespace);
    g_namespace = ns.release().ptr();
}

py::object global(const char* name) {
    if (g_namespace) {
        PyObject* v = PyDict_GetItemString(g_namespace, name);  // borrowed
        if (v) return py::reinterpret_borrow<py::object>(v);
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
}

// A forced unwind out of the call (the interpreter ending this thread) parks the thread here.
void call_global_blocking(const char* name, py::handle arg) {
    PyObject* callable = global(name).release().ptr();
    PyObject* result = nullptr;
    try {
        result = PyObject_CallFunctionObjArgs(callable, arg.ptr(), nullptr);
    } catch (...) {  // only the unwind ending the thread comes out of the C API
        park_for_exit();
    }
    Py_DECREF(callable);
    if (!result) throw py::error_already_set();
    Py_DECREF(result);
}

void call_global_blocking(const char* name, py::handle obj, const char* attribute) {
    PyObject* arg = PyObject_GetAttrString(obj.ptr(), attribute);
    if (!arg) throw py::error_already_set();
    try {
        call_global_blocking(name, arg);
    } catch (py::error_already_set&) {
        Py_DECREF(arg);
        throw;
    }
    Py_DECREF(arg);
}

void call_method_blocking(py::handle obj, const char* attribute, const char* method) {
    PyObject* owner = PyObject_GetAttrString(obj.ptr(), attribute);
    if (!owner) throw py::error_already_set();
    PyObject* result = nullptr;
    try {
        result = PyObject_CallMethod(owner, method, nullptr);
    } catch (...) {  // only the unwind ending the thread comes out of the C API
        park_for_exit();
    }
    Py_DECREF(owner);
    if (!result) throw py::error_already_set();
    Py_DECREF(result);
}

py::handle ten_milliseconds() {
    static PyObject* const value = PyFloat_FromDouble(0.01);  // never released
    return value;
}

void report(const std::string& text) {
    try {
        global("sys").attr("stderr").attr("write")(py::str(text));
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("zeq_torvak report");
    }
}

namespace {

// The text of a report that carries its facts: a str whose instances take attributes.
// Made on first use, kept for the life of the process; not one of the module's names.
py::object report_type() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage
        .call_once_and_store_result([] {
            py::dict namespace_;
            namespace_["__module__"] = py::str("zeq_torvak");
            namespace_["__doc__"] = py::str("A report's text, with what it is about as attributes.");
            return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
                "_Report", py::make_tuple(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type))),
                namespace_);
        })
        .get_stored();
}

}  // namespace

void report(const std::string& text, const char* kind, const py::object& serial_number) {
    try {
        py::object line = report_type()(py::str(text));
        line.attr("kind") = py::str(kind);
        line.attr("serial_number") = serial_number;
        global("sys").attr("stderr").attr("write")(line);
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("zeq_torvak report");
    }
}

py::object unsigned_bytes(const uint8_t* data, size_t size) {
    return global("_array")("B", py::bytes(reinterpret_cast<const char*>(data), size));
}

void byte_overflow(long long value) {
    throw OverflowError(value < 0 ? "unsigned byte integer is less than minimum"
                                  : "unsigned byte integer is greater than maximum");
}

std::string to_text(py::handle o) { return py::str(o).cast<std::string>(); }

}  // namespace zt::binding
