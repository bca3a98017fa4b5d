#pragma once

#include <cstdint>
#include <string>

namespace torvak_emu {

enum class TransferKind { kInterrupt, kBulk };

// What one emulated device looks like on the bus; fixed for the life of a plug.
struct DeviceOptions {
  std::string serial = "EMU0001";
  int channels = 4;
  std::string version = "Torvak-EMU 1.0";
  bool kernel_driver = false;    // interface 0 starts bound to a kernel driver
  TransferKind transfer = TransferKind::kInterrupt;
  bool swap_endpoints = false;   // descriptor lists OUT before IN
  bool serial_string = true;     // false: iSerialNumber is 0
  int bus = 1;
  int address = 0;               // 0: the testbed picks the next free address
};

constexpr uint16_t kVendorId = 0x0483;
constexpr uint16_t kProductId = 0x5750;
constexpr uint16_t kDeviceRelease = 0x0100;
constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x01;
constexpr int kMaxPacketSize = 64;
constexpr uint8_t kConfigurationValue = 1;
constexpr uint8_t kInterfaceNumber = 0;
constexpr const char* kKernelDriverName = "usbhid";
constexpr const char* kManufacturer = "Torvak";
constexpr const char* kProduct = "Torvak multi-channel serial (emulated)";

}  // namespace torvak_emu
