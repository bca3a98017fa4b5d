#include "usb_binding/usb_binding.hpp"

#include <pybind11/gil_safe_call_once.h>

#include <cstdio>
#include <climits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "binding/buffers.hpp"
#include "binding/error_translation.hpp"
#include "binding/gil.hpp"

namespace zt::usb_binding {
namespace {

// The host package's default when a transfer is given no time-out.
constexpr unsigned kDefaultTimeoutMs = 1000;
constexpr const char* kCoreName = "zeq_torvak._usb_core";
constexpr const char* kBackName = "zeq_torvak._usb_back";
constexpr const char* kLibraryName = "zeq_torvak._libusb";

// The back-end object. The libusb context is made by the first search, not when the
// back end is made (at import), so a test harness can set up an emulated bus in between.
class Backend {
public:
    // Blocks on the first call (libusb_init): call without the GIL.
    std::shared_ptr<usb::Context> context() {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!context_) context_ = usb::default_context();
        return context_;
    }

private:
    std::mutex mutex_;
    std::shared_ptr<usb::Context> context_;  // guarded by mutex_
};

struct Layer {
    UsbLayer objects;
    py::object array_type;
    py::object default_backend;
};

Layer& layer();

std::string type_name(py::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

bool is_exact_integer(py::handle obj) { return PyLong_Check(obj.ptr()) && !PyBool_Check(obj.ptr()); }

// An int argument in [low, high]; TypeError for anything but an int (bool refused),
// ValueError outside the range.
long long int_in_range(py::handle obj, const char* function, const char* name, long long low, long long high) {
    if (!is_exact_integer(obj)) {
        throw py::type_error(std::string(function) + "() argument '" + name + "' must be int, not " + type_name(obj));
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || value < low || value > high) {
        throw py::value_error(std::string(function) + "() argument '" + name + "' must be in " + std::to_string(low) +
                              ".." + std::to_string(high) + ", not " + py::str(obj).cast<std::string>());
    }
    return value;
}

uint8_t endpoint_address(py::handle obj, const char* function) {
    if (py::isinstance<usb::Endpoint>(obj)) return obj.cast<const usb::Endpoint&>().address;
    return static_cast<uint8_t>(int_in_range(obj, function, "endpoint", 0, 0xFF));
}

// None means the default; 0 means no limit, as in libusb.
unsigned timeout_ms(py::handle obj, const char* function) {
    if (obj.is_none()) return kDefaultTimeoutMs;
    return static_cast<unsigned>(int_in_range(obj, function, "timeout", 0, UINT_MAX));
}

// The bytes to send: a bytes-like object's bytes, or a sequence of ints in 0..255.
std::vector<uint8_t> data_bytes(py::handle data) {
    const std::string refusal =
        "write() argument 'data' must be a bytes-like object or a sequence of ints in 0..255, not " + type_name(data);
    if (PyUnicode_Check(data.ptr())) throw py::type_error(refusal);
    if (PyObject_CheckBuffer(data.ptr())) return binding::BufferView(data, PyBUF_FULL_RO).copy();
    py::iterator items;
    try {
        items = py::iter(data);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_TypeError)) throw py::type_error(refusal);
        throw;
    }
    std::vector<uint8_t> bytes;
    for (py::handle item : items) {
        if (!PyLong_Check(item.ptr())) {
            throw py::type_error("write() argument 'data' must hold ints in 0..255, not " + type_name(item));
        }
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(item.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow != 0 || value < 0 || value > 0xFF) {
            throw py::value_error("write() argument 'data' must hold ints in 0..255, not " +
                                  py::str(item).cast<std::string>());
        }
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

py::object device_read(usb::Device& device, py::handle endpoint, py::handle size_or_buffer, py::handle timeout) {
    const uint8_t address = endpoint_address(endpoint, "read");
    const unsigned limit = timeout_ms(timeout, "read");
    if (is_exact_integer(size_or_buffer)) {
        const auto size = static_cast<size_t>(int_in_range(size_or_buffer, "read", "size_or_buffer", 0, INT_MAX));
        std::vector<uint8_t> buffer(size);
        const size_t received = binding::without_gil([&] { return device.read(address, buffer.data(), buffer.size(), limit); });
        return layer().array_type("B", py::bytes(reinterpret_cast<const char*>(buffer.data()), received));
    }
    // The export pins the buffer's memory (a bytearray cannot resize meanwhile) while
    // the transfer fills it without the GIL.
    std::optional<binding::BufferView> view;
    try {
        if (PyObject_CheckBuffer(size_or_buffer.ptr())) view.emplace(size_or_buffer, PyBUF_WRITABLE);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_BufferError)) throw;
    }
    if (!view) {
        throw py::type_error("read() argument 'size_or_buffer' must be int or a writable buffer, not " +
                             type_name(size_or_buffer));
    }
    const size_t received = binding::without_gil([&] {
        return device.read(address, static_cast<uint8_t*>(view->get().buf), static_cast<size_t>(view->get().len),
                           limit);
    });
    return py::int_(received);
}

