// TEMPORARY stub so the module links until the libusb implementation lands.
#include "usb/usb_binding.hpp"
#include "usb/usb_device.hpp"

namespace usb {
std::shared_ptr<Context> default_context() { return nullptr; }
std::vector<std::shared_ptr<Device>> find_all(const std::shared_ptr<Context>&, uint16_t, uint16_t) { return {}; }
std::shared_ptr<Device> find_by_serial(const std::shared_ptr<Context>&, uint16_t, uint16_t, const std::string&) {
    return nullptr;
}
}  // namespace usb

namespace zt::usb_binding {
UsbLayer create() {
    static UsbLayer layer = [] {
        py::module_ types = py::module_::import("types");
        UsbLayer l;
        l.libusb = types.attr("SimpleNamespace")(py::arg("find_library") = py::cpp_function([](py::args) { return py::none(); }));
        py::object err = py::module_::import("builtins").attr("type")("USBError", py::make_tuple(py::handle(PyExc_OSError)), py::dict());
        py::object terr = py::module_::import("builtins").attr("type")("USBTimeoutError", py::make_tuple(err), py::dict());
        l.core = types.attr("SimpleNamespace")(py::arg("find") = py::cpp_function([](py::kwargs k) -> py::object {
                                                   if (k.contains("find_all")) return py::list();
                                                   return py::none();
                                               }),
                                               py::arg("USBError") = err, py::arg("USBTimeoutError") = terr,
                                               py::arg("Device") = py::none());
        l.back = types.attr("SimpleNamespace")(py::arg("get_backend") = py::cpp_function([](py::kwargs) { return py::str("backend"); }));
        l.close_usb_device = py::cpp_function([](py::handle) {});
        return l;
    }();
    return layer;
}
std::shared_ptr<usb::Device> native_handle(py::handle) { return nullptr; }
void set_python_error(const usb::Error& e) noexcept { PyErr_SetString(PyExc_OSError, e.what()); }
py::object timeout_error_type() { return create().core.attr("USBTimeoutError"); }
}  // namespace zt::usb_binding
