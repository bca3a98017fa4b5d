// The `_Channel` class: one serial channel of an open device.
#include "channel/channel_binding.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "binding/assertions.hpp"
#include "binding/buffers.hpp"
#include "binding/class_builder.hpp"
#include "binding/error_translation.hpp"
#include "binding/errors.hpp"
#include "binding/runtime.hpp"
#include "wire/wire_format.hpp"

namespace zt::channel {

using namespace binding;

namespace {

// The receive buffer: a capsule while open, None once closed.
constexpr const char* kBufferAttr = "_Channel__in_deque";

py::object g_channel_class;
py::object g_input_data;  // the class's own input_data, to recognise overrides
NativeOutput g_native_output{};

// Packets a write hands over natively at a time: the GIL is taken back between batches,
// so other Python threads are not kept waiting through a long write.
constexpr size_t kNativeBatch = 64;

py::object make_array(std::span<const uint8_t> data) { return unsigned_bytes(data.data(), data.size()); }

// The buffer a capsule of ours holds; TypeError for any other object.
std::shared_ptr<InputBuffer>* capsule_buffer(py::handle cap) {
    if (!PyCapsule_IsValid(cap.ptr(), channel::kInputBufferCapsule))
        throw TypeError("expected the receive buffer of a zeq_torvak channel");
    return static_cast<std::shared_ptr<InputBuffer>*>(PyCapsule_GetPointer(cap.ptr(), channel::kInputBufferCapsule));
}

// The buffer of an open channel, or nullptr once closed.
std::shared_ptr<InputBuffer> buffer_of(py::handle self) {
    py::object cap = self.attr(kBufferAttr);
    if (cap.is_none()) return nullptr;
    return *capsule_buffer(cap);
}

std::string name_of(py::handle self) { return to_text(self.attr("name")); }

// A failure of this channel: `type` with `message`, carrying its `kind`, the device's
// serial number, the channel and `facts`.
[[noreturn]] void fail(py::handle self, PyObject* type, const char* kind, const std::string& message,
                       std::initializer_list<Fact> facts = {}) {
    py::object device = py::getattr(self, "_Channel__device", py::none());
    std::vector<Fact> all{{"kind", py::str(kind)},
                          {"serial_number", py::getattr(device, "serial_number", py::none())},
                          {"channel", py::getattr(self, "_Channel__channel", py::none())}};
    all.insert(all.end(), facts.begin(), facts.end());
    raise_with_facts(type, py::str(message), all);
}

// The closed-channel failure of reading: an assertion, or, with assertions off, the
// error that using the absent buffer would give.
[[noreturn]] void closed_error(py::handle self) {
    if (assertions_enabled()) fail(self, PyExc_AssertionError, "closed", "设备[" + name_of(self) + "]已关闭");
    throw TypeError("object of type 'NoneType' has no len()");
}

// The buffer one read takes from: looked up at its first take and kept for the rest
// of the read. A close meanwhile is still seen at the next take, since close() closes
// the buffer itself before it lets go of the attribute.
class Taker {
public:
    explicit Taker(py::handle self) : self_(self) {}

