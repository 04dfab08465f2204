// net_transport_posix.cpp - BSD sockets for native builds (tests and tools); the DLL uses Winsock.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net_transport.h"

namespace {

void set_error(char* error, size_t capacity, const char* what) {
    if (error && capacity) std::snprintf(error, capacity, "%s (errno=%d)", what, errno);
}

bool make_address(const char* address, int32_t port, sockaddr_in* out) {
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons((uint16_t)port);
    if (port < 0 || port > 65535) return false;
    if (!address || !address[0]) address = "127.0.0.1";
    return inet_pton(AF_INET, address, &out->sin_addr) == 1;
}

// Options of every connected socket: no Nagle delay for small frames, and a send that cannot
// finish within 5 s fails, so a peer that stops reading cannot block the senders for good.
void tune_connected(int fd) {
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Waits until the socket is readable (or writable); 1 ready, 0 timeout, -1 error.
int wait_socket(int fd, short events, int32_t timeout_ms) {
    pollfd p = {fd, events, 0};
    int rc;
    do {
        rc = poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    return rc < 0 ? -1 : rc;
}

int32_t posix_startup() { return 0; }
void posix_cleanup() {}

NetSock posix_listen(const char* address, int32_t port, char* error, size_t capacity) {
    sockaddr_in sa;
    if (!make_address(address, port, &sa)) {
        if (error && capacity) std::snprintf(error, capacity, "地址无效");
        return NET_SOCK_NONE;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return set_error(error, capacity, "socket"), NET_SOCK_NONE;
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, (sockaddr*)&sa, sizeof sa) != 0 || listen(fd, 8) != 0) {
        set_error(error, capacity, "bind/listen");
        ::close(fd);
        return NET_SOCK_NONE;
    }
    return fd;
}

NetSock posix_accept(NetSock listener, int32_t timeout_ms, char* peer, size_t capacity) {
    if (wait_socket((int)listener, POLLIN, timeout_ms) <= 0) return NET_SOCK_NONE;
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    int fd = accept4((int)listener, (sockaddr*)&sa, &len, SOCK_CLOEXEC);
    if (fd < 0) return NET_SOCK_NONE;
    tune_connected(fd);
    if (peer && capacity) {
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
        std::snprintf(peer, capacity, "%s:%u", ip, (unsigned)ntohs(sa.sin_port));
    }
    return fd;
}

NetSock posix_connect(const char* address, int32_t port, int32_t timeout_ms, char* error, size_t capacity) {
    sockaddr_in sa;
    if (!make_address(address, port, &sa)) {
        if (error && capacity) std::snprintf(error, capacity, "地址无效");
        return NET_SOCK_NONE;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return set_error(error, capacity, "socket"), NET_SOCK_NONE;
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, (sockaddr*)&sa, sizeof sa);
    if (rc != 0 && errno == EINPROGRESS && wait_socket(fd, POLLOUT, timeout_ms) == 1) {
        int so_error = 0;
        socklen_t len = sizeof so_error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
        rc = so_error == 0 ? 0 : -1;
        errno = so_error;
    }
    if (rc != 0) {
        set_error(error, capacity, "connect");
        ::close(fd);
        return NET_SOCK_NONE;
    }
    fcntl(fd, F_SETFL, flags);
    tune_connected(fd);
    return fd;
}

int32_t posix_send(NetSock sock, const void* data, uint32_t size) {
    ssize_t n;
    do {
        n = ::send((int)sock, data, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? (int32_t)n : NET_IO_ERROR;
}

int32_t posix_recv(NetSock sock, void* data, uint32_t size, int32_t timeout_ms) {
    int ready = wait_socket((int)sock, POLLIN, timeout_ms);
    if (ready == 0) return NET_IO_TIMEOUT;
    if (ready < 0) return NET_IO_ERROR;
    ssize_t n;
    do {
        n = ::recv((int)sock, data, size, 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return NET_IO_CLOSED;
    return n > 0 ? (int32_t)n : NET_IO_ERROR;
}

void posix_shutdown(NetSock sock) { ::shutdown((int)sock, SHUT_RDWR); }
void posix_close(NetSock sock) { ::close((int)sock); }

const NetTransport kPosix = {posix_startup, posix_cleanup, posix_listen, posix_accept, posix_connect,
                             posix_send,    posix_recv,    posix_shutdown, posix_close};

}  // namespace

const NetTransport* net_transport_platform() { return &kPosix; }
