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
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <stdio.h>
#include <stdlib.h>

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
      return (int)syscall(SYS_bind, fd, (const struct sockaddr*)&own, sizeof(own));
    }
  }
  if (next == NULL) return (int)syscall(SYS_bind, fd, address, length);
  return next(fd, address, length);
}
