// The `_Device` class: one open multi-channel device.
#include "device/device_binding.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "binding/assertions.hpp"
#include "binding/buffers.hpp"
#include "binding/class_builder.hpp"
#include "binding/error_translation.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/runtime.hpp"
#include "channel/channel_binding.hpp"
#include "device/device_access.hpp"
#include "device/device_core.hpp"
#include "device/device_queries.hpp"
#include "device/native_adapters.hpp"
#include "device/python_adapters.hpp"
#include "sync/blocking_lock.hpp"
#include "usb_binding/usb_binding.hpp"
#include "wire/wire_format.hpp"

namespace zt::device {

using namespace binding;

namespace {

using Span = std::span<const uint8_t>;

py::object g_device_class;  // the class object, to recognise its own members
py::object g_output_data;   // its own output_data, which a channel's write may bypass natively

// ---------------------------------------------------------------------------
// Members

py::object init(const Args& a) {
    py::handle self = a[0];
    py::object handle = py::reinterpret_borrow<py::object>(a[2]);
    self.attr("_Device__dev_manager") = a[1];
    self.attr("_Device__dev") = handle;

    // Kernel driver: detached when active; platforms without kernel drivers are fine.
    try {
        if (py::bool_(handle.attr("is_kernel_driver_active")(0))) handle.attr("detach_kernel_driver")(0);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_NotImplementedError)) throw;
    } catch (const usb::NotSupported&) {
    }

    // Endpoints by list position: the descriptors list IN first, OUT second.
    py::object interface = handle.attr("get_active_configuration")().attr("interfaces")()[py::int_(0)];
    py::object endpoints = interface.attr("endpoints")();
    py::object ep_in = endpoints[py::int_(0)];
    py::object ep_out = endpoints[py::int_(1)];
    self.attr("_Device__ep_in") = ep_in;
    self.attr("_Device__ep_out") = ep_out;

    py::object in_address = ep_in.attr("bEndpointAddress");
    py::object out_address = ep_out.attr("bEndpointAddress");
    const size_t in_size = ep_in.attr("wMaxPacketSize").cast<size_t>();
    std::unique_ptr<Link> link;
    if (auto native = usb_binding::native_handle(handle))
        link = std::make_unique<NativeLink>(native, in_address.cast<uint8_t>(), out_address.cast<uint8_t>(), in_size);
    else
        link = std::make_unique<PythonLink>(handle, in_address, out_address, in_size);

    auto core = std::make_shared<DeviceCore>(std::move(link));
    // Control records go through handle_io_control_package only when a subclass overrides it.
    py::object own = g_device_class.attr("handle_io_control_package");
    py::object theirs = py::type::of(self).attr("handle_io_control_package");
    if (!own.is(theirs)) {
        auto weak_self = std::make_shared<PyRef>(py::module_::import("weakref").attr("ref")(self));
        core->control_route = [weak_self](int channel, Span payload) {
            with_gil([&] {
                py::object dev = weak_self->get()();
                if (!dev.is_none())
                    dev.attr("handle_io_control_package")(make_array(payload), py::arg("channel") = channel);
            });
        };
    } else {
        DeviceCore* raw = core.get();
        core->control_route = [raw](int channel, Span payload) { raw->handle_control(channel, payload); };
    }
    self.attr(kCoreAttr) = py::capsule(new std::shared_ptr<DeviceCore>(core), kDeviceCoreCapsule, [](void* p) {
        delete static_cast<std::shared_ptr<DeviceCore>*>(p);
    });

    py::object thread = global("_Thread")(py::arg("target") = self.attr("input_scanner_function"));
    self.attr("_Device__input_scanner") = thread;
    thread.attr("start")();
    return py::none();
}

py::object set_io_control_handler_for_channel(const Args& a) {
    py::handle self = a[0];
    check_channel_range(self, a[2]);
    auto core = core_of(self);
    auto handler = std::make_shared<PythonHandler>(py::reinterpret_borrow<py::object>(a[1]),
                                                   py::reinterpret_borrow<py::object>(self));
    auto replaced = core->set_handler(clamp_channel(a.integer(2)), std::move(handler));
    return py::none();  // `replaced` is released here, with the GIL held
}

py::object reset_io_control_handler_for_channel(const Args& a) {
    auto removed = core_of(a[0])->reset_handler(clamp_channel(a.integer(1)));
    return py::none();
}

// A transfer time-out given in ms; ValueError outside what a transfer takes.
unsigned transfer_timeout(long long ms) {
    constexpr unsigned kLongest = std::numeric_limits<unsigned>::max();
    if (ms < 0 || ms > kLongest)
        throw py::value_error("timeout must be between 0 and " + std::to_string(kLongest) + " ms");
    return static_cast<unsigned>(ms);
}

py::object private_read(const Args& a) {
    auto core = core_of(a[0]);
    const unsigned timeout = transfer_timeout(a.integer(1));
    std::vector<uint8_t> buffer(std::max<size_t>(core->link().in_packet_size(), 1));
    const size_t n = without_gil([&] { return core->link().read(buffer.data(), buffer.size(), timeout); });
    return make_array(Span(buffer.data(), n));
}

