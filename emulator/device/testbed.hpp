#pragma once

#include <umockdev.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device_options.hpp"
#include "emulated_device.hpp"
#include "scheduler.hpp"

namespace torvak_emu {

// The process's umockdev testbed and the devices plugged into it.
//
// libusb reads /sys and /dev/bus/usb and opens its uevent monitor in libusb_init, so the
// testbed (which points the umockdev preload at its own directory) has to exist before
// the first libusb_init of the process. There is one per process and it is never freed:
// libusb handles may outlive anything we could tear down.
class Testbed {
 public:
  static Testbed& instance();

  // Adds the device: node and ioctl handler first, then the sysfs record, whose "add"
  // uevent may make a listening libusb open the node at once.
  std::shared_ptr<EmulatedDevice> plug(DeviceOptions options);
  // Surprise removal: the device fails what is pending, a "remove" uevent goes out, then
  // the sysfs record, the node and the ioctl handler go. Idempotent.
  void unplug(const std::shared_ptr<EmulatedDevice>& device);
  std::vector<std::shared_ptr<EmulatedDevice>> devices() const;
  void close();
  // At process exit: unplugs everything, stops the scheduler, removes the directory.
  void shutdown();

  std::string root_dir() const { return root_dir_; }

 private:
  Testbed();

  // These expect mutex_ to be held.
  void ensure_root_hub(int bus);
  int pick_address(int bus, int requested) const;
  int pick_port(int bus) const;

  struct Plugged {
    std::shared_ptr<EmulatedDevice> device;
    int port;
  };

  // Guards the tables below and every call into umockdev's testbed. Taken before a
  // device's own mutex, never while holding one.
  mutable std::mutex mutex_;
  UMockdevTestbed* const testbed_;
  const std::string root_dir_;
  Scheduler scheduler_;
  std::set<int> root_hubs_;                               // guarded by mutex_
  std::map<int, int> last_address_;                       // per bus; guarded by mutex_
  std::vector<Plugged> plugged_;                          // guarded by mutex_
  // Unplugged devices stay alive: a client that still holds the old node open keeps
  // talking to the handler (and gets ENODEV).
  std::vector<std::shared_ptr<EmulatedDevice>> retired_;  // guarded by mutex_
  bool shut_down_ = false;                                // guarded by mutex_
};

}  // namespace torvak_emu
