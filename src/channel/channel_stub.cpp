// TEMPORARY: empty class until this subsystem's binding lands.
#include "module/class_builder.hpp"
#include "module/surface.hpp"
namespace zt {
py::object make_channel_class() { return build_class("_Channel", {}); }
}  // namespace zt
