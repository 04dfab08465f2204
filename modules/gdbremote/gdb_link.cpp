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
    link->rx_clean = 0;
}

// Scans the next frame, reading as needed; the frame stays in rx until consumed.
int32_t next_frame(GdbLink* link, int64_t deadline, GdbScan* out) {
    for (;;) {
        *out = gdb_scan_resume(link->rx, link->rx_size, GDB_RX_CAPACITY, link->rx_clean);
        if (out->kind != GDB_SCAN_NEED_MORE) return 0;
        link->rx_clean = out->clean;
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
    link->last_reply_ms = now_ms();
    return link->sock == NET_SOCK_NONE ? GDB_ERR_IO : 0;
}

int32_t gdb_link_flush_ack(GdbLink* link) {
    if (!link->ack_pending || !gdb_link_is_open(link)) return 0;
    link->ack_pending = false;
    return send_all(link, (const uint8_t*)"+", 1) == 0 ? 0 : fail(link, GDB_ERR_IO);
}

void gdb_link_close(GdbLink* link) {
    if (link->sock != NET_SOCK_NONE && link->transport) {
        if (link->ack_pending) send_all(link, (const uint8_t*)"+", 1);
        link->transport->shutdown_both(link->sock);
        link->transport->close(link->sock);
    }
    link->sock = NET_SOCK_NONE;
    link->rx_size = 0;
    link->rx_clean = 0;
    link->tx_size = 0;
    link->ack_pending = false;
    link->no_ack = false;
}

bool gdb_link_is_open(const GdbLink* link) { return link->sock != NET_SOCK_NONE && link->transport; }

int32_t gdb_link_send(GdbLink* link, const uint8_t* payload, size_t size) {
    if (!gdb_link_is_open(link)) return GDB_ERR_NOT_CONNECTED;
    // tx[0] holds the acknowledgement of the last reply when one is owed: it travels in the same
    // send as the frame (one socket call instead of two); a retransmission sends the frame alone.
    int32_t framed = gdb_frame(payload, size, link->tx + 1, sizeof link->tx - 1);
    if (framed < 0) return GDB_ERR_ARGUMENT;
    // The acknowledgement is not waited for here: it is taken (or a '-' answered with the frame
    // again) by the next receive, which saves a round trip per request.
    link->tx_size = (uint32_t)framed;
    link->resends = 0;
    link->tx[0] = '+';
    bool ack = link->ack_pending;
    link->ack_pending = false;
    return send_all(link, link->tx + (ack ? 0 : 1), (size_t)framed + (ack ? 1 : 0)) == 0 ? 0 : fail(link, GDB_ERR_IO);
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
        if (s.kind == GDB_SCAN_NACK) {
            // The server could not read the last request: send it again.
            consume(link, s.consumed);
            if (link->tx_size == 0 || ++link->resends > GDB_RETRIES) return fail(link, GDB_ERR_PROTOCOL);
            if (send_all(link, link->tx + 1, link->tx_size) != 0) return fail(link, GDB_ERR_IO);
            deadline = now_ms() + timeout_ms;
            continue;
        }
        if (s.kind != GDB_SCAN_PACKET) {
            consume(link, s.consumed);  // acknowledgements, junk, notifications
            continue;
        }
        if (!link->no_ack) link->ack_pending = true;
        link->last_reply_ms = now_ms();
        int32_t n = gdb_decode_body(link->rx + s.body_offset, s.body_size, reply, capacity);
        consume(link, s.consumed);
        if (n < 0) return fail(link, GDB_ERR_PROTOCOL);
        char text[512];
        if (gdb_reply_console(reply, (size_t)n, text, sizeof text)) {
            // More is coming, and a server may wait for this acknowledgement before sending it.
            if (gdb_link_flush_ack(link) != 0) return GDB_ERR_IO;
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

int64_t gdb_link_quiet_ms(const GdbLink* link) { return now_ms() - link->last_reply_ms; }

int64_t gdb_link_clock_ms() { return now_ms(); }

int32_t gdb_link_interrupt(GdbLink* link) {
    if (!gdb_link_is_open(link)) return GDB_ERR_NOT_CONNECTED;
    uint8_t bytes[2] = {'+', 0x03};
    bool ack = link->ack_pending;
    link->ack_pending = false;
    return send_all(link, bytes + (ack ? 0 : 1), ack ? 2 : 1) == 0 ? 0 : fail(link, GDB_ERR_IO);
}
