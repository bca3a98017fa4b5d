#include "descriptors.hpp"

#include <string>

namespace torvak_emu {
namespace {

constexpr uint8_t kDeviceDescriptorType = 1;
constexpr uint8_t kConfigurationDescriptorType = 2;
constexpr uint8_t kStringDescriptorType = 3;
constexpr uint8_t kInterfaceDescriptorType = 4;
constexpr uint8_t kEndpointDescriptorType = 5;
constexpr uint8_t kVendorSpecificClass = 0xFF;
constexpr uint8_t kBusPoweredAttributes = 0x80;
constexpr uint8_t kMaxPower100mA = 50;  // in units of 2 mA
constexpr uint8_t kInterruptAttributes = 0x03;
constexpr uint8_t kBulkAttributes = 0x02;
constexpr uint8_t kInterval = 1;
// bLength of a string descriptor is one byte, so at most 126 UTF-16 units fit.
constexpr size_t kMaxStringUnits = 126;

void put_u16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void put_endpoint(Bytes& out, uint8_t address, TransferKind transfer) {
  out.insert(out.end(), {7, kEndpointDescriptorType, address,
                         transfer == TransferKind::kInterrupt ? kInterruptAttributes
                                                              : kBulkAttributes});
  put_u16(out, kMaxPacketSize);
  out.push_back(kInterval);
}

// Decodes UTF-8 into UTF-16 code units; malformed input becomes U+FFFD.
std::u16string utf16_from_utf8(const std::string& text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    uint32_t code = 0xFFFD;
    size_t extra = 0;
    if (lead < 0x80) {
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      code = lead & 0x1F;
      extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      code = lead & 0x0F;
      extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      code = lead & 0x07;
      extra = 3;
    }
    bool valid = lead < 0x80 || extra > 0;
    for (size_t k = 1; valid && k <= extra; ++k) {
      if (i + k >= text.size() || (static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) {
        valid = false;
      } else {
        code = (code << 6) | (static_cast<uint8_t>(text[i + k]) & 0x3F);
      }
    }
    if (!valid) {
      code = 0xFFFD;
      extra = 0;
    }
    i += 1 + extra;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

Bytes encode_string(const std::string& text) {
  std::u16string units = utf16_from_utf8(text);
  if (units.size() > kMaxStringUnits) units.resize(kMaxStringUnits);
  Bytes out{static_cast<uint8_t>(2 + 2 * units.size()), kStringDescriptorType};
  for (char16_t unit : units) put_u16(out, static_cast<uint16_t>(unit));
  return out;
}

}  // namespace

Bytes device_descriptor(const DeviceOptions& options) {
  Bytes out{18, kDeviceDescriptorType};
  put_u16(out, 0x0200);  // USB 2.0
  out.insert(out.end(), {0, 0, 0, kMaxPacketSize});
  put_u16(out, kVendorId);
  put_u16(out, kProductId);
  put_u16(out, kDeviceRelease);
  out.insert(out.end(), {kManufacturerIndex, kProductIndex,
                         static_cast<uint8_t>(options.serial_string ? kSerialIndex : 0), 1});
  return out;
}

Bytes configuration_descriptor(const DeviceOptions& options) {
  Bytes out{9, kConfigurationDescriptorType};
  put_u16(out, 9 + 9 + 7 + 7);
  out.insert(out.end(), {1, kConfigurationValue, 0, kBusPoweredAttributes, kMaxPower100mA});
  out.insert(out.end(),
             {9, kInterfaceDescriptorType, kInterfaceNumber, 0, 2, kVendorSpecificClass, 0, 0, 0});
  if (options.swap_endpoints) {
    put_endpoint(out, kOutEndpoint, options.transfer);
    put_endpoint(out, kInEndpoint, options.transfer);
  } else {
    put_endpoint(out, kInEndpoint, options.transfer);
    put_endpoint(out, kOutEndpoint, options.transfer);
  }
  return out;
}

std::optional<Bytes> string_descriptor(const DeviceOptions& options, uint8_t index,
                                       uint16_t lang_id) {
  if (index == 0) {
    Bytes out{4, kStringDescriptorType};
    put_u16(out, kLangIdEnglishUs);
    return out;
  }
  if (lang_id != kLangIdEnglishUs) return std::nullopt;
  switch (index) {
    case kManufacturerIndex:
      return encode_string(kManufacturer);
    case kProductIndex:
      return encode_string(kProduct);
    case kSerialIndex:
      if (options.serial_string) return encode_string(options.serial);
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

Bytes sysfs_descriptors(const DeviceOptions& options) {
  Bytes out = device_descriptor(options);
  Bytes config = configuration_descriptor(options);
  out.insert(out.end(), config.begin(), config.end());
  return out;
}

Bytes root_hub_descriptors() {
  Bytes out{18, kDeviceDescriptorType};
  put_u16(out, 0x0200);
  out.insert(out.end(), {9, 0, 1, 64});  // hub class, single TT
  put_u16(out, 0x1d6b);                  // Linux Foundation
  put_u16(out, 0x0002);                  // 2.0 root hub
  put_u16(out, 0x0600);
  out.insert(out.end(), {0, 0, 0, 1});
  out.insert(out.end(), {9, kConfigurationDescriptorType});
  put_u16(out, 9 + 9 + 7);
  out.insert(out.end(), {1, 1, 0, 0xE0, 0});
  out.insert(out.end(), {9, kInterfaceDescriptorType, 0, 0, 1, 9, 0, 0, 0});
  out.insert(out.end(), {7, kEndpointDescriptorType, 0x81, kInterruptAttributes});
  put_u16(out, 4);
  out.push_back(12);
  return out;
}

}  // namespace torvak_emu