py::int_ device_write(usb::Device& device, py::handle endpoint, py::handle data, py::handle timeout) {
    const uint8_t address = endpoint_address(endpoint, "write");
    const unsigned limit = timeout_ms(timeout, "write");
    const std::vector<uint8_t> bytes = data_bytes(data);
    const size_t sent = binding::without_gil([&] { return device.write(address, bytes.data(), bytes.size(), limit); });
    return py::int_(sent);
}

std::optional<std::string> optional_text(py::handle obj, const char* function, const char* name) {
    if (obj.is_none()) return std::nullopt;
    if (!PyUnicode_Check(obj.ptr())) {
        throw py::type_error(std::string(function) + "() argument '" + name + "' must be str or None, not " +
                             type_name(obj));
    }
    return obj.cast<std::string>();
}

py::object find(py::handle id_vendor, py::handle id_product, py::handle backend, py::handle serial_number,
                py::handle find_all) {
    const auto vid = static_cast<uint16_t>(int_in_range(id_vendor, "find", "idVendor", 0, 0xFFFF));
    const auto pid = static_cast<uint16_t>(int_in_range(id_product, "find", "idProduct", 0, 0xFFFF));
    py::handle chosen = backend.is_none() ? py::handle(layer().default_backend) : backend;
    if (!py::isinstance<Backend>(chosen)) {
        throw py::type_error("find() argument 'backend' must be a back end from get_backend() or None, not " +
                             type_name(backend));
    }
    const std::shared_ptr<Backend> source = chosen.cast<std::shared_ptr<Backend>>();
    const std::optional<std::string> serial = optional_text(serial_number, "find", "serial_number");
    const bool all = PyObject_IsTrue(find_all.ptr()) == 1;
    if (PyErr_Occurred()) throw py::error_already_set();

    std::vector<std::shared_ptr<usb::Device>> found;
    // Devices not handed out are destroyed (their handles closed) without the GIL.
    binding::without_gil([&] {
        const std::shared_ptr<usb::Context> context = source->context();
        if (serial && all) {
            found = usb::find_all_by_serial(context, vid, pid, *serial);
        } else if (serial) {
            if (auto device = usb::find_by_serial(context, vid, pid, *serial)) found.push_back(std::move(device));
        } else {
            std::vector<std::shared_ptr<usb::Device>> every = usb::find_all(context, vid, pid);
            if (all) {
                found = std::move(every);
            } else if (!every.empty()) {
                found.push_back(std::move(every.front()));
            }
        }
    });
    if (all) {
        py::list result;
        for (std::shared_ptr<usb::Device>& device : found) result.append(py::cast(std::move(device)));
        return result;
    }
    if (found.empty()) return py::none();
    return py::cast(std::move(found.front()));
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
    return text;
}

std::string hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value & 0xFF);
    return text;
}

py::object make_namespace(const char* name, const char* doc) {
    return py::module_::import("types").attr("ModuleType")(name, doc);
}

void define_descriptor_classes(py::handle core) {
    py::class_<usb::Endpoint>(core, "Endpoint", py::module_local())
        .def_property_readonly("bEndpointAddress", [](const usb::Endpoint& e) { return e.address; })
        .def_property_readonly("wMaxPacketSize", [](const usb::Endpoint& e) { return e.max_packet_size; })
        .def_property_readonly("bmAttributes", [](const usb::Endpoint& e) { return e.attributes; })
        .def("__repr__", [](const usb::Endpoint& e) {
            return "<Endpoint " + hex2(e.address) + " attributes " + hex2(e.attributes) + " max packet " +
                   std::to_string(e.max_packet_size) + ">";
        });
    py::class_<usb::Interface>(core, "Interface", py::module_local())
        .def_property_readonly("bInterfaceNumber", [](const usb::Interface& i) { return i.number; })
        .def("endpoints",
             [](const usb::Interface& i) {
                 py::list out;
                 for (const usb::Endpoint& e : i.endpoints) out.append(py::cast(e));
                 return out;
             })
        .def("__repr__", [](const usb::Interface& i) { return "<Interface " + std::to_string(i.number) + ">"; });
    py::class_<usb::Configuration>(core, "Configuration", py::module_local())
        .def_property_readonly("bConfigurationValue", [](const usb::Configuration& c) { return c.value; })
        .def("interfaces",
             [](const usb::Configuration& c) {
                 py::list out;
                 for (const usb::Interface& i : c.interfaces) out.append(py::cast(i));
                 return out;
             })
        .def("__repr__",
             [](const usb::Configuration& c) { return "<Configuration " + std::to_string(c.value) + ">"; });
}

