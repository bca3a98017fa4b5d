#include "device/device_access.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "binding/assertions.hpp"
#include "binding/errors.hpp"
#include "binding/runtime.hpp"

namespace zt::device {

using namespace binding;

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

[[noreturn]] void fail_check(py::handle self, const char* kind, const std::string& message,
                             std::initializer_list<Fact> facts) {
    std::vector<Fact> all{{"kind", py::str(kind)}, {"serial_number", py::getattr(self, "serial_number", py::none())}};
    all.insert(all.end(), facts.begin(), facts.end());
    raise_with_facts(PyExc_AssertionError, py::str(message), all);
}

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

}  // namespace zt::device
