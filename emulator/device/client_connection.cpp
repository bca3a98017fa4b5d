#include "client_connection.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace torvak_emu {
namespace {

// The sockets some ClientConnection holds, across all devices: a re-plugged device can
// get the node (and so the socket path) of an unplugged one whose clients are still open.
std::mutex held_mutex;
std::set<ino_t> held_inodes;  // guarded by held_mutex

// A Unix stream socket reports POLLHUP once its peer has closed.
bool hung_up(int fd) {
  pollfd entry{fd, 0, 0};
  return poll(&entry, 1, 0) == 1 && (entry.revents & (POLLHUP | POLLERR)) != 0;
}

bool is_accepted_on(int fd, const std::string& socket_path, ino_t& inode) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
  int listening = 0;
  socklen_t size = sizeof(listening);
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening) return false;
  sockaddr_un address{};
  socklen_t length = sizeof(address);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  if (address.sun_family != AF_UNIX || length <= offsetof(sockaddr_un, sun_path)) return false;
  const size_t name_length = strnlen(address.sun_path, length - offsetof(sockaddr_un, sun_path));
  if (std::string(address.sun_path, name_length) != socket_path) return false;
  inode = status.st_ino;
  return true;
}

}  // namespace

ClientConnection ClientConnection::newest(const std::string& socket_path) {
  std::lock_guard<std::mutex> lock(held_mutex);
  std::vector<std::pair<int, ino_t>> candidates;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return {};
  const int own = dirfd(dir);
  while (const dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == own) continue;
    ino_t inode = 0;
    // A client that has closed may linger until umockdev gets round to closing its end.
    if (is_accepted_on(static_cast<int>(fd), socket_path, inode) && held_inodes.count(inode) == 0 &&
        !hung_up(static_cast<int>(fd))) {
      candidates.emplace_back(static_cast<int>(fd), inode);
    }
  }
  closedir(dir);
  if (candidates.size() != 1) return {};

  const int fd = fcntl(candidates.front().first, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return {};
  struct stat status {};
  // The number may have been closed and reused since it was listed.
  if (fstat(fd, &status) != 0 || status.st_ino != candidates.front().second) {
    ::close(fd);
    return {};
  }
  ClientConnection connection;
  connection.fd_ = fd;
  connection.inode_ = status.st_ino;
  held_inodes.insert(connection.inode_);
  return connection;
}

ClientConnection::~ClientConnection() { reset(); }

ClientConnection::ClientConnection(ClientConnection&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), inode_(other.inode_) {}

ClientConnection& ClientConnection::operator=(ClientConnection&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
    inode_ = other.inode_;
  }
  return *this;
}

void ClientConnection::reset() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  std::lock_guard<std::mutex> lock(held_mutex);
  held_inodes.erase(inode_);
}

bool ClientConnection::client_gone() const {
  return fd_ >= 0 && hung_up(fd_);
}

}  // namespace torvak_emu
