#pragma once

#include <string>

namespace torvak_emu {

// The device node the host opens. umockdev forwards ioctls but not poll(), and libusb
// waits for POLLOUT on the node before it reaps URBs. A regular file is always writable,
// which makes an idle libusb spin on REAPURBNDELAY. As a FIFO that we keep full while
// nothing waits to be reaped, and empty while something does, the node is writable exactly
// when the kernel's usbfs node would be.
class ReadinessFifo {
 public:
  // Creates the FIFO at `path` (parent directories included) and makes it not ready.
  explicit ReadinessFifo(std::string path);
  ~ReadinessFifo();
  ReadinessFifo(const ReadinessFifo&) = delete;
  ReadinessFifo& operator=(const ReadinessFifo&) = delete;

  void set_ready(bool ready);
  // Unlinks the node; clients that still have it open keep their descriptor.
  void unlink_node();
  // Drops our end once no client can be waiting on it any more.
  void close();

  const std::string& path() const { return path_; }

 private:
  void fill();
  void drain();

  std::string path_;
  int fd_ = -1;
  bool ready_ = true;
};

}  // namespace torvak_emu
