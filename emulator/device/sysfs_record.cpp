#include "sysfs_record.hpp"

#include <cstdio>

#include "descriptors.hpp"

namespace torvak_emu {
namespace {

constexpr int kUsbDeviceMajor = 189;
constexpr int kRootHubAddress = 1;

std::string format(const char* pattern, int a, int b = 0) {
  char text[64];
  std::snprintf(text, sizeof(text), pattern, a, b);
  return text;
}

std::string hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

// A: values are C-style escaped; every sysfs text attribute ends with a line feed.
std::string attribute(const std::string& name, const std::string& value) {
  std::string escaped;
  for (char c : value) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return "A: " + name + "=" + escaped + "\\n\n";
}

int usb_device_minor(int bus, int address) { return (bus - 1) * 128 + (address - 1); }

std::string usb_device_common(int bus, int address) {
  const int minor = usb_device_minor(bus, address);
  return "E: DEVNAME=" + devnode_path(bus, address) + "\n" +
         "E: DEVTYPE=usb_device\n"
         "E: DRIVER=usb\n"
         "E: BUSNUM=" + format("%03d", bus) + "\n" +
         "E: DEVNUM=" + format("%03d", address) + "\n" +
         "E: MAJOR=" + std::to_string(kUsbDeviceMajor) + "\n" +
         "E: MINOR=" + std::to_string(minor) + "\n" +
         "E: SUBSYSTEM=usb\n" +
         attribute("busnum", std::to_string(bus)) +
         attribute("devnum", std::to_string(address)) +
         attribute("dev", format("%d:%d", kUsbDeviceMajor, minor)) +
         attribute("bConfigurationValue", "1") +
         attribute("bNumConfigurations", "1") +
         attribute("bNumInterfaces", " 1");
}

}  // namespace

std::string devnode_path(int bus, int address) {
  return format("/dev/bus/usb/%03d/%03d", bus, address);
}

std::string root_hub_devpath(int bus) {
  return format("/devices/platform/dummy_hcd.%d/usb%d", bus - 1, bus);
}

std::string device_devpath(const BusPosition& where) {
  return root_hub_devpath(where.bus) + format("/%d-%d", where.bus, where.port);
}

std::string root_hub_record(int bus) {
  return "P: " + root_hub_devpath(bus) + "\n" +
         "E: PRODUCT=1d6b/2/600\n"
         "E: TYPE=9/0/1\n" +
         usb_device_common(bus, kRootHubAddress) +
         attribute("idVendor", "1d6b") +
         attribute("idProduct", "0002") +
         attribute("speed", "480") +
         "H: descriptors=" + hex(root_hub_descriptors()) + "\n\n";
}

std::string device_record(const DeviceOptions& options, const BusPosition& where) {
  std::string record =
      "P: " + device_devpath(where) + "\n" +
      format("E: PRODUCT=%x/%x", kVendorId, kProductId) + format("/%x\n", kDeviceRelease) +
      "E: TYPE=0/0/0\n" +
      usb_device_common(where.bus, where.address) +
      attribute("idVendor", format("%04x", kVendorId)) +
      attribute("idProduct", format("%04x", kProductId)) +
      attribute("bcdDevice", format("%04x", kDeviceRelease)) +
      attribute("manufacturer", kManufacturer) +
      attribute("product", kProduct) +
      attribute("speed", "12") +
      attribute("version", " 2.00");
  if (options.serial_string) record += attribute("serial", options.serial);
  record += "H: descriptors=" + hex(sysfs_descriptors(options)) + "\n\n";
  return record;
}

std::string char_device_link(int bus, int address) {
  return format("/sys/dev/char/%d:%d", kUsbDeviceMajor, usb_device_minor(bus, address));
}

}  // namespace torvak_emu
