// loopback_port.h - loopback ports for tests that run several at once (ctest -j, sanitizer builds
// and other checkouts on the same machine). POSIX only.
// A port read from a released socket is only free at that moment: another test may bind it before
// the code under test does. A test that owns its listener binds port 0 and keeps the socket; a test
// whose code under test binds a port it is given retries on a fresh port when the bind fails; a
// test that needs a refused connection keeps a socket bound (never listening) on the port, so no
// stranger can start listening there.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

// A socket bound to 127.0.0.1 on a port the system chose (0 when none could be bound).
inline int loopback_port_bound_socket(int32_t* port) {
    *port = 0;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (::bind(fd, (sockaddr*)&a, sizeof a) != 0 || ::getsockname(fd, (sockaddr*)&a, &n) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

// A listening socket on 127.0.0.1 and its port; -1 on failure. The system picks the port while the
// socket is bound, so nobody can take it in between.
inline int loopback_listen_socket(int32_t* port, int backlog = 4) {
    int fd = loopback_port_bound_socket(port);
    if (fd >= 0 && ::listen(fd, backlog) != 0) {
        ::close(fd);
        *port = 0;
        return -1;
    }
    return fd;
}

// A port free at the moment of the call; the caller must cope with losing it (see below).
inline int32_t loopback_port_pick() {
    int32_t port = 0;
    int fd = loopback_port_bound_socket(&port);
    if (fd >= 0) ::close(fd);
    return port;
}

// For code under test that binds a port it is handed: calls listen_at(port) on fresh ports until it
// returns 0 and returns that port, 0 when every attempt failed. listen_at's other results (a
// module's -1, a bind's EADDRINUSE) all mean "taken meanwhile": the next attempt gets a new port.
template <class ListenAt>
int32_t loopback_listen_retrying(ListenAt listen_at, int attempts = 20) {
    for (int i = 0; i < attempts; i++) {
        int32_t port = loopback_port_pick();
        if (port && listen_at(port) == 0) return port;
    }
    return 0;
}

// A loopback port that refuses connections for the object's life: bound, never listening.
struct LoopbackDeadPort {
    int fd = -1;
    int32_t port = 0;
    LoopbackDeadPort() { fd = loopback_port_bound_socket(&port); }
    ~LoopbackDeadPort() {
        if (fd >= 0) ::close(fd);
    }
    LoopbackDeadPort(const LoopbackDeadPort&) = delete;
    LoopbackDeadPort& operator=(const LoopbackDeadPort&) = delete;
};
