#pragma once

#include <sys/types.h>

#include <string>

namespace torvak_emu {

// This process's own hold on the connection umockdev accepted for one client descriptor
// of an emulated node, to tell when the client's end has closed.
//
// umockdev notices that a client went away only while it waits for the client's next
// ioctl. A process killed with an ioctl unanswered never gets that far: umockdev's answer
// fails, nobody reads the connection again, and the client stays "connected" for good,
// keeping whatever it had claimed. The kernel releases a claim when the last descriptor
// of the file closes, whatever the process was doing; the socket itself knows when that
// is (the far end hangs up once every descriptor of it has closed, forks included).
class ClientConnection {
 public:
  ClientConnection() = default;
  // On umockdev's worker thread, from its client-connected signal, which comes right
  // after the accept: the connected socket bound to `socket_path` (the node's ioctl
  // socket) that no other ClientConnection holds. Holds nothing when there is not
  // exactly one such socket.
  static ClientConnection newest(const std::string& socket_path);

  ~ClientConnection();
  ClientConnection(ClientConnection&& other) noexcept;
  ClientConnection& operator=(ClientConnection&& other) noexcept;
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  bool held() const { return fd_ >= 0; }
  // Every descriptor of the client's end has closed. False when nothing is held.
  bool client_gone() const;

 private:
  void reset();

  int fd_ = -1;    // our duplicate of umockdev's descriptor, so the number cannot be reused
  ino_t inode_ = 0;
};

}  // namespace torvak_emu
