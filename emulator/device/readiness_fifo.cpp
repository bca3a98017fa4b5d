#include "readiness_fifo.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace torvak_emu {
namespace {

// One page is the smallest pipe the kernel allows; it keeps each fill and drain cheap.
constexpr int kPipeSize = 4096;
// Larger than PIPE_BUF, so a non-blocking write may be partial and fills the pipe to the byte.
constexpr size_t kChunk = 2 * kPipeSize;

}  // namespace

ReadinessFifo::ReadinessFifo(std::string path) : path_(std::move(path)) {
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
  // Whatever was left at this path goes: filling a regular file would never stop.
  ::unlink(path_.c_str());
  if (::mkfifo(path_.c_str(), 0666) != 0) {
    throw std::system_error(errno, std::generic_category(), "mkfifo " + path_);
  }
  // O_RDWR keeps the FIFO open without a peer, so opening never blocks and a write never
  // sees EPIPE.
  fd_ = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "open " + path_);
  struct stat status {};
  if (::fstat(fd_, &status) != 0 || !S_ISFIFO(status.st_mode)) {
    close();
    throw std::runtime_error(path_ + " is not a FIFO");
  }
  ::fcntl(fd_, F_SETPIPE_SZ, kPipeSize);
  set_ready(false);
}

ReadinessFifo::~ReadinessFifo() { close(); }

void ReadinessFifo::set_ready(bool ready) {
  if (fd_ < 0 || ready == ready_) return;
  ready_ = ready;
  if (ready) {
    drain();
  } else {
    fill();
  }
}

void ReadinessFifo::fill() {
  static const std::vector<char> zeros(kChunk, 0);
  while (::write(fd_, zeros.data(), zeros.size()) > 0) {
  }
}

void ReadinessFifo::drain() {
  std::vector<char> sink(kChunk);
  while (::read(fd_, sink.data(), sink.size()) > 0) {
  }
}

void ReadinessFifo::unlink_node() { ::unlink(path_.c_str()); }

void ReadinessFifo::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace torvak_emu