// One OUT transfer of `data`; a Python handle receives the object itself.
size_t write_packet(DeviceCore& core, py::handle data, unsigned timeout_ms) {
    if (auto* python = dynamic_cast<PythonLink*>(&core.link())) return python->write_object(data, timeout_ms);
    std::vector<uint8_t> bytes = bytes_of(data);
    return without_gil([&] { return core.link().write(Span(bytes), timeout_ms); });
}

py::object private_write(const Args& a) {
    auto core = core_of(a[0]);
    return py::int_(write_packet(*core, a[1], transfer_timeout(a.integer(2))));
}

py::object close(const Args& a) {
    py::handle self = a[0];
    auto core = core_of(self);
    core->stop_flag.store(true);
    call_method_blocking(self, "_Device__input_scanner", "join");
    // The writer thread, if any, may be waiting for the GIL to write a packet.
    without_gil([&] { core->stop_output(); });
    call_global_blocking("_close_usb_device", self, "_Device__dev");
    return py::none();
}

py::object handle_io_control_package(const Args& a) {
    py::handle package = a[1];
    // Every registered handler is a PythonHandler (set_io_control_handler_for_channel
    // makes them); it gets the package object as given.
    core_of(a[0])->with_handler(clamp_channel(a.integer(2)), [&](ControlHandler& handler) {
        static_cast<PythonHandler&>(handler).call_with(package);
    });
    return py::none();
}

// The kind of the reader's report that it stopped.
constexpr const char* kReaderStopped = "reader stopped";

// The reader thread's body. Whatever ends the reader (a USB error, a malformed packet,
// an exception escaping a handler or a Python channel) becomes its one report. When the
// interpreter finalizes meanwhile, taking the GIL back ends this thread (see gil.hpp).
py::object input_scanner_function(const Args& a) {
    py::handle self = a[0];
    try {
        std::shared_ptr<DeviceCore> core = core_of(self);
        const std::optional<std::string> failure = without_gil([&] { return core->run_reader(); });
        if (failure)
            report("USB 设备[Torvak:" + serial_text(self) + "]读取数据失败，有可能是设备已拔出：" + *failure,
                   kReaderStopped, py::getattr(self, "serial_number", py::none()));
    } catch (py::error_already_set& e) {
        report("USB 设备[Torvak:?]读取数据失败，有可能是设备已拔出：" + to_text(e.value()), kReaderStopped, py::none());
    } catch (const std::exception& e) {
        report(std::string("USB 设备[Torvak:?]读取数据失败，有可能是设备已拔出：") + e.what(), kReaderStopped,
               py::none());
    }
    return py::none();
}

py::object open_channel(const Args& a) {
    py::handle self = a[0];
    py::handle channel = a[1];
    check_channel_range(self, channel);
    auto core = core_of(self);
    const int n = clamp_channel(a.integer(1));
    py::object channel_obj;
    {
        sync::BlockingLock lock(core->channel_lock);
        if (assertions_enabled() && core->has_channel(n))
            fail_check(self, "channel open", "通道[" + to_text(channel) + "]已经打开:" + serial_text(self),
                       {{"channel", py::reinterpret_borrow<py::object>(channel)}});
        channel_obj = global("_Channel")(self, py::arg("channel_number") = channel, py::arg("timeout") = a[3]);
        std::shared_ptr<DataSink> sink;
        if (auto buffer = channel::native_input_buffer(channel_obj))
            sink = std::make_shared<NativeSink>(std::move(buffer));
        else
            sink = std::make_shared<PythonSink>(channel_obj);
        core->insert_channel(n, std::move(sink));
    }
    // Initialisation runs without the channel lock: other channels may open and close
    // meanwhile. Whatever it raises, the half-open channel is closed again, so its
    // number is free and its device closes if nothing else is open on it.
    try {
        channel_obj.attr("initialize")(py::arg("baudrate") = a[2]);
    } catch (py::error_already_set&) {
        channel_obj.attr("close")();
        throw;
    }
    return channel_obj;
}

}  // namespace

bool close_device_if_unused(py::handle device) {
    py::object cap = py::getattr(device, kCoreAttr, py::none());
    if (!PyCapsule_IsValid(cap.ptr(), kDeviceCoreCapsule)) return false;
    auto core = *static_cast<std::shared_ptr<DeviceCore>*>(PyCapsule_GetPointer(cap.ptr(), kDeviceCoreCapsule));
    sync::BlockingLock lock(core->channel_lock);
    if (!core->no_channels() || core->stop_flag.load()) return false;
    device.attr("close")();
    device.attr("_Device__dev_manager").attr("close_device")(device);
    return true;
}

