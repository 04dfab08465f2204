// gdb_link.cpp - packet exchange with a GDB server over one socket, with deadlines.
#include "gdb_link.h"

#include <chrono>
#include <cstring>

namespace {

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Closes the link after a failure and passes the code on.
int32_t fail(GdbLink* link, int32_t code) {
    gdb_link_close(link);
    return code;
}

int32_t send_all(GdbLink* link, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        int32_t n = link->transport->send_some(link->sock, data + done, (uint32_t)(size - done));
        if (n <= 0) return GDB_ERR_IO;
        done += (size_t)n;
    }
    return 0;
}

// Reads more bytes into rx before the deadline; 0, or a GdbError.
int32_t fill(GdbLink* link, int64_t deadline) {
    int32_t left = (int32_t)(deadline - now_ms());
    if (left <= 0) return GDB_ERR_TIMEOUT;
    if (link->rx_size >= GDB_RX_CAPACITY) return GDB_ERR_PROTOCOL;
    int32_t n = link->transport->recv_some(link->sock, link->rx + link->rx_size, GDB_RX_CAPACITY - link->rx_size, left);
    if (n == NET_IO_TIMEOUT) return GDB_ERR_TIMEOUT;
    if (n == NET_IO_CLOSED) return GDB_ERR_CLOSED;
    if (n < 0) return GDB_ERR_IO;
    link->rx_size += (uint32_t)n;
    return 0;
}

void consume(GdbLink* link, uint32_t n) {
    std::memmove(link->rx, link->rx + n, link->rx_size - n);
    link->rx_size -= n;
}

// Scans the next frame, reading as needed; the frame stays in rx until consumed.
int32_t next_frame(GdbLink* link, int64_t deadline, GdbScan* out) {
    for (;;) {
        *out = gdb_scan(link->rx, link->rx_size, GDB_RX_CAPACITY);
        if (out->kind != GDB_SCAN_NEED_MORE) return 0;
        int32_t rc = fill(link, deadline);
        if (rc != 0) return rc;
    }
}

}  // namespace

int32_t gdb_link_open(GdbLink* link, const NetTransport* transport, const char* host, int32_t port,
                      int32_t connect_timeout_ms, char* error, size_t capacity) {
    GdbConsoleSink console = link->console;
    void* console_context = link->console_context;
    int32_t timeout = link->timeout_ms > 0 ? link->timeout_ms : 1000;
    std::memset(link, 0, sizeof *link);
    link->transport = transport;
    link->console = console;
    link->console_context = console_context;
    link->timeout_ms = timeout;
    link->sock = transport->connect_tcp(host, port, connect_timeout_ms, error, capacity);
    return link->sock == NET_SOCK_NONE ? GDB_ERR_IO : 0;
}

void gdb_link_close(GdbLink* link) {
    if (link->sock != NET_SOCK_NONE && link->transport) {
        link->transport->shutdown_both(link->sock);
        link->transport->close(link->sock);
    }
    link->sock = NET_SOCK_NONE;
    link->rx_size = 0;
    link->no_ack = false;
}

bool gdb_link_is_open(const GdbLink* link) { return link->sock != NET_SOCK_NONE && link->transport; }

int32_t gdb_link_send(GdbLink* link, const uint8_t* payload, size_t size) {
    if (!gdb_link_is_open(link)) return GDB_ERR_NOT_CONNECTED;
    int32_t framed = gdb_frame(payload, size, link->tx, sizeof link->tx);
    if (framed < 0) return GDB_ERR_ARGUMENT;
    for (int32_t attempt = 0; attempt <= GDB_RETRIES; attempt++) {
        if (send_all(link, link->tx, (size_t)framed) != 0) return fail(link, GDB_ERR_IO);
        if (link->no_ack) return 0;
        int64_t deadline = now_ms() + link->timeout_ms;
        for (;;) {
            GdbScan s;
            int32_t rc = next_frame(link, deadline, &s);
            if (rc != 0) return fail(link, rc);
            if (s.kind == GDB_SCAN_ACK) {
                consume(link, s.consumed);
                return 0;
            }
            if (s.kind == GDB_SCAN_NACK) {
                consume(link, s.consumed);
                break;  // resend
            }
            if (s.kind == GDB_SCAN_PACKET || s.kind == GDB_SCAN_BAD_SUM) {
                // A reply already on its way means the ack was lost or never sent: take it as one.
                return 0;
            }
            consume(link, s.consumed);  // junk and notifications before the ack
        }
    }
    return fail(link, GDB_ERR_PROTOCOL);
}

namespace {

int32_t receive(GdbLink* link, uint8_t* reply, size_t capacity, int32_t timeout_ms, bool quiet) {
    if (!gdb_link_is_open(link)) return GDB_ERR_NOT_CONNECTED;
    int64_t deadline = now_ms() + timeout_ms;
    int32_t bad = 0;
    for (;;) {
        GdbScan s;
        int32_t rc = next_frame(link, deadline, &s);
        if (rc == GDB_ERR_TIMEOUT && quiet && link->rx_size == 0) return rc;
        if (rc != 0) return fail(link, rc);
        if (s.kind == GDB_SCAN_OVERSIZE) return fail(link, GDB_ERR_PROTOCOL);
        if (s.kind == GDB_SCAN_BAD_SUM) {
            consume(link, s.consumed);
            if (link->no_ack || ++bad > GDB_RETRIES) return fail(link, GDB_ERR_PROTOCOL);
            if (send_all(link, (const uint8_t*)"-", 1) != 0) return fail(link, GDB_ERR_IO);
            deadline = now_ms() + timeout_ms;
            continue;
        }
        if (s.kind != GDB_SCAN_PACKET) {
            consume(link, s.consumed);  // stray acks, junk, notifications
            continue;
        }
        if (!link->no_ack && send_all(link, (const uint8_t*)"+", 1) != 0) return fail(link, GDB_ERR_IO);
        int32_t n = gdb_decode_body(link->rx + s.body_offset, s.body_size, reply, capacity);
        consume(link, s.consumed);
        if (n < 0) return fail(link, GDB_ERR_PROTOCOL);
        char text[512];
        if (gdb_reply_console(reply, (size_t)n, text, sizeof text)) {
            if (link->console) link->console(link->console_context, text);
            continue;
        }
        return n;
    }
}

}  // namespace

int32_t gdb_link_receive(GdbLink* link, uint8_t* reply, size_t capacity, int32_t timeout_ms) {
    return receive(link, reply, capacity, timeout_ms, false);
}

int32_t gdb_link_poll(GdbLink* link, uint8_t* reply, size_t capacity, int32_t timeout_ms) {
    return receive(link, reply, capacity, timeout_ms, true);
}

int32_t gdb_link_exchange(GdbLink* link, const char* command, uint8_t* reply, size_t capacity) {
    int32_t rc = gdb_link_send(link, (const uint8_t*)command, std::strlen(command));
    if (rc != 0) return rc;
    return gdb_link_receive(link, reply, capacity, link->timeout_ms);
}

int32_t gdb_link_interrupt(GdbLink* link) {
    if (!gdb_link_is_open(link)) return GDB_ERR_NOT_CONNECTED;
    uint8_t byte = 0x03;
    return send_all(link, &byte, 1) == 0 ? 0 : fail(link, GDB_ERR_IO);
}
