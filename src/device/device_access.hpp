// What the `_Device` members share: the core behind a device object, a channel number as
// the core keys it, the serial number as messages give it, and the checks that fail as
// the interpreter's `assert` statements would.
#pragma once

#include "binding/python.hpp"

#include <initializer_list>
#include <memory>
#include <string>

#include "binding/error_translation.hpp"
#include "device/device_core.hpp"

namespace zt::device {

// The attribute in which a device object keeps its core's capsule.
inline constexpr const char* kCoreAttr = "_Device__core";

// The core of an initialised device object. Expects the GIL.
std::shared_ptr<DeviceCore> core_of(py::handle self);

// A channel number given as an int, held in the range of the core's keys.
int clamp_channel(long long n);

// str(self.serial_number). Expects the GIL.
std::string serial_text(py::handle self);

// AssertionError with `message`. Call only after asking assertions_enabled().
[[noreturn]] void fail_assertion(const std::string& message);

// A failed check about this device: AssertionError with `message`, carrying its `kind`,
// the device's serial number and `facts`. Expects the GIL.
[[noreturn]] void fail_check(py::handle self, const char* kind, const std::string& message,
                             std::initializer_list<binding::Fact> facts = {});

// 0 < channel <= self.channel_count, compared left to right as the interpreter does;
// nothing while assertions are off. Expects the GIL.
void check_channel_range(py::handle self, py::handle channel);

}  // namespace zt::device
