// The readiness pair on Windows, where select and asyncio's selector loop poll sockets
// only: a TCP connection over the loopback interface, made by listening on an ephemeral
// port and connecting to it. Whatever connects there first is refused unless it is our
// own end (its address is compared), as CPython's socket.socketpair does.
#include "sync/readiness_pair.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <mutex>

namespace zt::sync {
namespace {

static_assert(sizeof(SOCKET) >= sizeof(int));

// Winsock needs one WSAStartup per process before any socket call (the interpreter's socket
// module makes its own; the counts are independent).
bool winsock_started() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

// Socket handles are kernel handles, whose values fit in 32 bits on 64-bit Windows; the
// descriptor given out is that value, as Python's socket.fileno() gives it.
SOCKET handle_of(int fd) { return static_cast<SOCKET>(static_cast<unsigned int>(fd)); }

void close_handle(SOCKET s) {
    if (s != INVALID_SOCKET) ::closesocket(s);
}

bool nonblocking(SOCKET s) {
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

bool same_address(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// A connected loopback pair, both ends non-blocking; false when the system refuses.
bool connected_pair(SOCKET& outer, SOCKET& inner) {
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKET client = INVALID_SOCKET;
    SOCKET server = INVALID_SOCKET;
    bool made = false;
    do {
        if (listener == INVALID_SOCKET) break;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        int length = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) break;
        if (::listen(listener, 1) != 0) break;
        if (::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) break;
        client = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (client == INVALID_SOCKET) break;
        if (::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) break;
        sockaddr_in peer{};
        length = sizeof peer;
        server = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
        if (server == INVALID_SOCKET) break;
        sockaddr_in ours{};
        length = sizeof ours;
        if (::getsockname(client, reinterpret_cast<sockaddr*>(&ours), &length) != 0) break;
        if (!same_address(peer, ours)) break;  // someone else's connection: refuse
        if (!nonblocking(client) || !nonblocking(server)) break;
        made = true;
    } while (false);
    close_handle(listener);
    if (!made) {
        close_handle(client);
        close_handle(server);
        return false;
    }
    outer = client;
    inner = server;
    return true;
}

// Reads everything waiting on `s` (non-blocking).
void drain(SOCKET s) {
    char sink[512];
    while (::recv(s, sink, sizeof sink, 0) > 0) {
    }
}

}  // namespace

ReadinessPair::~ReadinessPair() {
    if (outer_ >= 0) close_handle(handle_of(outer_));
    if (inner_ >= 0) close_handle(handle_of(inner_));
}

bool ReadinessPair::open() {
    SOCKET outer = INVALID_SOCKET;
    SOCKET inner = INVALID_SOCKET;
    if (!winsock_started() || !connected_pair(outer, inner)) {
        errno = EMFILE;
        return false;
    }
    // A byte sent is seen at once; small buffers make the outer end unwritable after a few writes.
    const int on = 1;
    const int size = 1;
    ::setsockopt(inner, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    ::setsockopt(outer, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
    ::setsockopt(inner, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
    outer_ = static_cast<int>(outer);
    inner_ = static_cast<int>(inner);
    return true;
}

void ReadinessPair::set_readable(bool readable) {
    if (outer_ < 0) return;
    if (readable) {
        const char byte = 1;
        ::send(handle_of(inner_), &byte, 1, 0);
    } else {
        drain(handle_of(outer_));
    }
}

void ReadinessPair::set_writable(bool writable) {
    if (outer_ < 0) return;
    if (writable) {
        drain(handle_of(inner_));
    } else {
        static const char filler[512] = {};
        while (::send(handle_of(outer_), filler, sizeof filler, 0) > 0) {
        }
    }
}

}  // namespace zt::sync
