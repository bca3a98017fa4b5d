// Test-only member table, compiled in only with the CMake option ZEQ_TORVAK_TEST_HOOKS.
//
// It gives the tests of the function type and the class builder one row of every shape
// the real tables use (int/str/float parameters, None and text and bytes defaults,
// checked and unchecked results, private names, properties with setters, static
// methods, documentation text, each error kind) without depending on the behaviour of
// any subsystem. It lives in a second module of the same shared object,
// "_zeq_torvak_test_hooks", so that the module's own namespace stays exactly as bound
// by the import sequence; tests load it with an ExtensionFileLoader on the module's file.
#include "binding/python.hpp"


#include <string>

#include "binding/assertions.hpp"
#include "binding/class_builder.hpp"
#include "binding/error_translation.hpp"
#include "binding/errors.hpp"
#include "binding/native_function.hpp"

namespace zt::testing {

using namespace binding;

namespace {

py::object store_value(const Args& a) {
    py::setattr(a[0], "_value", a[1]);
    return py::none();
}

py::object load_value(const Args& a) { return py::getattr(a[0], "_value", py::none()); }

// The arguments after `first` exactly as the body receives them, after parsing and
// conversion (methods skip self; module functions start at 0).
template <size_t first>
py::object as_received(const Args& a) {
    py::tuple t(a.size() - first);
    for (size_t i = first; i < a.size(); ++i) t[i - first] = a[i];
    return t;
}

py::object through_accessors(const Args& a) {
    return py::make_tuple(py::str(a.text(1)), py::int_(a.integer(2)), py::float_(a.real(3)));
}

py::object hidden(const Args&) { return py::str("hidden"); }

py::object both(const Args& a) { return py::make_tuple(a[0], a[0]); }

py::object give(const Args& a) { return py::reinterpret_borrow<py::object>(a[1]); }

py::object check(const Args& a) {
    if (assertions_enabled() && !py::bool_(py::reinterpret_borrow<py::object>(a[1])))
        throw AssertionFailure("probe check failed: " + py::repr(a[1]).cast<std::string>());
    return py::str("ran");
}

py::object fail(const Args& a) {
    const std::string kind = a.text(1);
    if (kind == "assertion") throw AssertionFailure("assertion text");
    if (kind == "io") throw IoError("io text");
    if (kind == "value") throw ValueError("value text");
    if (kind == "type") throw TypeError("type text");
    if (kind == "overflow") throw OverflowError("overflow text");
    throw std::runtime_error("runtime text");
}

py::object call(const Args& a) { return py::reinterpret_borrow<py::object>(a[1])(); }

py::object nothing(const Args&) { return py::object(); }

py::object make_probe_class() {
    return build_class(
        "_Probe",
        {
            constant("Answer", 42),
            method("__init__", {{"value", "int", Default::integer(0)}}, store_value),
            method("take",
                   {{"text", "str"},
                    {"number", "int"},
                    {"real", "float"},
                    {"anything"},
                    {"maybe", "int", Default::none()},
                    {"label", "str", Default::text("x")}},
                   as_received<1>),
            method("accessors", {{"text", "str"}, {"number", "int"}, {"real", "float"}}, through_accessors),
            method("__hidden", {}, hidden),
            static_method("twice", {{"number", "int"}}, both),
            property("value", load_value, "int"),
            setter("value", {"value", "int"}, store_value),
            method("give_str", {{"result"}}, give, "str"),
            method("give_int", {{"result"}}, give, "int"),
            method("give_float", {{"result"}}, give, "float"),
            method("check", {{"ok"}}, check),
            method("fail", {{"kind", "str"}}, fail),
            method("call", {{"callable", "_Callable"}}, call),
            method("read_until", {{"expected", nullptr, Default::bytes("\n")}, {"size", "int", Default::none()}},
                   as_received<1>, "_array"),
            method("wait", {{"timeout", "float", Default::real(0.5)}}, as_received<1>),
            method("documented", {}, nothing, nullptr, "\n\t\tfirst line\n\t\tsecond line\n\t\t"),
        });
}

int exec_test_hooks(PyObject* module) {
    try {
        // The function type and the assertion switch are set up by the module's own import.
        py::module_::import("zeq_torvak");
        py::module_ m = py::reinterpret_borrow<py::module_>(module);
        m.attr("Probe") = make_probe_class();
        m.attr("probe_function") =
            module_function("probe_function", {{"first"}, {"second", "float", Default::real(1.5)}}, as_received<0>);
        return 0;
    } catch (const std::exception&) {
        translate_current_exception();
        return -1;
    }
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_test_hooks)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "_zeq_torvak_test_hooks", nullptr, 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace zt::testing

extern "C" PYBIND11_EXPORT PyObject* PyInit__zeq_torvak_test_hooks() { return PyModuleDef_Init(&zt::testing::g_module); }
