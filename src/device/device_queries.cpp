#include "device/device_queries.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <vector>

#include "binding/assertions.hpp"
#include "binding/buffers.hpp"
#include "binding/gil.hpp"
#include "binding/runtime.hpp"
#include "device/device_access.hpp"
#include "device/python_adapters.hpp"
#include "sync/blocking_lock.hpp"

namespace zt::device {

using namespace binding;

namespace {

// How long the channel-count query waits for the device, in all.
constexpr int kChannelCountTimeoutSeconds = 1;

// Stores a count the reply handler gave; false for anything else.
bool store_channel_count(DeviceCore& core, py::handle result) {
    if (!PyLong_Check(result.ptr()) || PyBool_Check(result.ptr())) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(result.ptr(), &overflow);
    if (overflow) v = overflow > 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min() + 1;
    core.channel_count.store(v == DeviceCore::kUnknownCount ? v + 1 : v);
    return true;
}

}  // namespace

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
    return handler(make_array(std::span<const uint8_t>(reply)));
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

}  // namespace zt::device