    // Takes one piece of at most `max_size` bytes; Empty when nothing is buffered.
    InputBuffer::Take take(size_t max_size, std::vector<uint8_t>& out) {
        if (!buffer_ && !(buffer_ = buffer_of(self_))) closed_error(self_);
        const auto got = buffer_->take(max_size, out);
        if (got == InputBuffer::Take::Closed) closed_error(self_);
        return got;
    }

private:
    py::handle self_;
    std::shared_ptr<InputBuffer> buffer_;
};

size_t size_arg(long long v) { return v <= 0 ? 0 : static_cast<size_t>(v); }

// Deadline of a read that starts now: timeout above 0 is a limit, otherwise none.
double deadline_for(py::handle self) {
    const double timeout = self.attr("timeout").cast<double>();
    if (timeout > 0) return global("_now")().cast<double>() + timeout;
    return std::numeric_limits<double>::infinity();
}

// After an empty poll: sleeps 10 ms and returns true while the deadline has not passed.
bool wait_more(double deadline) {
    if (!(global("_now")().cast<double>() < deadline)) return false;
    call_global_blocking("_sleep", ten_milliseconds());
    return true;
}

// ---------------------------------------------------------------------------
// Members

py::object init(const Args& a) {
    py::handle self = a[0];
    self.attr("_Channel__device") = a[1];
    self.attr("_Channel__channel") = a[2];
    self.attr("_Channel__timeout") = a[3];
    self.attr(kBufferAttr) = py::capsule(new std::shared_ptr<InputBuffer>(std::make_shared<InputBuffer>()),
                                         channel::kInputBufferCapsule,
                                         [](void* p) { delete static_cast<std::shared_ptr<InputBuffer>*>(p); });
    self.attr("_Channel__baudrate") = py::none();
    return py::none();
}

py::object update_baudrate(const Args& a) {
    py::handle self = a[0];
    py::object feedback = bytes_object(a[1]).attr("decode")("latin-1");
    try {
        self.attr("_Channel__baudrate") = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type))(feedback);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        report("波特率查询结果异常:" + name_of(self) + "：[" + feedback.cast<std::string>() + "]");
    }
    return py::none();
}

py::object initialize(const Args& a) {
    py::handle self = a[0];
    self.attr("baudrate") = a[1];
    self.attr("_Channel__device").attr("send_command_to_channel")("OpenChannel", self.attr("_Channel__channel"));
    self.attr("flush_input")();
    return py::none();
}

py::object baudrate_get(const Args& a) { return a[0].attr("_Channel__baudrate"); }

py::object baudrate_set(const Args& a) {
    py::handle self = a[0];
    py::object value = py::reinterpret_borrow<py::object>(a[1]);
    py::object dev = self.attr("_Channel__device");
    py::object channel = self.attr("_Channel__channel");
    self.attr("_Channel__baudrate") = py::none();
    dev.attr("set_io_control_handler_for_channel")(self.attr("_update_baudrate"), channel);
    dev.attr("send_command_to_channel")(py::str("Config ") + py::str(value), channel);
    const double deadline = global("_now")().cast<double>() + 1.0;
    dev.attr("send_command_to_channel")("Config?", channel);
    try {
        while (self.attr("_Channel__baudrate").is_none() && global("_now")().cast<double>() <= deadline)
            call_global_blocking("_sleep", ten_milliseconds());
    } catch (py::error_already_set&) {
        // Interrupted while waiting: do not leave the handler behind.
        dev.attr("reset_io_control_handler_for_channel")(channel);
        throw;
    }
    dev.attr("reset_io_control_handler_for_channel")(channel);
    py::object confirmed = self.attr("_Channel__baudrate");
    if (confirmed.is_none())
        fail(self, PyExc_OSError, "baud timeout", "设置波特率超时:" + name_of(self) + ":目标值 = " + to_text(value),
             {{"requested", value}});
    if (!confirmed.equal(value))
        fail(self, PyExc_OSError, "baud mismatch",
             "设置波特率失败:" + name_of(self) + ":当前值 = " + to_text(confirmed) + ":目标值 = " + to_text(value),
             {{"requested", value}, {"reported", confirmed}});
    return py::none();
}

py::object name(const Args& a) {
    py::handle self = a[0];
    return py::str("Torvak:" + to_text(self.attr("_Channel__device").attr("serial_number")) + ":S" +
                   to_text(self.attr("_Channel__channel")));
}

py::object close(const Args& a) {
    py::handle self = a[0];
    auto buffer = buffer_of(self);
    if (!buffer) return py::none();  // already closed: nothing more to tell the device
    buffer->close();
    self.attr(kBufferAttr) = py::none();
    py::object dev = self.attr("_Channel__device");
    py::object channel = self.attr("_Channel__channel");
    try {
        dev.attr("send_command_to_channel")("CloseChannel", channel);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    } catch (const std::exception&) {
    }
    dev.attr("close_channel")(channel);
    return py::none();
}

