// net_transport_win32.cpp - Winsock sockets for the network module DLL.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>

#include "net_transport.h"

namespace {

void set_error(char* error, size_t capacity, const char* what) {
    if (error && capacity) std::snprintf(error, capacity, "%s (WSA=%d)", what, WSAGetLastError());
}

bool make_address(const char* address, int32_t port, sockaddr_in* out) {
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons((u_short)port);
    if (port < 0 || port > 65535) return false;
    if (!address || !address[0]) address = "127.0.0.1";
    return inet_pton(AF_INET, address, &out->sin_addr) == 1;
}

// Options of every connected socket: no Nagle delay for small frames, and a send that cannot
// finish within 5 s fails, so a peer that stops reading cannot block the senders for good.
void tune_connected(SOCKET s) {
    BOOL yes = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&yes, sizeof yes);
    DWORD timeout_ms = 5000;
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, (const char*)&timeout_ms, sizeof timeout_ms);
}

// Waits until the socket is readable (or writable); 1 ready, 0 timeout, -1 error.
int wait_socket(SOCKET s, bool write, int32_t timeout_ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set err_set;
    FD_ZERO(&err_set);
    FD_SET(s, &err_set);
    timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int rc = select(0, write ? nullptr : &set, write ? &set : nullptr, &err_set, &tv);
    if (rc == SOCKET_ERROR) return -1;
    if (rc > 0 && FD_ISSET(s, &err_set) && !FD_ISSET(s, &set)) return write ? -1 : 1;  // recv reports it
    return rc > 0 ? 1 : 0;
}

int32_t win_startup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
}
void win_cleanup() { WSACleanup(); }

NetSock win_listen(const char* address, int32_t port, char* error, size_t capacity) {
    sockaddr_in sa;
    if (!make_address(address, port, &sa)) {
        if (error && capacity) std::snprintf(error, capacity, "地址无效");
        return NET_SOCK_NONE;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return set_error(error, capacity, "socket"), NET_SOCK_NONE;
    // Exclusive use: a second listener on the same port must fail rather than share it.
    BOOL yes = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char*)&yes, sizeof yes);
    if (bind(s, (sockaddr*)&sa, sizeof sa) != 0 || listen(s, 8) != 0) {
        set_error(error, capacity, "bind/listen");
        closesocket(s);
        return NET_SOCK_NONE;
    }
    return (NetSock)s;
}

NetSock win_accept(NetSock listener, int32_t timeout_ms, char* peer, size_t capacity) {
    if (wait_socket((SOCKET)listener, false, timeout_ms) <= 0) return NET_SOCK_NONE;
    sockaddr_in sa;
    int len = sizeof sa;
    SOCKET s = accept((SOCKET)listener, (sockaddr*)&sa, &len);
    if (s == INVALID_SOCKET) return NET_SOCK_NONE;
    tune_connected(s);
    if (peer && capacity) {
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
        std::snprintf(peer, capacity, "%s:%u", ip, (unsigned)ntohs(sa.sin_port));
    }
    return (NetSock)s;
}

NetSock win_connect(const char* address, int32_t port, int32_t timeout_ms, char* error, size_t capacity) {
    sockaddr_in sa;
    if (!make_address(address, port, &sa)) {
        if (error && capacity) std::snprintf(error, capacity, "地址无效");
        return NET_SOCK_NONE;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return set_error(error, capacity, "socket"), NET_SOCK_NONE;
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    int rc = connect(s, (sockaddr*)&sa, sizeof sa);
    if (rc != 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        // A refused connect shows in the exception set (wait -1); its reason is in SO_ERROR.
        int waited = wait_socket(s, true, timeout_ms);
        int so_error = WSAETIMEDOUT;
        if (waited != 0) {
            int len = sizeof so_error;
            if (getsockopt(s, SOL_SOCKET, SO_ERROR, (char*)&so_error, &len) != 0) so_error = WSAGetLastError();
        }
        rc = waited == 1 && so_error == 0 ? 0 : -1;
        if (rc != 0) WSASetLastError(so_error ? so_error : WSAECONNREFUSED);
    }
    if (rc != 0) {
        set_error(error, capacity, "connect");
        closesocket(s);
        return NET_SOCK_NONE;
    }
    nonblocking = 0;
    ioctlsocket(s, FIONBIO, &nonblocking);
    tune_connected(s);
    return (NetSock)s;
}

int32_t win_send(NetSock sock, const void* data, uint32_t size) {
    int n = send((SOCKET)sock, (const char*)data, (int)size, 0);
    return n > 0 ? (int32_t)n : NET_IO_ERROR;
}

int32_t win_recv(NetSock sock, void* data, uint32_t size, int32_t timeout_ms) {
    int ready = wait_socket((SOCKET)sock, false, timeout_ms);
    if (ready == 0) return NET_IO_TIMEOUT;
    if (ready < 0) return NET_IO_ERROR;
    int n = recv((SOCKET)sock, (char*)data, (int)size, 0);
    if (n == 0) return NET_IO_CLOSED;
    return n > 0 ? (int32_t)n : NET_IO_ERROR;
}

void win_shutdown(NetSock sock) { shutdown((SOCKET)sock, SD_BOTH); }
void win_close(NetSock sock) { closesocket((SOCKET)sock); }

const NetTransport kWinsock = {win_startup, win_cleanup, win_listen, win_accept, win_connect,
                               win_send,    win_recv,    win_shutdown, win_close};

}  // namespace

const NetTransport* net_transport_platform() { return &kWinsock; }
