#pragma once

#include <string>

#include "device_options.hpp"

namespace torvak_emu {

// Where a device sits: its bus, the address the host knows it by, and its hub port.
struct BusPosition {
  int bus;
  int address;
  int port;
};

std::string devnode_path(int bus, int address);       // /dev/bus/usb/BBB/DDD
std::string root_hub_devpath(int bus);                // /devices/.../usbB
std::string device_devpath(const BusPosition& where); // /devices/.../usbB/B-P
std::string char_device_link(int bus, int address);   // /sys/dev/char/189:M

// Device records in umockdev's text format (what add_from_string takes). Neither has an
// N: line: the emulator creates the device node itself.
std::string root_hub_record(int bus);
std::string device_record(const DeviceOptions& options, const BusPosition& where);

}  // namespace torvak_emu
