#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "descriptors.hpp"

namespace torvak_emu {

struct SetupPacket {
  uint8_t request_type = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;

  static SetupPacket parse(std::span<const uint8_t, 8> bytes);
  bool device_to_host() const { return (request_type & 0x80) != 0; }
};

// Answers a request on endpoint 0: the data stage of an IN request (already cut to
// wLength), empty for an accepted OUT request, nullopt where the device stalls.
std::optional<Bytes> answer_standard_request(const DeviceOptions& options,
                                             const SetupPacket& setup);

}  // namespace torvak_emu