namespace {

py::object close_channel(const Args& a) {
    py::handle self = a[0];
    auto core = core_of(self);
    sync::BlockingLock lock(core->channel_lock);
    core->erase_channel(clamp_channel(a.integer(1)));  // released here, with the GIL held
    if (core->no_channels()) {
        self.attr("close")();
        self.attr("_Device__dev_manager").attr("close_device")(self);
    }
    return py::none();
}

py::object serial_number(const Args& a) { return a[0].attr("_Device__dev").attr("serial_number"); }

py::object output_data(const Args& a) {
    py::handle self = a[0];
    py::handle data = a[1];
    if (assertions_enabled() && py::len(data) != wire::kPackageSize)
        fail_assertion("只支持长度为 " + std::to_string(wire::kPackageSize) + " 的数据包:" + serial_text(self));
    const size_t written = write_packet(*core_of(self), data, kWriteTimeoutMs);
    if (assertions_enabled() && written < wire::kPackageSize) fail_assertion("");
    return py::none();
}

// A channel's write sends its packets through here when the device's output_data is this
// one (see channel::NativeOutput): the same writes and checks, without the GIL.
bool output_is_native(py::handle output) {
    if (!PyMethod_Check(output.ptr()) || PyMethod_GET_FUNCTION(output.ptr()) != g_output_data.ptr()) return false;
    return !dynamic_cast<PythonLink*>(&core_of(PyMethod_GET_SELF(output.ptr()))->link());
}

void output_natively(py::handle output, std::span<const wire::Packet> packets) {
    const auto core = core_of(PyMethod_GET_SELF(output.ptr()));
    const bool check = assertions_enabled();
    without_gil([&] {
        for (const wire::Packet& packet : packets) {
            const size_t written = core->link().write(Span(packet), kWriteTimeoutMs);
            if (check && written < wire::kPackageSize) fail_assertion("");
        }
    });
}

py::object send_command(const Args& a) {
    py::handle self = a[0];
    py::object command = py::reinterpret_borrow<py::object>(a[1]);
    const std::vector<uint8_t> cmd = bytes_of(command.attr("encode")("utf-8"));
    const long long channel_byte = wire::command_channel_byte(a.integer(2));
    if (channel_byte < 0 || channel_byte > 255) byte_overflow(channel_byte);
    const size_t count = wire::command_count(cmd);
    if (count > 255) byte_overflow(static_cast<long long>(count));
    if (assertions_enabled() && count > wire::kMaxPayload)
        fail_assertion("命令[" + command.cast<std::string>() + "]过长。包含命令结束符后，长度不能超过[" +
                       std::to_string(wire::kMaxPayload) + "]个字节:" + serial_text(self));
    const std::vector<uint8_t> package = wire::encode_command_packet(static_cast<uint8_t>(channel_byte), cmd);
    auto core = core_of(self);
    write_packet(*core, make_array(Span(package)), kWriteTimeoutMs);
    return py::none();
}

py::object send_command_to_channel(const Args& a) {
    py::handle self = a[0];
    check_channel_range(self, a[2]);
    self.attr("_send_command_to_channel")(a[1], a[2]);
    return py::none();
}

}  // namespace

py::object make_device_class() {
    g_device_class = build_class(
        "_Device",
        {
            constant("PackageSize", wire::kPackageSize),
            constant("IOControlChannel", wire::kIoControlChannel),
            method("__init__", {{"dev_manager"}, {"hid_handle", "_USBDevice"}}, init),
            method("set_io_control_handler_for_channel", {{"handler", "_Callable"}, {"channel", "int"}},
                   set_io_control_handler_for_channel),
            method("reset_io_control_handler_for_channel", {{"channel", "int"}}, reset_io_control_handler_for_channel),
            method("__read", {{"timeout", "int", Default::integer(kReadTimeoutMs)}}, private_read, "_array"),
            method("__write", {{"data"}, {"timeout", "int", Default::integer(kWriteTimeoutMs)}}, private_write),
            method("__query_channel_count", {}, query_channel_count),
            property("channel_count", channel_count, "int"),
            method("close", {}, close),
            method("handle_io_control_package", {{"package", "_array"}, {"channel", "int"}}, handle_io_control_package),
            method("input_scanner_function", {}, input_scanner_function),
            static_method("handle_channel_count_response", {{"package", "_array"}}, handle_channel_count_response),
            method("open_channel", {{"channel", "int"}, {"baudrate", "int"}, {"timeout", "float"}}, open_channel),
            method("close_channel", {{"channel", "int"}}, close_channel),
            property("serial_number", serial_number, "str"),
            method("output_data", {{"data"}}, output_data),
            method("_send_command_to_channel", {{"command", "str"}, {"channel", "int"}}, send_command),
            method("send_command_to_channel", {{"command", "str"}, {"channel", "int"}}, send_command_to_channel),
            method("io_control_master_query",
                   {{"command", "str"}, {"handler", "_Callable"}, {"timeout", "float", Default::real(0.5)}},
                   io_control_master_query),
            static_method("master_basic_handler", {{"package", "_array"}}, master_basic_handler),
            method("echo", {{"content", "str"}}, echo, "str", kEchoDoc),
            property("firmware_version", firmware_version, "str"),
        });
    g_output_data = g_device_class.attr("output_data");
    channel::set_native_output({output_is_native, output_natively});
    return g_device_class;
}

}  // namespace zt::device
