// The one native function type of the module and the declarative member tables that
// every class is built from.
//
// A member is a row (name, kind, parameters with declared types and defaults, declared
// result) plus a C++ body. The function object parses positional and keyword
// arguments, applies the argument rules for the declared types, calls the body, then
// checks the declared result. Bodies therefore never check argument types themselves.
#pragma once

#include "binding/python.hpp"

#include <string>
#include <vector>

namespace zt::binding {

// How a parameter's or result's declared type is enforced.
enum class Check {
    None,   // no declaration, or one that is not checked (_array, _Callable, _Device, ...)
    Str,    // exactly str; None only where the default is None
    Int,    // exactly int (bool refused); None only where the default is None
    Float,  // anything float() of a number accepts; converted on entry; None and text refused
};

// A default value as written in the member table.
struct Default {
    enum class Kind { Required, None, Int, Float, Str, Bytes } kind = Kind::Required;
    long long i = 0;
    double f = 0.0;
    const char* s = nullptr;

    static Default required() { return {}; }
    static Default none() { return {Kind::None}; }
    static Default integer(long long v) { return {Kind::Int, v}; }
    static Default real(double v) { return {Kind::Float, 0, v}; }
    static Default text(const char* v) { return {Kind::Str, 0, 0.0, v}; }
    static Default bytes(const char* v) { return {Kind::Bytes, 0, 0.0, v}; }
};

struct Param {
    const char* name;
    const char* annotation = nullptr;  // declared type as text, or nullptr
    Default def = Default::required();
};

// Arguments after parsing and conversion, in declaration order (self first for
// methods). Float parameters hold float objects.
class Args {
public:
    explicit Args(std::vector<py::object> values) : values_(std::move(values)) {}
    py::handle operator[](size_t i) const { return values_[i]; }
    size_t size() const { return values_.size(); }
    // Accessors for parameters whose declared type has already been enforced.
    long long integer(size_t i) const;
    double real(size_t i) const;
    std::string text(size_t i) const;
    bool is_none(size_t i) const { return values_[i].is_none(); }

private:
    std::vector<py::object> values_;
};

using Body = py::object (*)(const Args&);

// Everything the function object needs; kept alive by the object itself.
struct FunctionSpec {
    std::string name;
    std::string qualname;
    std::vector<Param> params;
    const char* result = nullptr;  // declared result type as text, or nullptr
    const char* doc = nullptr;
    Body body = nullptr;
};

// Makes a native function object. The module name is taken from the module.
py::object make_function(FunctionSpec spec);

// The rule applied for a declared type ("str", "int", "float"; anything else is not checked).
Check check_for_annotation(const char* annotation);

// Registers the type with the interpreter; called once at module execution.
void ready_function_type();

}  // namespace zt::binding
