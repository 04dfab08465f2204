// gdb_transport_win32.cpp - Winsock for GDB links: the network module's operations, except that
// a receive blocks in recv() with a receive timeout instead of waiting in select() first. A GDB
// link makes one short exchange after another, and a select() wait before every recv() costs
// several milliseconds per exchange under some Winsock implementations (Wine), which capped the
// sample rate far below what the server delivers.
#include <winsock2.h>

#include "gdb_transport.h"

namespace {

// The receive timeout last set, so the option is set only when it changes. The driver uses one
// link at a time under its lock.
NetSock g_timeout_sock = NET_SOCK_NONE;
int32_t g_timeout_ms = -1;

int32_t gdb_recv(NetSock sock, void* data, uint32_t size, int32_t timeout_ms) {
    if (timeout_ms < 1) timeout_ms = 1;
    if (sock != g_timeout_sock || timeout_ms != g_timeout_ms) {
        DWORD t = (DWORD)timeout_ms;
        if (setsockopt((SOCKET)sock, SOL_SOCKET, SO_RCVTIMEO, (const char*)&t, sizeof t) != 0) return NET_IO_ERROR;
        g_timeout_sock = sock;
        g_timeout_ms = timeout_ms;
    }
    int n = recv((SOCKET)sock, (char*)data, (int)size, 0);
    if (n == 0) return NET_IO_CLOSED;
    if (n < 0) return WSAGetLastError() == WSAETIMEDOUT ? NET_IO_TIMEOUT : NET_IO_ERROR;
    return n;
}

void gdb_close(NetSock sock) {
    if (sock == g_timeout_sock) g_timeout_sock = NET_SOCK_NONE;  // the handle may be reused
    net_transport_platform()->close(sock);
}

NetTransport make_transport() {
    NetTransport t = *net_transport_platform();
    t.recv_some = gdb_recv;
    t.close = gdb_close;
    return t;
}

const NetTransport kTransport = make_transport();

}  // namespace

const NetTransport* gdb_transport_platform() { return &kTransport; }