void define_device_class(py::handle core) {
    // The last reference may close the handle (an ioctl): never with the GIL held.
#if PYBIND11_VERSION_MAJOR >= 3
    py::class_<usb::Device, std::shared_ptr<usb::Device>> cls(core, "Device", py::module_local(),
                                                              py::release_gil_before_calling_cpp_dtor());
#else
    // Older pybind11 cannot: drop handles after _close_usb_device there.
    py::class_<usb::Device, std::shared_ptr<usb::Device>> cls(core, "Device", py::module_local());
#endif
    cls.def_property_readonly("serial_number", [](usb::Device& d) -> py::object {
        const std::optional<std::string> serial = binding::without_gil([&] { return d.serial_number(); });
        if (!serial) return py::none();
        return py::str(*serial);
    });
    cls.def_property_readonly("idVendor", [](const usb::Device& d) { return d.vendor_id(); });
    cls.def_property_readonly("idProduct", [](const usb::Device& d) { return d.product_id(); });
    cls.def_property_readonly("bus", [](const usb::Device& d) { return d.bus_number(); });
    cls.def_property_readonly("address", [](const usb::Device& d) { return d.device_address(); });
    cls.def(
        "is_kernel_driver_active",
        [](usb::Device& d, py::handle interface) {
            const auto number =
                static_cast<int>(int_in_range(interface, "is_kernel_driver_active", "interface", 0, 0xFF));
            return binding::without_gil([&] { return d.is_kernel_driver_active(number); });
        },
        py::arg("interface"));
    cls.def(
        "detach_kernel_driver",
        [](usb::Device& d, py::handle interface) {
            const auto number = static_cast<int>(int_in_range(interface, "detach_kernel_driver", "interface", 0, 0xFF));
            binding::without_gil([&] { d.detach_kernel_driver(number); });
        },
        py::arg("interface"));
    cls.def("get_active_configuration", [](usb::Device& d) {
        return binding::without_gil([&] { return d.active_configuration(); });
    });
    cls.def("read", &device_read, py::arg("endpoint"), py::arg("size_or_buffer"), py::arg("timeout") = py::none());
    cls.def("write", &device_write, py::arg("endpoint"), py::arg("data"), py::arg("timeout") = py::none());
    cls.def("__repr__", [](const usb::Device& d) {
        return "<Device " + hex4(d.vendor_id()) + ":" + hex4(d.product_id()) + " on bus " +
               std::to_string(d.bus_number()) + " address " + std::to_string(d.device_address()) + ">";
    });
}

Layer build_layer() {
    Layer l;
    py::object core = make_namespace(kCoreName, "Finding USB devices and talking to them over libusb-1.0.");
    py::object back = make_namespace(kBackName, "The libusb-1.0 back end.");
    py::object library = make_namespace(kLibraryName, "Where the libusb-1.0 library in use lives.");

    l.array_type = py::module_::import("array").attr("array");
    core.attr("USBError") = binding::usb_error_type();
    core.attr("USBTimeoutError") = binding::usb_timeout_error_type();

    define_descriptor_classes(core);
    define_device_class(core);
    py::class_<Backend, std::shared_ptr<Backend>>(back, "Backend", py::module_local())
        .def("__repr__", [](const Backend&) { return std::string("<libusb-1.0 back end>"); });

    core.attr("find") = py::cpp_function(&find, py::name("find"), py::scope(core), py::kw_only(),
                                         py::arg("idVendor"), py::arg("idProduct"), py::arg("backend") = py::none(),
                                         py::arg("serial_number") = py::none(), py::arg("find_all") = false);

    l.default_backend = py::cast(std::make_shared<Backend>());
    // One back end per process, as the host package caches its own: the library is
    // linked in, so find_library has nothing to choose.
    py::object default_backend = l.default_backend;
    back.attr("get_backend") = py::cpp_function(
        [default_backend](py::handle) { return default_backend; }, py::name("get_backend"), py::scope(back),
        py::arg("find_library") = py::none());

    library.attr("find_library") = py::cpp_function(
        [](py::handle) {
            return binding::without_gil([] { return usb::library_path(); });
        },
        py::name("find_library"), py::scope(library), py::arg("candidate") = py::none());

    l.objects.libusb = library;
    l.objects.core = core;
    l.objects.back = back;
    l.objects.close_usb_device = py::cpp_function(
        [](py::handle device) {
            const std::shared_ptr<usb::Device> native = native_handle(device);
            if (!native) return;
            binding::without_gil([&] { native->release(); });
        },
        py::name("close_usb_device"), py::scope(core), py::arg("device"));
    return l;
}

Layer& layer() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Layer> storage;
    return storage.call_once_and_store_result(&build_layer).get_stored();
}

}  // namespace

UsbLayer make_usb_layer() { return layer().objects; }

std::shared_ptr<usb::Device> native_handle(py::handle obj) {
    layer();  // registers the handle type
    if (!obj || !py::isinstance<usb::Device>(obj)) return nullptr;
    return obj.cast<std::shared_ptr<usb::Device>>();
}

}  // namespace zt::usb_binding
