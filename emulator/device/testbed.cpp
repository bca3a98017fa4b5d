#include "testbed.hpp"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "sysfs_record.hpp"

namespace torvak_emu {
namespace {

constexpr int kFirstDeviceAddress = 2;  // 1 is the root hub
constexpr int kLastDeviceAddress = 127;
constexpr size_t kMaxSerialLength = 126;  // what a string descriptor holds

std::string take_error(GError* error) {
  std::string message = error != nullptr ? error->message : "unknown error";
  if (error != nullptr) g_error_free(error);
  return message;
}

void check_options(const DeviceOptions& options) {
  if (options.serial.empty() || options.serial.size() > kMaxSerialLength ||
      options.serial.find_first_of(std::string("\n\0", 2)) != std::string::npos) {
    throw std::invalid_argument("the serial number is 1 to 126 bytes without line feeds or NULs");
  }
  if (options.channels < 0 || options.channels > Firmware::kMaxDataChannel) {
    throw std::invalid_argument("the channel count is 0 to 99");
  }
  if (options.version.size() > Firmware::kMaxPayload) {
    throw std::invalid_argument("the version text fits one reply: at most 62 bytes");
  }
  if (options.bus < 1 || options.bus > 255) throw std::invalid_argument("buses are 1 to 255");
  if (options.address != 0 &&
      (options.address < kFirstDeviceAddress || options.address > kLastDeviceAddress)) {
    throw std::invalid_argument("device addresses are 2 to 127");
  }
}

}  // namespace

Testbed& Testbed::instance() {
  // Deliberately leaked, see the class comment.
  static Testbed* const testbed = new Testbed();
  return *testbed;
}

Testbed::Testbed()
    : testbed_(umockdev_testbed_new()),
      root_dir_([this] {
        gchar* dir = umockdev_testbed_get_root_dir(testbed_);
        std::string out = dir;
        g_free(dir);
        return out;
      }()) {}

std::shared_ptr<EmulatedDevice> Testbed::plug(DeviceOptions options) {
  check_options(options);
  std::lock_guard<std::mutex> lock(mutex_);
  if (shut_down_) throw std::runtime_error("the testbed has been shut down");
  ensure_root_hub(options.bus);
  options.address = pick_address(options.bus, options.address);
  const BusPosition where{options.bus, options.address, pick_port(options.bus)};
  const std::string devnode = devnode_path(where.bus, where.address);
  const std::string syspath = "/sys" + device_devpath(where);
  const std::string record = device_record(options, where);

  auto device = std::make_shared<EmulatedDevice>(
      options, devnode, syspath, root_dir_ + devnode, root_dir_ + "/ioctl" + devnode, scheduler_,
      [this](std::shared_ptr<EmulatedDevice> self) { unplug(self); });
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), device->handler(), &error)) {
    ::unlink(device->node_path().c_str());
    throw std::runtime_error("attaching the ioctl handler failed: " + take_error(error));
  }
  if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
    const std::string message = take_error(error);
    umockdev_testbed_detach_ioctl(testbed_, devnode.c_str(), nullptr);
    ::unlink(device->node_path().c_str());
    throw std::runtime_error("adding the device record failed: " + message);
  }
  last_address_[options.bus] = options.address;
  plugged_.push_back(Plugged{device, where.port});
  return device;
}

void Testbed::unplug(const std::shared_ptr<EmulatedDevice>& device) {
  device->disconnect();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(plugged_.begin(), plugged_.end(),
                         [&](const Plugged& p) { return p.device == device; });
  if (it == plugged_.end()) return;
  // libudev builds the removed device from the uevent itself, so the record may go
  // right after it is sent.
  umockdev_testbed_uevent(testbed_, device->syspath().c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, device->syspath().c_str());
  // umockdev leaves the device-number link behind, and a later device given the same
  // address (addresses wrap after 126 plugs) would fail to add over it.
  ::unlink((root_dir_ + char_device_link(device->options().bus, device->options().address)).c_str());
  ::unlink(device->node_path().c_str());
  umockdev_testbed_detach_ioctl(testbed_, device->devnode().c_str(), nullptr);
  device->node_removed();
  retired_.push_back(device);
  plugged_.erase(it);
}

std::vector<std::shared_ptr<EmulatedDevice>> Testbed::devices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<EmulatedDevice>> out;
  for (const auto& p : plugged_) out.push_back(p.device);
  return out;
}

void Testbed::close() {
  for (const auto& device : devices()) unplug(device);
}

void Testbed::shutdown() {
  close();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shut_down_ = true;
  }
  scheduler_.stop();
  std::error_code ignored;
  std::filesystem::remove_all(root_dir_, ignored);
}

void Testbed::ensure_root_hub(int bus) {
  if (root_hubs_.count(bus) != 0) return;
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, root_hub_record(bus).c_str(), &error)) {
    throw std::runtime_error("adding the root hub failed: " + take_error(error));
  }
  root_hubs_.insert(bus);
}

int Testbed::pick_address(int bus, int requested) const {
  auto in_use = [&](int address) {
    return std::any_of(plugged_.begin(), plugged_.end(), [&](const Plugged& p) {
      return p.device->options().bus == bus && p.device->options().address == address;
    });
  };
  if (requested != 0) {
    if (in_use(requested)) throw std::invalid_argument("that address is in use on that bus");
    return requested;
  }
  // Like the kernel: the next free address after the last one given out, wrapping around,
  // so a re-plugged device comes back under a new address.
  auto last = last_address_.find(bus);
  int candidate = last == last_address_.end() ? kFirstDeviceAddress - 1 : last->second;
  for (int tries = 0; tries < kLastDeviceAddress; ++tries) {
    candidate = candidate >= kLastDeviceAddress ? kFirstDeviceAddress : candidate + 1;
    if (!in_use(candidate)) return candidate;
  }
  throw std::runtime_error("no free address on that bus");
}

int Testbed::pick_port(int bus) const {
  for (int port = 1;; ++port) {
    const bool taken = std::any_of(plugged_.begin(), plugged_.end(), [&](const Plugged& p) {
      return p.device->options().bus == bus && p.port == port;
    });
    if (!taken) return port;
  }
}

}  // namespace torvak_emu
