#include "standard_requests.hpp"

namespace torvak_emu {
namespace {

constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kStandardDeviceIn = 0x80;
constexpr uint8_t kStandardDeviceOut = 0x00;
constexpr uint8_t kDeviceType = 1;
constexpr uint8_t kConfigurationType = 2;
constexpr uint8_t kStringType = 3;

std::optional<Bytes> descriptor(const DeviceOptions& options, uint8_t type, uint8_t index,
                                uint16_t lang_id) {
  switch (type) {
    case kDeviceType:
      return device_descriptor(options);
    case kConfigurationType:
      if (index != 0) return std::nullopt;
      return configuration_descriptor(options);
    case kStringType:
      return string_descriptor(options, index, lang_id);
    default:
      return std::nullopt;
  }
}

}  // namespace

SetupPacket SetupPacket::parse(std::span<const uint8_t, 8> bytes) {
  auto u16 = [&](size_t at) { return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8)); };
  return SetupPacket{bytes[0], bytes[1], u16(2), u16(4), u16(6)};
}

std::optional<Bytes> answer_standard_request(const DeviceOptions& options,
                                             const SetupPacket& setup) {
  std::optional<Bytes> answer;
  if (setup.request_type == kStandardDeviceIn) {
    switch (setup.request) {
      case kGetDescriptor:
        answer = descriptor(options, static_cast<uint8_t>(setup.value >> 8),
                            static_cast<uint8_t>(setup.value & 0xFF), setup.index);
        break;
      case kGetConfiguration:
        answer = Bytes{kConfigurationValue};
        break;
      case kGetStatus:
        answer = Bytes{0, 0};
        break;
      default:
        break;
    }
  } else if (setup.request_type == kStandardDeviceOut && setup.request == kSetConfiguration &&
             setup.length == 0 && (setup.value == 0 || setup.value == kConfigurationValue)) {
    answer = Bytes{};
  }
  if (answer && answer->size() > setup.length) answer->resize(setup.length);
  return answer;
}

}  // namespace torvak_emu
