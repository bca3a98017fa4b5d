#include "sync/readiness_pair.hpp"

#include <sys/socket.h>
#include <unistd.h>

namespace zt::sync {
namespace {

// Reads everything waiting on `fd` (non-blocking).
void drain(int fd) {
    char sink[512];
    while (::read(fd, sink, sizeof sink) > 0) {
    }
}

}  // namespace

ReadinessPair::~ReadinessPair() {
    if (outer_ >= 0) ::close(outer_);
    if (inner_ >= 0) ::close(inner_);
}

bool ReadinessPair::open() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) return false;
    // The smallest send buffer the system allows: a few writes make the end unwritable.
    int size = 1;
    ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    outer_ = ends[0];
    inner_ = ends[1];
    return true;
}

void ReadinessPair::set_readable(bool readable) {
    if (outer_ < 0) return;
    if (readable) {
        const char byte = 1;
        (void)!::write(inner_, &byte, 1);
    } else {
        drain(outer_);
    }
}

void ReadinessPair::set_writable(bool writable) {
    if (outer_ < 0) return;
    if (writable) {
        drain(inner_);
    } else {
        static const char filler[512] = {};
        while (::send(outer_, filler, sizeof filler, MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
        }
    }
}

}  // namespace zt::sync
