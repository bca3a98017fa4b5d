// The native function type. This is the one place of the module that handles
// reference counts by hand: the type object's slots receive and return raw
// PyObject pointers. Everything else uses pybind11's owning handles.
#include "binding/native_function.hpp"

#include <structmember.h>

#include <climits>
#include <cstring>
#include <string_view>

#include "binding/error_translation.hpp"
#include "binding/runtime.hpp"

namespace zt::binding {
namespace {

struct NativeFunction {
    PyObject_HEAD
    FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;  // dict, created with the function
    PyObject* defaults;     // tuple, or nullptr for none
    PyObject* signature;    // inspect.Signature, built on first request
};

PyTypeObject* g_function_type = nullptr;  // heap type, made once by ready_function_type()

py::object default_value(const Default& d) {
    switch (d.kind) {
        case Default::Kind::None: return py::none();
        case Default::Kind::Int: return py::int_(d.i);
        case Default::Kind::Float: return py::float_(d.f);
        case Default::Kind::Str: return py::str(d.s);
        case Default::Kind::Bytes: return py::bytes(d.s);
        case Default::Kind::Required: break;
    }
    return py::object();
}

const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

std::string plural(size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// Set from the whole text rather than a C string: a keyword quoted in it may hold a NUL.
[[noreturn]] void raise_type_error(const std::string& message) {
    py::str text(message.data(), message.size());
    PyErr_SetObject(PyExc_TypeError, text.ptr());
    throw py::error_already_set();
}

// Applies the argument rule of one parameter; returns the value the body sees.
py::object enforce(const FunctionSpec& spec, const Param& p, py::object value) {
    const Check check = check_for_annotation(p.annotation);
    if (check == Check::None) return value;
    const bool none_allowed = p.def.kind == Default::Kind::None;
    if (value.is_none() && none_allowed) return value;
    const std::string where = spec.qualname + "() argument '" + p.name + "' must be ";
    switch (check) {
        case Check::Str:
            if (!PyUnicode_CheckExact(value.ptr()))
                raise_type_error(where + "str, not " + type_name(value.ptr()));
            return value;
        case Check::Int:
            if (!PyLong_CheckExact(value.ptr()))
                raise_type_error(where + "int, not " + type_name(value.ptr()));
            return value;
        case Check::Float: {
            if (PyFloat_CheckExact(value.ptr())) return value;
            if (value.is_none() || PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
                PyByteArray_Check(value.ptr()))
                raise_type_error(where + "real number, not " + type_name(value.ptr()));
            const double d = PyFloat_AsDouble(value.ptr());
            if (d == -1.0 && PyErr_Occurred()) {
                if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                    PyErr_Clear();
                    raise_type_error(where + "real number, not " + type_name(value.ptr()));
                }
                throw py::error_already_set();
            }
            return py::float_(d);
        }
        case Check::None: break;
    }
    return value;
}

void enforce_result(const FunctionSpec& spec, const py::object& result) {
    const Check check = check_for_annotation(spec.result);
    if (result.is_none()) return;
    const char* expected = nullptr;
    if (check == Check::Str && !PyUnicode_CheckExact(result.ptr())) expected = "str";
    if (check == Check::Int && !PyLong_CheckExact(result.ptr())) expected = "int";
    if (expected)
        raise_type_error(spec.qualname + "() returned " + type_name(result.ptr()) + ", expected " +
                         expected + " or None");
}

// Binds the call's arguments to the parameters, reporting errors in the order and
// words the interpreter uses for a Python function: keyword errors before a surplus of
// positional arguments, then missing arguments.
std::vector<py::object> parse(const FunctionSpec& spec, PyObject* args, PyObject* kwargs) {
    const size_t n = spec.params.size();
    const size_t nargs = static_cast<size_t>(PyTuple_GET_SIZE(args));
    std::vector<py::object> values(n);
    for (size_t i = 0; i < nargs && i < n; ++i)
        values[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) raise_type_error(spec.qualname + "() keywords must be strings");
            Py_ssize_t length = 0;
            const char* k = PyUnicode_AsUTF8AndSize(key, &length);
            if (!k) throw py::error_already_set();
            // Compared with the length: a name with an embedded NUL must not match its prefix.
            const std::string_view keyword(k, static_cast<size_t>(length));
            size_t i = 0;
            while (i < n && keyword != spec.params[i].name) ++i;
            if (i == n)
                raise_type_error(spec.qualname + "() got an unexpected keyword argument '" +
                                 std::string(keyword) + "'");
            if (values[i])
                raise_type_error(spec.qualname + "() got multiple values for argument '" +
                                 std::string(keyword) + "'");
            values[i] = py::reinterpret_borrow<py::object>(value);
        }
    }
    if (nargs > n) {
        size_t required = 0;
        for (const auto& p : spec.params)
            if (p.def.kind == Default::Kind::Required) ++required;
        const std::string takes = required == n ? plural(n, "positional argument")
                                                : "from " + std::to_string(required) + " to " +
                                                      std::to_string(n) + " positional arguments";
        raise_type_error(spec.qualname + "() takes " + takes + " but " + std::to_string(nargs) +
                         (nargs == 1 ? " was" : " were") + " given");
    }
    std::vector<std::string> missing;
    for (size_t i = 0; i < n; ++i) {
        if (values[i]) continue;
        if (spec.params[i].def.kind == Default::Kind::Required)
            missing.push_back(std::string("'") + spec.params[i].name + "'");
        else
            values[i] = default_value(spec.params[i].def);
    }
    if (!missing.empty()) {
        std::string names;
        for (size_t i = 0; i < missing.size(); ++i) {
            if (i) names += (i + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
            names += missing[i];
        }
        raise_type_error(spec.qualname + "() missing " +
                         plural(missing.size(), "required positional argument") + ": " + names);
    }
    for (size_t i = 0; i < n; ++i) values[i] = enforce(spec, spec.params[i], std::move(values[i]));
    return values;
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    drain_deferred_releases();
    try {
        Args parsed(parse(*f->spec, args, kwargs));
        py::object result = f->spec->body(parsed);
        if (!result) result = py::none();
        enforce_result(*f->spec, result);
        return result.release().ptr();
    } catch (const std::exception&) {
        translate_current_exception();
        return nullptr;
    } catch (...) {
        park_for_exit();  // the interpreter ended this thread inside a Python call of the body
    }
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->annotations);
    Py_XDECREF(f->defaults);
    Py_XDECREF(f->signature);
    delete f->spec;
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    return PyUnicode_FromFormat("<native function %U>", f->qualname);
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = reinterpret_cast<NativeFunction*>(self)->defaults;
    if (!d) Py_RETURN_NONE;
    Py_INCREF(d);
    return d;
}

PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    if (!f->signature) {
        try {
            py::module_ inspect = py::module_::import("inspect");
            py::object parameter = inspect.attr("Parameter");
            py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
            py::object empty = parameter.attr("empty");
            py::list params;
            for (const auto& p : f->spec->params) {
                py::object def = p.def.kind == Default::Kind::Required ? empty : default_value(p.def);
                py::object ann = p.annotation ? py::object(py::str(p.annotation)) : empty;
                params.append(parameter(p.name, kind, py::arg("default") = def,
                                        py::arg("annotation") = ann));
            }
            py::object ret = f->spec->result ? py::object(py::str(f->spec->result)) : empty;
            py::object signature = inspect.attr("Signature")(params, py::arg("return_annotation") = ret);
            // Building runs Python code, which may let another thread build it first.
            if (!f->signature) f->signature = signature.release().ptr();
        } catch (const std::exception&) {
            translate_current_exception();
            return nullptr;
        }  // anything else is the unwind ending the thread (gil.hpp): it goes on
    }
    Py_INCREF(f->signature);
    return f->signature;
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef g_members[] = {
    {"__name__", T_OBJECT, offsetof(NativeFunction, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(NativeFunction, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(NativeFunction, annotations), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

long long Args::integer(size_t i) const {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(values_[i].ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow > 0) return LLONG_MAX;  // saturate: range checks stay correct
    if (overflow < 0) return LLONG_MIN;
    return v;
}

double Args::real(size_t i) const { return PyFloat_AS_DOUBLE(values_[i].ptr()); }

std::string Args::text(size_t i) const { return values_[i].cast<std::string>(); }

Check check_for_annotation(const char* annotation) {
    if (!annotation) return Check::None;
    if (std::strcmp(annotation, "str") == 0) return Check::Str;
    if (std::strcmp(annotation, "int") == 0) return Check::Int;
    if (std::strcmp(annotation, "float") == 0) return Check::Float;
    return Check::None;
}

void ready_function_type() {
    if (g_function_type) return;
    static PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void*>(function_call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_members, g_members},
        {Py_tp_getset, g_getset},
        {0, nullptr},
    };
    // Instances are made only by make_function(): one created from Python would have no
    // FunctionSpec, and calling or printing it would dereference null.
#if PY_VERSION_HEX >= 0x030A0000
    constexpr unsigned int kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;
#else
    constexpr unsigned int kFlags = Py_TPFLAGS_DEFAULT;
#endif
    static PyType_Spec spec = {"zeq_torvak.native_function", sizeof(NativeFunction), 0, kFlags, slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (!type) throw py::error_already_set();
    g_function_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
#if PY_VERSION_HEX < 0x030A0000
    // Before 3.10 a heap type inherits object.__new__; without it `type(f)()` is refused.
    g_function_type->tp_new = nullptr;
    PyType_Modified(g_function_type);
#endif
}

py::object make_function(FunctionSpec spec) {
    auto* f = PyObject_New(NativeFunction, g_function_type);
    if (!f) throw py::error_already_set();
    f->spec = nullptr;
    f->name = f->qualname = f->module = f->doc = f->annotations = f->defaults = f->signature = nullptr;
    py::object owner = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));

    py::dict annotations;
    py::list defaults;
    for (const auto& p : spec.params) {
        if (p.annotation) annotations[p.name] = py::str(p.annotation);
        if (p.def.kind != Default::Kind::Required) defaults.append(default_value(p.def));
    }
    if (spec.result) annotations["return"] = py::str(spec.result);
    f->name = py::str(spec.name).release().ptr();
    f->qualname = py::str(spec.qualname).release().ptr();
    f->module = py::str(kModuleName).release().ptr();
    f->doc = spec.doc ? py::str(spec.doc).release().ptr() : py::none().release().ptr();
    f->annotations = annotations.release().ptr();
    f->defaults = defaults.empty() ? nullptr : py::tuple(defaults).release().ptr();
    f->spec = new FunctionSpec(std::move(spec));
    return owner;
}

}  // namespace zt::binding
