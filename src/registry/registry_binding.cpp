// The Python face of the device registry: `_ResourceManager`, and the module functions
// `list_serial_numbers` and `get_hid_device` built on it.
//
// A registry instance keeps its state in two instance attributes:
// `_ResourceManager__devices`, the native DeviceTable (shown to Python as a read-only
// mapping from serial number to device, for inspection), and
// `_ResourceManager__device_lock`, a capsule holding the std::mutex that guards the
// table and the opening of a device. The mutex is only ever waited for with the GIL
// released, so Python code (the USB search, the `_Device` constructor) may run while
// it is held.
#include "registry/registry_binding.hpp"

#include <pybind11/gil_safe_call_once.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/assertions.hpp"
#include "binding/class_builder.hpp"
#include "binding/error_translation.hpp"
#include "binding/errors.hpp"
#include "binding/runtime.hpp"
#include "device/device_binding.hpp"
#include "registry/device_table.hpp"
#include "sync/blocking_lock.hpp"

namespace zt::registry {

using namespace binding;

namespace {

// Values are `_Device` objects (or whatever `_Device` is bound to).
struct DeviceTableObject {
    DeviceTable<py::object> table;
};
using Entries = std::vector<std::pair<SerialKey, py::object>>;

constexpr const char* kDevicesAttr = "_ResourceManager__devices";
constexpr const char* kDeviceLockAttr = "_ResourceManager__device_lock";
constexpr const char* kDeviceLockCapsule = "zeq_torvak._ResourceManager.device_lock";

constexpr const char* kAnySerialNumber = "ANY";
constexpr const char* kNoDevice = "Torvak Device (VID=0x483, PID=0x5750) not found.";
constexpr const char* kNoDeviceWithSerialHead = "Torvak Device (VID=0x483, PID=0x5750) with Serial Number \"";
constexpr const char* kNoDeviceWithSerialTail = "\" not found.";

// The table key of a serial number: its exact text, or nullopt for None. Lone
// surrogates are kept (surrogatepass), so distinct texts always give distinct keys.
SerialKey serial_key(py::handle serial_number) {
    if (serial_number.is_none()) return std::nullopt;
    if (!PyUnicode_Check(serial_number.ptr()))
        throw TypeError(std::string("serial number must be str or None, not ") +
                        Py_TYPE(serial_number.ptr())->tp_name);
    py::object encoded = py::reinterpret_steal<py::object>(
        PyUnicode_AsEncodedString(serial_number.ptr(), "utf-8", "surrogatepass"));
    if (!encoded) throw py::error_already_set();
    return std::string(PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

py::object serial_text(const SerialKey& key) {
    if (!key) return py::none();
    py::object text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(key->data(), static_cast<Py_ssize_t>(key->size()), "surrogatepass"));
    if (!text) throw py::error_already_set();
    return text;
}

// Inspection reads a copy of the entries taken with the GIL but without the device
// lock, so it never waits for a device being opened. The copy is consistent: every
// change of the table is made with the GIL held and calls no Python code midway.
// Python objects are only built from the copy afterwards, since building them may run
// Python code (a collection) that changes the table.
Entries snapshot(const DeviceTableObject& t) {
    Entries entries;
    t.table.for_each([&](const SerialKey& key, const py::object& device) { entries.emplace_back(key, device); });
    return entries;
}

py::dict as_dict(const DeviceTableObject& t) {
    py::dict d;
    for (const auto& [key, device] : snapshot(t)) d[serial_text(key)] = device;
    return d;
}

// The inspection type of `_ResourceManager__devices`. Registered once per process on a
// scope of its own, so the module namespace and the class keep exactly their names.
py::object make_device_table_type() {
    py::object scope = py::module_::import("types").attr("SimpleNamespace")();
    py::class_<DeviceTableObject> cls(scope, "DeviceTable", py::module_local());
    cls.def("__len__", [](const DeviceTableObject& t) { return t.table.size(); })
        .def("__iter__", [](const DeviceTableObject& t) { return py::iter(py::list(as_dict(t))); })
        .def("__contains__", [](const DeviceTableObject& t, py::handle serial_number) {
            return as_dict(t).contains(serial_number);
        })
        .def("__getitem__", [](const DeviceTableObject& t, py::handle serial_number) {
            return as_dict(t)[serial_number];
        })
        .def("__repr__", [](const DeviceTableObject& t) { return "<device table " + to_text(py::repr(as_dict(t))) + ">"; });
    cls.attr("__module__") = py::str(kModuleName);
    cls.attr("__qualname__") = py::str("_ResourceManager.DeviceTable");
    return cls;
}

py::object device_table_type() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage.call_once_and_store_result(&make_device_table_type).get_stored();
}

// One call's view of an instance's state. The references keep the table and the mutex
// alive for the whole call, even if the attributes are rebound meanwhile.
struct RegistryState {
    py::object devices_owner;
    py::object lock_owner;
    DeviceTable<py::object>* devices;  // guarded by *device_lock
    std::mutex* device_lock;                     // waited for only with the GIL released
};

RegistryState state_of(py::handle self) {
    RegistryState s;
    s.devices_owner = self.attr(kDevicesAttr);
    s.lock_owner = self.attr(kDeviceLockAttr);
    if (!py::isinstance<DeviceTableObject>(s.devices_owner))
        throw TypeError(std::string(kDevicesAttr) + " is not the registry's device table");
    if (!PyCapsule_IsValid(s.lock_owner.ptr(), kDeviceLockCapsule))
        throw TypeError(std::string(kDeviceLockAttr) + " is not the registry's device lock");
    s.devices = &s.devices_owner.cast<DeviceTableObject&>().table;
    s.device_lock = static_cast<std::mutex*>(PyCapsule_GetPointer(s.lock_owner.ptr(), kDeviceLockCapsule));
    return s;
}

// The first device the USB search yields, or None; the enumeration stops there.
py::object first_found(const py::object& found) {
    py::object it = py::reinterpret_steal<py::object>(PyObject_GetIter(found.ptr()));
    if (!it) throw py::error_already_set();
    py::object first = py::reinterpret_steal<py::object>(PyIter_Next(it.ptr()));
    if (!first) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::none();
    }
    return first;
}

// Finds the USB device for `serial_number` and makes a `_Device` of it. Expects the
// GIL and the device lock.
py::object open_device(py::handle self, const py::str& serial_number, bool any) {
    py::object handle;
    if (any) {
        handle = first_found(self.attr("find_device")());
        if (handle.is_none() && assertions_enabled())
            raise_with_facts(PyExc_AssertionError, py::str(kNoDevice), {{"kind", py::str("no device")}});
    } else {
        handle = self.attr("find_device")(serial_number);
        if (handle.is_none() && assertions_enabled())
            raise_with_facts(PyExc_AssertionError,
                             py::str(kNoDeviceWithSerialHead) + serial_number + py::str(kNoDeviceWithSerialTail),
                             {{"kind", py::str("unknown serial")}, {"serial_number", serial_number}});
    }
    return global("_Device")(self, handle);
}

py::object find_device(const Args& a) {
    const py::str serial_number = py::reinterpret_borrow<py::str>(a[0]);
    py::object find = global("_usb_core").attr("find");
    py::dict criteria;
    criteria["idVendor"] = global("_vid");
    criteria["idProduct"] = global("_pid");
    criteria["backend"] = global("_backend");
    if (py::len(serial_number) != 0)
        criteria["serial_number"] = serial_number;
    else
        criteria["find_all"] = py::bool_(true);
    return find(**criteria);
}

py::object init(const Args& a) {
    py::handle self = a[0];
    device_table_type();  // registers the type on first use
    py::object devices = py::cast(DeviceTableObject{}, py::return_value_policy::move);
    auto lock = std::make_unique<std::mutex>();
    py::capsule lock_owner(lock.get(), kDeviceLockCapsule, [](void* p) { delete static_cast<std::mutex*>(p); });
    lock.release();  // owned by the capsule now
    self.attr(kDevicesAttr) = devices;
    self.attr(kDeviceLockAttr) = lock_owner;
    return py::none();
}

py::object get_device_by_serial_number(const Args& a) {
    py::handle self = a[0];
    const py::str serial_number = py::reinterpret_borrow<py::str>(a[1]);
    const bool any = PyUnicode_CompareWithASCIIString(serial_number.ptr(), kAnySerialNumber) == 0;
    const SerialKey key = serial_key(serial_number);
    RegistryState state = state_of(self);

    py::object device;
    std::optional<py::object> displaced;  // dropped after the lock is released
    {
        sync::BlockingLock guard(*state.device_lock);
        if (any && !state.devices->empty()) {
            device = state.devices->first();
        } else if (const py::object* filed = state.devices->find(key)) {
            device = *filed;
        } else {
            device = open_device(self, serial_number, any);
            // Filed under the number the device reports: for "ANY" its real one.
            displaced = state.devices->file(serial_key(device.attr("serial_number")), device);
        }
    }
    return device;
}

py::object open_serial_channel(const Args& a) {
    py::handle self = a[0];
    // Upper-cased first, so "any" selects the wildcard too.
    py::object serial_number = a[1].attr("upper")();
    const bool any = PyUnicode_CompareWithASCIIString(serial_number.ptr(), kAnySerialNumber) == 0;
    bool filed_before = false;
    {
        RegistryState state = state_of(self);
        sync::BlockingLock guard(*state.device_lock);
        filed_before = any ? !state.devices->empty() : state.devices->find(serial_key(serial_number)) != nullptr;
    }
    py::object device = self.attr("get_device_by_serial_number")(serial_number);
    // The registry lock is not held here: initialising a channel takes up to about a
    // second and must not hold up other registry requests.
    try {
        return device.attr("open_channel")(py::arg("channel") = a[2], py::arg("baudrate") = a[3],
                                           py::arg("timeout") = a[4]);
    } catch (const std::exception&) {  // anything else ends the thread: Python is out of reach
        // A device opened for this request alone must not outlive its failure: its
        // reader is not a daemon thread, so the program could never exit.
        if (!filed_before) {
            try {
                device::close_device_if_unused(device);
            } catch (py::error_already_set&) {
            }
        }
        throw;
    }
}

// Called by a device whose last channel has closed, with that device's channel lock
// held (hence the lock order in device_table.hpp).
py::object close_device(const Args& a) {
    py::handle self = a[0];
    py::handle device = a[1];
    const SerialKey key = serial_key(device.attr("serial_number"));
    RegistryState state = state_of(self);
    std::optional<py::object> removed;  // dropped after the lock is released
    {
        sync::BlockingLock guard(*state.device_lock);
        removed = state.devices->remove_if(key, [&](const py::object& filed) { return filed.is(device); });
    }
    return py::none();
}

py::object list_serial_numbers(const Args&) {
    py::object dev_all = global("_ResourceManager").attr("find_device")();
    py::list serial_numbers;
    for (py::handle dev : dev_all) serial_numbers.append(dev.attr("serial_number"));
    return serial_numbers;
}

py::object get_hid_device(const Args& a) {
    return global("_resource_manager").attr("get_device_by_serial_number")(a[0]);
}

}  // namespace

py::object make_resource_manager_class() {
    device_table_type();
    return build_class("_ResourceManager",
                       {
                           static_method("find_device", {{"serial_number", "str", Default::text("")}}, find_device,
                                         "_usb_core.Device"),
                           method("__init__", {}, init),
                           method("get_device_by_serial_number", {{"serial_number", "str"}},
                                  get_device_by_serial_number, "_Device"),
                           method("open_serial_channel",
                                  {{"serial_number", "str"}, {"channel", "int"}, {"baudrate", "int"},
                                   {"timeout", "float"}},
                                  open_serial_channel, "_Channel"),
                           method("close_device", {{"device", "_Device"}}, close_device),
                       });
}

py::object make_list_serial_numbers() { return module_function("list_serial_numbers", {}, list_serial_numbers); }

py::object make_get_hid_device() {
    return module_function("get_hid_device", {{"serial_number", "str", Default::text(kAnySerialNumber)}},
                           get_hid_device, "_Device");
}

}  // namespace zt::registry