py::object is_open(const Args& a) { return py::bool_(!a[0].attr(kBufferAttr).is_none()); }

py::object in_waiting(const Args& a) {
    auto buffer = buffer_of(a[0]);
    return py::int_(buffer ? buffer->waiting() : 0);
}

py::object input_data(const Args& a) {
    auto buffer = buffer_of(a[0]);
    if (!buffer) return py::none();
    buffer->append(bytes_of(a[1]));
    return py::none();
}

py::object read_until(const Args& a) {
    py::handle self = a[0];
    const long long code = py::module_::import("builtins").attr("ord")(a[1]).cast<long long>();
    const long long size = a.is_none(2) ? (1LL << 32) : a.integer(2);
    const double deadline = deadline_for(self);
    Taker taker(self);
    std::vector<uint8_t> result, part;
    while (static_cast<long long>(result.size()) < size) {
        if (taker.take(1, part) == InputBuffer::Take::Got) {
            result.push_back(part[0]);
            if (part[0] == code) break;
            continue;
        }
        if (!wait_more(deadline)) break;
    }
    return make_array(result);
}

py::object read(const Args& a) {
    py::handle self = a[0];
    const size_t max_size = size_arg(a.integer(1));
    if (max_size == 0) return make_array({});
    const double deadline = deadline_for(self);
    Taker taker(self);
    std::vector<uint8_t> result, part;
    while (result.size() < max_size) {
        if (taker.take(max_size - result.size(), part) == InputBuffer::Take::Got) {
            result.insert(result.end(), part.begin(), part.end());
            continue;
        }
        if (!wait_more(deadline)) break;
    }
    return make_array(result);
}

py::object private_read(const Args& a) {
    std::vector<uint8_t> part;
    Taker(a[0]).take(size_arg(a.integer(1)), part);
    return make_array(part);
}

py::object write(const Args& a) {
    py::handle self = a[0];
    if (assertions_enabled() && self.attr(kBufferAttr).is_none())
        fail(self, PyExc_AssertionError, "closed", "设备[" + name_of(self) + "]已关闭");
    py::object data = py::reinterpret_borrow<py::object>(a[1]);
    if (PyUnicode_Check(data.ptr())) data = data.attr("encode")("utf8");
    const long long left_total = static_cast<long long>(py::len(data));
    const long long channel = py::int_(self.attr("_Channel__channel")).cast<long long>();
    if (channel < 0 || channel > 255) byte_overflow(channel);
    py::object output = self.attr("_Channel__device").attr("output_data");

    // Contiguous unsigned bytes are cut natively; anything else (strided or reversed
    // views, signed or wider items) is sliced as a sequence, so its elements are
    // taken in order and range-checked.
    std::optional<BufferView> exported;
    std::optional<std::span<const uint8_t>> view;
    if (PyObject_CheckBuffer(data.ptr())) view = exported.emplace(data, PyBUF_FULL_RO).unsigned_bytes();
    if (view && view->size() != static_cast<size_t>(left_total)) view.reset();  // a length that is not the buffer's
    constexpr long long kMaxCount = wire::kMaxPayload;
    long long start = 0;
    long long left = left_total;
    long long count = std::min(left, kMaxCount);
    const auto channel_byte = static_cast<uint8_t>(channel);
    if (view && g_native_output.accepts && g_native_output.accepts(output)) {
        // Cut under the GIL while the buffer is exported, and sent a batch at a time.
        std::vector<wire::Packet> batch;
        batch.reserve(static_cast<size_t>(std::min<long long>((left + kMaxCount - 1) / kMaxCount, kNativeBatch)));
        while (count > 0) {
            batch.clear();
            long long cut = start;
            while (count > 0 && batch.size() < kNativeBatch) {
                batch.push_back(wire::encode_data_packet(
                    channel_byte, view->subspan(static_cast<size_t>(cut), static_cast<size_t>(count))));
                cut += count;
                left -= count;
                count = std::min(left, kMaxCount);
            }
            g_native_output.write(output, batch);
            start = cut;
        }
        return py::int_(start);
    }
    while (count > 0) {
        const auto wanted = static_cast<size_t>(count);
        wire::Packet packet;
        if (view) {
            packet = wire::encode_data_packet(channel_byte, view->subspan(static_cast<size_t>(start), wanted));
        } else {
            // The unsigned-byte array checks each element as it takes it.
            py::object piece = global("_array")("B");
            piece.attr("extend")(data[py::slice(start, start + count, 1)]);
            const std::vector<uint8_t> payload = bytes_of(piece);
            // A sequence that shrank meanwhile gives fewer bytes; one whose slice gives more is cut.
            packet = wire::encode_data_packet(channel_byte, std::span(payload).first(std::min(payload.size(), wanted)));
        }
        output(make_array(packet));
        start += count;
        left -= count;
        count = std::min(left, kMaxCount);
    }
    return py::int_(start);
}

