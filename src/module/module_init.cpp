// The module's entry point and import sequence. Multi-phase initialisation: the
// loader creates the module object, then the exec slot below fills its namespace.
// Loading the extension under the name "__main__" therefore runs the demonstration.
#include "binding/python.hpp"


#include "binding/assertions.hpp"
#include "binding/error_translation.hpp"
#include "binding/lock_waiter.hpp"
#include "binding/native_function.hpp"
#include "binding/runtime.hpp"
#include "channel/channel_binding.hpp"
#include "device/device_binding.hpp"
#include "registry/registry_binding.hpp"
#include "serial/serial_binding.hpp"
#include "usb_binding/usb_binding.hpp"

namespace zt::module {
namespace {

void run_demonstration(py::dict ns) {
    py::object serials = ns["list_serial_numbers"]();
    ns["serials"] = serials;
    ns["output"] = py::str(", ").attr("join")(serials);
    py::print(ns["output"]);
    if (py::len(serials) == 0) return;
    for (int i = 0; i < 4; ++i) {
        ns["i"] = py::int_(i);
        ns["_port"] = py::str("Torvak:ANY:S" + std::to_string(i + 1));
        py::object port = ns["Serial"](ns["_port"], py::arg("timeout") = 1);
        py::object com = port.attr("__enter__")();
        ns["com"] = com;
        try {
            com.attr("write")(py::str("Hello, World!\n"));
        } catch (const std::exception&) {
            try {
                port.attr("__exit__")(py::none(), py::none(), py::none());
            } catch (py::error_already_set&) {
            }
            throw;
        }
        port.attr("__exit__")(py::none(), py::none(), py::none());
    }
}

void import_sequence(py::module_ m) {
    py::dict ns = m.attr("__dict__");
    binding::set_module_namespace(ns);
    binding::init_assertion_switch();
    binding::install_lock_waiter();
    binding::install_exception_translator();
    binding::ready_function_type();

    py::module_ threading = py::module_::import("threading");
    py::module_ time = py::module_::import("time");
    py::module_ typing = py::module_::import("typing");
    const usb_binding::UsbLayer usb = usb_binding::make_usb_layer();

    ns["__builtins__"] = py::module_::import("builtins");
    ns["_array"] = py::module_::import("array").attr("array");
    ns["_deque"] = py::module_::import("collections").attr("deque");
    ns["_libusb"] = usb.libusb;
    ns["sys"] = py::module_::import("sys");
    ns["_Event"] = threading.attr("Event");
    ns["_Lock"] = threading.attr("Lock");
    ns["_Thread"] = threading.attr("Thread");
    ns["_sleep"] = time.attr("sleep");
    ns["_now"] = time.attr("time");
    ns["_Dict"] = typing.attr("Dict");
    ns["_Callable"] = typing.attr("Callable");
    ns["_Optional"] = typing.attr("Optional");
    ns["_Iterable"] = typing.attr("Iterable");
    ns["_usb_core"] = usb.core;
    ns["_usb_back"] = usb.back;
    ns["_close_usb_device"] = usb.close_usb_device;
    ns["_backend"] = usb.back.attr("get_backend")(py::arg("find_library") = usb.libusb.attr("find_library"));
    ns["_USBDevice"] = usb.core.attr("Device");
    ns["_vid"] = py::int_(0x483);
    ns["_pid"] = py::int_(0x5750);

    ns["_Device"] = device::make_device_class();
    ns["_Channel"] = channel::make_channel_class();
    ns["_ResourceManager"] = registry::make_resource_manager_class();
    ns["_resource_manager"] = ns["_ResourceManager"]();
    ns["list_serial_numbers"] = registry::make_list_serial_numbers();
    ns["Serial"] = serial::make_serial_class();
    ns["get_hid_device"] = registry::make_get_hid_device();

    if (py::str(ns["__name__"]).cast<std::string>() == "__main__") run_demonstration(ns);
}

int exec_module(PyObject* module) {
    try {
        import_sequence(py::reinterpret_borrow<py::module_>(module));
        return 0;
    } catch (const std::exception&) {
        binding::translate_current_exception();
        return -1;
    }
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "zeq_torvak",
    "Serial ports over one multi-channel Torvak USB device.",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zt::module

extern "C" PYBIND11_EXPORT PyObject* PyInit_zeq_torvak() { return PyModuleDef_Init(&zt::module::g_module); }
