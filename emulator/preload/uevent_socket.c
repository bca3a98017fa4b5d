// Preloaded into the processes that use the emulated bus, ahead of umockdev's preload
// library (torvak_emu.Testbed puts it in LD_PRELOAD for the children it starts).
//
// umockdev delivers uevents through a Unix socket per listener, named after the
// listener's descriptor number alone ($UMOCKDEV_DIR/event<fd>), and unlinks that name
// before binding it. Two processes whose uevent monitors got the same descriptor number
// (any two started alike) share the name: the second unlinks the first one's socket,
// and the first never hears of a device again. libusb builds its device list from those
// uevents, so a long-lived process then lists no re-plugged and no new device. Here each
// process binds a name of its own, event<fd>-<pid>, which umockdev's sender still finds
// (it sends to every event[0-9]* in the directory and removes names nobody listens on).
//
// umockdev also sends every uevent as udev sends it: a "libudev" header, then the
// properties, with the sender made out to be udev's group. A libusb built without udev
// listens for the kernel's own uevents instead (a netlink socket bound to the kernel's
// group) and drops anything else, so it would never hear of a device plugged in after it
// started. For a socket bound to the kernel's group, recvmsg here hands over each uevent
// the way the kernel sends it: "ACTION@DEVPATH", then the same properties, from the
// kernel's group and port 0 (umockdev already reports the sender's uid as 0). Sockets
// bound to udev's group get udev's messages as before.
#include <dlfcn.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum {
  kKernelGroup = 1,           // the kernel's uevent multicast group
  kTrackedDescriptors = 4096  // sockets on higher descriptors are left as umockdev has them
};

// The uevent sockets bound to the kernel's group, by descriptor: the socket's inode, or 0.
// Set by bind; recvmsg (on libusb's event thread) rewrites messages only for the very
// socket that was bound, not for whatever took its number after it was closed.
static unsigned long kernel_group_socket[kTrackedDescriptors];

static unsigned long inode_of(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode)) return 0;
  return (unsigned long)status.st_ino;
}

static void mark_kernel_group(int fd, unsigned long inode) {
  if (fd >= 0 && fd < kTrackedDescriptors)
    __atomic_store_n(&kernel_group_socket[fd], inode, __ATOMIC_RELEASE);
}

static int is_kernel_group(int fd) {
  if (fd < 0 || fd >= kTrackedDescriptors) return 0;
  const unsigned long inode = __atomic_load_n(&kernel_group_socket[fd], __ATOMIC_ACQUIRE);
  return inode != 0 && inode == inode_of(fd);
}

typedef int (*BindFunction)(int, const struct sockaddr*, socklen_t);

static int domain_of(int fd) {
  int domain = -1;
  socklen_t length = sizeof(domain);
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0) return -1;
  return domain;
}

__attribute__((visibility("default"))) int bind(int fd, const struct sockaddr* address,
                                                socklen_t length) {
  static BindFunction next;
  if (next == NULL) next = (BindFunction)dlsym(RTLD_NEXT, "bind");
  const char* dir = getenv("UMOCKDEV_DIR");
  // umockdev's socket() made a uevent netlink socket a Unix one; the caller still binds
  // it with a netlink address.
  if (dir != NULL && address != NULL && length >= sizeof(sa_family_t) &&
      address->sa_family == AF_NETLINK && domain_of(fd) == AF_UNIX) {
    struct sockaddr_un own = {.sun_family = AF_UNIX};
    const int size =
        snprintf(own.sun_path, sizeof(own.sun_path), "%s/event%d-%ld", dir, fd, (long)getpid());
    if (size > 0 && (size_t)size < sizeof(own.sun_path)) {
      unlink(own.sun_path);  // left by an ended process that had this pid
      // Straight to the kernel: umockdev's bind would rename it back.
      const int result = (int)syscall(SYS_bind, fd, (const struct sockaddr*)&own, sizeof(own));
      const struct sockaddr_nl* netlink = (const struct sockaddr_nl*)address;
      const int kernel_group = length >= sizeof(*netlink) && netlink->nl_groups == kKernelGroup;
      mark_kernel_group(fd, result == 0 && kernel_group ? inode_of(fd) : 0);
      return result;
    }
  }
  if (next == NULL) return (int)syscall(SYS_bind, fd, address, length);
  return next(fd, address, length);
}

