// Builds a class from its member table, as `type(name, (), namespace)` would from a
// class body: members in table order, private names mangled, properties as
// `property` objects with setters attached, static methods as `staticmethod`.
#pragma once

#include "binding/python.hpp"

#include <vector>

#include "binding/native_function.hpp"

namespace zt::binding {

struct Member {
    enum class Kind { Constant, Method, StaticMethod, Property, Setter };
    Kind kind;
    const char* name;
    std::vector<Param> params;  // without self
    Body body = nullptr;
    const char* result = nullptr;
    long long value = 0;  // constants
    const char* doc = nullptr;
};

inline Member constant(const char* name, long long value) {
    return {Member::Kind::Constant, name, {}, nullptr, nullptr, value};
}
inline Member method(const char* name, std::vector<Param> params, Body body, const char* result = nullptr,
                     const char* doc = nullptr) {
    return {Member::Kind::Method, name, std::move(params), body, result, 0, doc};
}
inline Member static_method(const char* name, std::vector<Param> params, Body body,
                            const char* result = nullptr) {
    return {Member::Kind::StaticMethod, name, std::move(params), body, result};
}
inline Member property(const char* name, Body getter, const char* result = nullptr) {
    return {Member::Kind::Property, name, {}, getter, result};
}
inline Member setter(const char* name, Param value, Body body) {
    return {Member::Kind::Setter, name, {value}, body};
}

// The class object. Expects the GIL.
py::object build_class(const char* class_name, const std::vector<Member>& members);

// A module-level function (qualified name = plain name).
py::object module_function(const char* name, std::vector<Param> params, Body body,
                           const char* result = nullptr);

// The attribute name under which a member is stored: "__read" in "_Device" gives
// "_Device__read"; dunder names and public names are unchanged.
std::string mangle(const char* class_name, const char* member);

}  // namespace zt::binding
