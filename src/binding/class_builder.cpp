#include "binding/class_builder.hpp"

#include <cstring>

#include "binding/runtime.hpp"

namespace zt::binding {

std::string mangle(const char* class_name, const char* member) {
    const size_t n = std::strlen(member);
    const bool private_name = n > 2 && member[0] == '_' && member[1] == '_' &&
                              !(member[n - 1] == '_' && member[n - 2] == '_');
    if (!private_name) return member;
    const char* stripped = class_name;
    while (*stripped == '_') ++stripped;
    return std::string("_") + stripped + member;
}

py::object build_class(const char* class_name, const std::vector<Member>& members) {
    py::module_ builtins = py::module_::import("builtins");
    py::dict ns;
    ns["__module__"] = py::str(kModuleName);
    ns["__qualname__"] = py::str(class_name);
    for (const Member& m : members) {
        const std::string key = mangle(class_name, m.name);
        if (m.kind == Member::Kind::Constant) {
            ns[key.c_str()] = py::int_(m.value);
            continue;
        }
        FunctionSpec spec;
        spec.name = m.name;
        spec.qualname = std::string(class_name) + "." + m.name;
        if (m.kind != Member::Kind::StaticMethod) spec.params.push_back(Param{"self"});
        spec.params.insert(spec.params.end(), m.params.begin(), m.params.end());
        spec.result = m.result;
        spec.doc = m.doc;
        spec.body = m.body;
        py::object fn = make_function(std::move(spec));
        switch (m.kind) {
            case Member::Kind::Method: ns[key.c_str()] = fn; break;
            case Member::Kind::StaticMethod: ns[key.c_str()] = builtins.attr("staticmethod")(fn); break;
            case Member::Kind::Property: ns[key.c_str()] = builtins.attr("property")(fn); break;
            case Member::Kind::Setter: ns[key.c_str()] = ns[key.c_str()].attr("setter")(fn); break;
            case Member::Kind::Constant: break;
        }
    }
    return builtins.attr("type")(class_name, py::tuple(), ns);
}

py::object module_function(const char* name, std::vector<Param> params, Body body, const char* result) {
    FunctionSpec spec;
    spec.name = name;
    spec.qualname = name;
    spec.params = std::move(params);
    spec.body = body;
    spec.result = result;
    return make_function(std::move(spec));
}

}  // namespace zt::binding