py::object timeout_get(const Args& a) { return a[0].attr("_Channel__timeout"); }

py::object timeout_set(const Args& a) {
    a[0].attr("_Channel__timeout") = a[1];
    return py::none();
}

py::object flush_input(const Args& a) {
    py::handle self = a[0];
    self.attr("_Channel__device").attr("send_command_to_channel")("FlushInput", self.attr("_Channel__channel"));
    auto buffer = buffer_of(self);
    if (!buffer) throw py::attribute_error("'NoneType' object has no attribute 'clear'");
    buffer->clear();
    return py::none();
}

constexpr const char* kReadDoc =
    "\n\t\t从输入缓存中读取数据。"
    "\n\t\t如果缓存中没有数据，返回空数组（长度为零的数组，不是 None）。"
    "\n\t\t如果返回的数组非空，但长度比 max_size 小，调用者需要再次调用此函数，"
    "\n\t\t直到满足了所需的数据长度，或者返回的是空数组。"
    "\n\t\t";

}  // namespace

void set_native_output(NativeOutput output) noexcept { g_native_output = output; }

std::shared_ptr<InputBuffer> native_input_buffer(py::handle channel_obj) {
    if (!g_input_data || !py::object(py::type::of(channel_obj).attr("input_data")).is(g_input_data)) return nullptr;
    py::object cap = py::getattr(channel_obj, kBufferAttr, py::none());
    if (!PyCapsule_IsValid(cap.ptr(), channel::kInputBufferCapsule)) return nullptr;
    return *capsule_buffer(cap);
}

py::object make_channel_class() {
    g_channel_class = build_class(
        "_Channel",
        {
            method("__init__", {{"device", "_Device"}, {"channel_number", "int"}, {"timeout", "float", Default::real(-1.0)}},
                   init),
            method("_update_baudrate", {{"package", "_array"}}, update_baudrate),
            method("initialize", {{"baudrate", "int"}}, initialize),
            property("baudrate", baudrate_get, "int"),
            setter("baudrate", {"value", "int"}, baudrate_set),
            property("name", name, "str"),
            method("close", {}, close),
            property("is_open", is_open, "bool"),
            property("in_waiting", in_waiting, "int"),
            method("input_data", {{"data"}}, input_data),
            method("read_until", {{"expected", nullptr, Default::bytes("\n")}, {"size", "int", Default::none()}},
                   read_until, "_array"),
            method("read", {{"max_size", "int"}}, read),
            method("__read", {{"max_size", "int"}}, private_read, nullptr, kReadDoc),
            method("write", {{"data", "_Iterable"}}, write, "int"),
            property("timeout", timeout_get, "float"),
            setter("timeout", {"value", "float"}, timeout_set),
            method("flush_input", {}, flush_input),
        });
    g_input_data = g_channel_class.attr("input_data");
    return g_channel_class;
}

}  // namespace zt::channel
