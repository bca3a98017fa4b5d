// TEMPORARY: placeholders until the registry binding lands.
#include "module/class_builder.hpp"
#include "module/surface.hpp"
namespace zt {
py::object make_resource_manager_class() { return build_class("_ResourceManager", {}); }
py::object make_list_serial_numbers() {
    return module_function("list_serial_numbers", {}, [](const Args&) -> py::object { return py::list(); });
}
py::object make_get_hid_device() {
    return module_function("get_hid_device", {{"serial_number", "str", Default::text("ANY")}},
                           [](const Args&) -> py::object { return py::none(); }, "_Device");
}
}  // namespace zt
