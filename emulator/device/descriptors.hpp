#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "device_options.hpp"

namespace torvak_emu {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kLangIdEnglishUs = 0x0409;

// Indexes of the string descriptors; the serial index is 0 when the device has none.
constexpr uint8_t kManufacturerIndex = 1;
constexpr uint8_t kProductIndex = 2;
constexpr uint8_t kSerialIndex = 3;

Bytes device_descriptor(const DeviceOptions& options);

// The whole configuration: configuration, interface and both endpoint descriptors.
Bytes configuration_descriptor(const DeviceOptions& options);

// String descriptor `index` (0 is the language table); nullopt where the device would stall.
std::optional<Bytes> string_descriptor(const DeviceOptions& options, uint8_t index,
                                       uint16_t lang_id);

// What sysfs shows as `descriptors`: the device descriptor then every configuration.
Bytes sysfs_descriptors(const DeviceOptions& options);

// A root hub on the same bus, so that the host finds the parent of each device.
Bytes root_hub_descriptors();

}  // namespace torvak_emu