// What umockdev's sender puts ahead of the properties (libudev's monitor header).
struct UdevHeader {
  char prefix[8];  // "libudev"
  uint32_t magic;  // 0xfeedcafe, network order
  uint32_t header_size;
  uint32_t properties_off;
  uint32_t properties_len;
  uint32_t filter_subsystem_hash;
  uint32_t filter_devtype_hash;
  uint32_t filter_tag_bloom_hi;
  uint32_t filter_tag_bloom_lo;
};

// The value of KEY in a run of "KEY=VALUE\0" strings, or NULL.
static const char* property(const char* properties, size_t length, const char* key) {
  const size_t key_length = strlen(key);
  const char* end = properties + length;
  while (properties < end) {
    const char* next = memchr(properties, '\0', (size_t)(end - properties));
    if (next == NULL) return NULL;
    if ((size_t)(next - properties) > key_length && memcmp(properties, key, key_length) == 0 &&
        properties[key_length] == '=')
      return properties + key_length + 1;
    properties = next + 1;
  }
  return NULL;
}

// Rewrites a udev-format message in message[0, length) into the kernel's format in out;
// returns the new length, or 0 when the message is not one to rewrite (or does not fit).
static size_t kernel_format(const char* message, size_t length, char* out, size_t room) {
  struct UdevHeader header;
  if (length < sizeof(header)) return 0;
  memcpy(&header, message, sizeof(header));
  if (memcmp(header.prefix, "libudev", 8) != 0 || ntohl(header.magic) != 0xfeedcafe) return 0;
  if (header.properties_off > length || header.properties_len > length - header.properties_off)
    return 0;
  const char* properties = message + header.properties_off;
  size_t properties_length = header.properties_len;
  if (properties_length == 0 || properties[properties_length - 1] != '\0') return 0;
  const char* action = property(properties, properties_length, "ACTION");
  const char* devpath = property(properties, properties_length, "DEVPATH");
  if (action == NULL || devpath == NULL) return 0;
  const int head = snprintf(out, room, "%s@%s", action, devpath);
  if (head < 0 || (size_t)head + 1 + properties_length > room) return 0;
  memcpy(out + head + 1, properties, properties_length);
  return (size_t)head + 1 + properties_length;
}

typedef ssize_t (*RecvmsgFunction)(int, struct msghdr*, int);

__attribute__((visibility("default"))) ssize_t recvmsg(int fd, struct msghdr* message, int flags) {
  static RecvmsgFunction next;
  if (next == NULL) next = (RecvmsgFunction)dlsym(RTLD_NEXT, "recvmsg");
  if (next == NULL) return (ssize_t)syscall(SYS_recvmsg, fd, message, flags);
  if (!is_kernel_group(fd) || message == NULL) return next(fd, message, flags);

  // Received whole into a buffer of ours, since the kernel's form may be the longer one.
  char received[8192];
  char rewritten[sizeof(received) + 512];
  struct iovec ours = {.iov_base = received, .iov_len = sizeof(received)};
  struct iovec* const iov = message->msg_iov;
  const size_t iovlen = message->msg_iovlen;
  const socklen_t name_room = message->msg_namelen;  // umockdev's recvmsg overwrites it
  message->msg_iov = &ours;
  message->msg_iovlen = 1;
  const ssize_t length = next(fd, message, flags);
  message->msg_iov = iov;
  message->msg_iovlen = iovlen;
  if (length < 0) return length;

  const char* data = received;
  size_t size = (size_t)length;
  if (!(message->msg_flags & MSG_TRUNC)) {
    const size_t converted = kernel_format(received, size, rewritten, sizeof(rewritten));
    if (converted > 0) {
      data = rewritten;
      size = converted;
      if (message->msg_name != NULL && name_room >= sizeof(struct sockaddr_nl)) {
        struct sockaddr_nl* sender = (struct sockaddr_nl*)message->msg_name;
        sender->nl_family = AF_NETLINK;
        sender->nl_pid = 0;
        sender->nl_groups = kKernelGroup;
        message->msg_namelen = sizeof(*sender);
      }
    }
  }
  size_t copied = 0;
  for (size_t i = 0; i < iovlen && copied < size; i++) {
    size_t part = size - copied < iov[i].iov_len ? size - copied : iov[i].iov_len;
    memcpy(iov[i].iov_base, data + copied, part);
    copied += part;
  }
  if (copied < size) message->msg_flags |= MSG_TRUNC;
  return (ssize_t)copied;
}
