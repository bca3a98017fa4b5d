// The `_Device` class: one open multi-channel device.
#include "device/device_binding.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
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
#include "device/device_core.hpp"
#include "device/native_adapters.hpp"
#include "sync/blocking_lock.hpp"
#include "usb_binding/usb_binding.hpp"
#include "wire/wire_format.hpp"

namespace zt::device {

using namespace binding;

namespace {

using Span = std::span<const uint8_t>;

constexpr const char* kCoreAttr = "_Device__core";
// How long the channel-count query waits for the device, in all.
constexpr int kChannelCountTimeoutSeconds = 1;

py::object g_device_class;  // the class object, to recognise its own members
py::object g_output_data;   // its own output_data, which a channel's write may bypass natively

// ---------------------------------------------------------------------------
// Conversions

py::object make_array(Span data) { return unsigned_bytes(data.data(), data.size()); }

std::string exception_text(py::error_already_set& e) { return to_text(e.value()); }

// ---------------------------------------------------------------------------
// Links

// Calls into Python from native code running without the GIL (the reader, or a caller
// inside without_gil): takes the GIL for the call and turns a Python exception into a
// PythonError, which may travel back through GIL-free frames.
template <typename F>
auto with_gil(F&& f) -> std::invoke_result_t<F&> {
    GilHeld gil;
    try {
        return f();
    } catch (py::error_already_set& e) {
        throw PythonError(e);
    }
}

// Any object with the pyusb-style handle interface, called through Python.
class PythonLink final : public Link {
public:
    PythonLink(py::object handle, py::object ep_in_address, py::object ep_out_address, size_t in_size)
        : handle_(std::move(handle)), ep_in_(std::move(ep_in_address)), ep_out_(std::move(ep_out_address)),
          in_size_(in_size) {}
    size_t read(uint8_t* buffer, size_t capacity, unsigned timeout_ms) override {
        GilHeld gil;
        try {
            py::object got = handle_.get().attr("read")(py::arg("endpoint") = ep_in_.get(),
                                                        py::arg("size_or_buffer") = in_size_,
                                                        py::arg("timeout") = timeout_ms);
            std::vector<uint8_t> bytes = bytes_of(got);
            const size_t n = std::min(bytes.size(), capacity);
            if (n) std::memcpy(buffer, bytes.data(), n);
            return n;
        } catch (py::error_already_set& e) {
            if (e.matches(global("_usb_core").attr("USBTimeoutError"))) throw PythonTimeout(e);
            throw PythonError(e);
        }
    }
    size_t write(Span data, unsigned timeout_ms) override {
        return with_gil([&] { return write_object(make_array(data), timeout_ms); });
    }
    // Writes a Python object as it is (output_data hands on what it was given). Expects the GIL.
    size_t write_object(py::handle data, unsigned timeout_ms) {
        py::object n = handle_.get().attr("write")(py::arg("endpoint") = ep_out_.get(), py::arg("data") = data,
                                                   py::arg("timeout") = timeout_ms);
        return n.cast<size_t>();
    }
    size_t in_packet_size() const override { return in_size_; }

private:
    PyRef handle_, ep_in_, ep_out_;
    size_t in_size_;
};

// ---------------------------------------------------------------------------
// Sinks and handlers that call Python

// A channel object without a native buffer: its input_data is called with the GIL.
class PythonSink final : public DataSink {
public:
    explicit PythonSink(py::object channel) : channel_(std::move(channel)) {}
    void input(Span data) override {
        with_gil([&] { channel_.get().attr("input_data")(make_array(data)); });
    }

private:
    PyRef channel_;
};

// A Python callable registered as a channel's control handler. Ordinary errors are
// reported and swallowed; anything else (KeyboardInterrupt, SystemExit) passes on
// unchanged: to the caller of handle_io_control_package, or to the reader, which
// reports it and ends.
class PythonHandler final : public ControlHandler {
public:
    PythonHandler(py::object fn, py::object device) : fn_(std::move(fn)), device_(std::move(device)) {}
    void call(Span payload) override {
        with_gil([&] { call_with(make_array(payload)); });
    }
    // Calls with the payload object as given. Expects the GIL.
    void call_with(py::handle package) {
        try {
            fn_.get()(package);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            report("处理 IOControl 命令时出错：[" + exception_text(e) + "]:" +
                   to_text(device_.get().attr("serial_number")));
        }
    }

private:
    PyRef fn_;
    PyRef device_;  // for the serial number in the report
};

// ---------------------------------------------------------------------------
// Access to the native state

std::shared_ptr<DeviceCore> core_of(py::handle self) {
    py::object cap = py::getattr(self, kCoreAttr, py::none());
    if (cap.is_none()) throw py::attribute_error("_Device object is not initialised");
    if (!PyCapsule_IsValid(cap.ptr(), kDeviceCoreCapsule)) throw TypeError("expected the core of a zeq_torvak device");
    return *static_cast<std::shared_ptr<DeviceCore>*>(PyCapsule_GetPointer(cap.ptr(), kDeviceCoreCapsule));
}

int clamp_channel(long long n) {
    return static_cast<int>(std::clamp<long long>(n, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

std::string serial_text(py::handle self) { return to_text(self.attr("serial_number")); }

[[noreturn]] void fail_assertion(const std::string& message) { throw AssertionFailure(message); }

// A failed check about this device: AssertionError with `message`, carrying its `kind`,
// the device's serial number and `facts`.
[[noreturn]] void fail_check(py::handle self, const char* kind, const std::string& message,
                             std::initializer_list<Fact> facts = {}) {
    std::vector<Fact> all{{"kind", py::str(kind)}, {"serial_number", py::getattr(self, "serial_number", py::none())}};
    all.insert(all.end(), facts.begin(), facts.end());
    raise_with_facts(PyExc_AssertionError, py::str(message), all);
}

// 0 < channel <= self.channel_count, compared left to right as the interpreter does.
void check_channel_range(py::handle self, py::handle channel) {
    if (!assertions_enabled()) return;
    bool ok = py::int_(0) < py::reinterpret_borrow<py::object>(channel);
    if (ok) ok = py::reinterpret_borrow<py::object>(channel) <= self.attr("channel_count");
    if (!ok) {
        py::object count = self.attr("channel_count");
        fail_check(self, "channel range", "通道号超出范围 (0, " + to_text(count) + "]:" + serial_text(self),
                   {{"channel", py::reinterpret_borrow<py::object>(channel)}, {"channel_count", count}});
    }
}

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

// Stores a count the reply handler gave; false for anything else.
bool store_channel_count(DeviceCore& core, py::handle result) {
    if (!PyLong_Check(result.ptr()) || PyBool_Check(result.ptr())) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(result.ptr(), &overflow);
    if (overflow) v = overflow > 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min() + 1;
    core.channel_count.store(v == DeviceCore::kUnknownCount ? v + 1 : v);
    return true;
}

py::object query_channel_count(const Args& a) {
    py::handle self = a[0];
    auto core = core_of(self);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kChannelCountTimeoutSeconds);
    const auto seconds_left = [&] {
        return std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    };
    py::object limit = py::int_(kChannelCountTimeoutSeconds);
    for (;;) {
        py::object result = self.attr("io_control_master_query")("ChannelCount?",
                                                                  self.attr("handle_channel_count_response"), limit);
        if (store_channel_count(*core, result) || !result.is_none()) break;
        // A device opened with data still queued from before (a program that wrote and
        // left) may hand over an old reply, to someone else's query, ahead of the answer.
        // When a second reply follows within the time, the one taken was that old one:
        // the question is asked again, within the same second.
        const double left = seconds_left();
        if (left <= 0 || !without_gil([&] { return core->master.wait_for_second_reply(left); })) break;
        limit = py::float_(std::max(seconds_left(), 0.0));
    }
    if (assertions_enabled() && core->channel_count.load() == DeviceCore::kUnknownCount)
        fail_check(self, "no channel count", "查询设备通道数量超时:" + serial_text(self));
    return py::none();
}

py::object channel_count(const Args& a) {
    py::handle self = a[0];
    auto core = core_of(self);
    if (core->channel_count.load() == DeviceCore::kUnknownCount) self.attr("_Device__query_channel_count")();
    const long long n = core->channel_count.load();
    if (n == DeviceCore::kUnknownCount) return py::none();
    return py::int_(n);
}

py::object close(const Args& a) {
    py::handle self = a[0];
    auto core = core_of(self);
    core->stop_flag.store(true);
    call_method_blocking(self, "_Device__input_scanner", "join");
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
        report("USB 设备[Torvak:?]读取数据失败，有可能是设备已拔出：" + exception_text(e), kReaderStopped, py::none());
    } catch (const std::exception& e) {
        report(std::string("USB 设备[Torvak:?]读取数据失败，有可能是设备已拔出：") + e.what(), kReaderStopped,
               py::none());
    }
    return py::none();
}

py::object handle_channel_count_response(const Args& a) {
    py::handle package = a[0];
    try {
        py::object as_bytes = bytes_object(package);
        return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type))(as_bytes);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        report("ChannelCount command feedback invalid: [" + to_text(package) + "]");
        return py::none();
    }
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

py::object io_control_master_query(const Args& a) {
    py::handle self = a[0];
    py::handle command = a[1];
    py::handle handler = a[2];
    const double timeout = a.real(3);
    if (assertions_enabled() && !py::bool_(command.attr("endswith")("?")))
        fail_assertion("查询指令必须要以英文问号[?]结尾:" + serial_text(self));
    auto core = core_of(self);
    sync::BlockingLock one_query_at_a_time(core->master_protector);
    core->master.clear();
    self.attr("_send_command_to_channel")(command, 0);
    const bool answered = without_gil([&] { return core->master.wait(timeout); });
    if (!answered) return py::none();
    std::vector<uint8_t> reply = core->master.reply();
    return handler(make_array(Span(reply)));
}

py::object master_basic_handler(const Args& a) {
    py::object b = bytes_object(a[0]);
    try {
        return b.attr("decode")("utf-8");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        return b.attr("decode")("latin-1");
    }
}

py::object echo(const Args& a) {
    py::str command = py::str("Echo ") + py::reinterpret_borrow<py::str>(a[1]) + py::str("?");
    return a[0].attr("io_control_master_query")(command, global("_Device").attr("master_basic_handler"));
}

py::object firmware_version(const Args& a) {
    return a[0].attr("io_control_master_query")("Version?", global("_Device").attr("master_basic_handler"));
}

constexpr const char* kEchoDoc =
    "\n\t\t向 Hid 设备发送参数指定的字符串，然后接收从设备返回的数据，以字符串形式返回给调用者。"
    "\n\t\t正常情况下，返回的字符串应与参数内容完全相同（由调用者检测）。"
    "\n\t\t参数字符串必须要能以 UTF8 编码为字节串，并且编码所得字节串长度不超过一定长度（约57）"
    "\n\t\t";

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
