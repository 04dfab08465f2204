// net_frame_io.cpp - reading and writing whole frames over a socket of any platform.
#include <chrono>

#include "net_transport.h"

int64_t net_clock_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

// Reads exactly `size` bytes that belong to a frame already started (deadline applies).
int32_t read_rest(const NetTransport* t, NetSock sock, uint8_t* out, uint32_t size, int64_t deadline,
                  int64_t caller_deadline, const std::atomic<bool>* stop, int32_t poll_ms) {
    uint32_t got = 0;
    while (got < size) {
        if (stop && stop->load(std::memory_order_acquire)) return NET_READ_STOPPED;
        int64_t now = net_clock_ms();
        if (caller_deadline && now >= caller_deadline) return NET_READ_DEADLINE;
        int64_t left = deadline - now;
        if (left <= 0) return NET_READ_STALLED;
        int32_t wait = left < poll_ms ? (int32_t)left : poll_ms;
        int32_t n = t->recv_some(sock, out + got, size - got, wait);
        if (n == NET_IO_TIMEOUT) continue;
        if (n == NET_IO_CLOSED) return NET_READ_TRUNCATED;
        if (n < 0) return NET_READ_ERROR;
        got += (uint32_t)n;
    }
    return NET_READ_OK;
}

}  // namespace

int32_t net_read_frame(const NetTransport* t, NetSock sock, NetFrameHeader* header, uint8_t* payload,
                       uint32_t capacity, const std::atomic<bool>* stop, const NetReadLimits* limits,
                       int64_t deadline_ms) {
    uint8_t raw[NET_HEADER_SIZE];
    // Idle between frames: wait for the first byte for as long as it takes (or the deadline).
    int32_t first;
    for (;;) {
        if (stop && stop->load(std::memory_order_acquire)) return NET_READ_STOPPED;
        int32_t wait = limits->poll_ms;
        if (deadline_ms) {
            int64_t left = deadline_ms - net_clock_ms();
            if (left <= 0) return NET_READ_DEADLINE;
            if (left < wait) wait = (int32_t)left;
        }
        first = t->recv_some(sock, raw, 1, wait);
        if (first == NET_IO_TIMEOUT) continue;
        if (first == NET_IO_CLOSED) return NET_READ_CLOSED;
        if (first < 0) return NET_READ_ERROR;
        break;
    }
    int64_t deadline = net_clock_ms() + limits->frame_timeout_ms;
    int32_t rc = read_rest(t, sock, raw + 1, NET_HEADER_SIZE - 1, deadline, deadline_ms, stop, limits->poll_ms);
    if (rc != NET_READ_OK) return rc;
    int32_t check = net_header_decode(raw, header);
    if (check == NET_HEADER_TOO_LARGE || (check == NET_HEADER_OK && header->length > capacity))
        return NET_READ_TOO_LARGE;
    if (check == NET_HEADER_BAD_VERSION) return NET_READ_BAD_VERSION;
    if (check != NET_HEADER_OK) return NET_READ_BAD_HEADER;
    return read_rest(t, sock, payload, header->length, deadline, deadline_ms, stop, limits->poll_ms);
}

int32_t net_write_frame(const NetTransport* t, NetSock sock, uint8_t type, const uint8_t* payload, uint32_t size) {
    uint8_t raw[NET_HEADER_SIZE];
    net_header_encode(raw, type, size);
    const uint8_t* parts[2] = {raw, payload};
    uint32_t sizes[2] = {NET_HEADER_SIZE, size};
    for (int p = 0; p < 2; p++) {
        uint32_t sent = 0;
        while (sent < sizes[p]) {
            int32_t n = t->send_some(sock, parts[p] + sent, sizes[p] - sent);
            if (n <= 0) return -1;
            sent += (uint32_t)n;
        }
    }
    return 0;
}

const char* net_read_result_text(int32_t result) {
    switch (result) {
        case NET_READ_OK: return "ok";
        case NET_READ_CLOSED: return "对端关闭连接";
        case NET_READ_TRUNCATED: return "帧未收完即断开";
        case NET_READ_BAD_HEADER: return "帧头无效";
        case NET_READ_TOO_LARGE: return "帧长度超限";
        case NET_READ_STALLED: return "帧接收超时";
        case NET_READ_ERROR: return "套接字错误";
        case NET_READ_STOPPED: return "已停止";
        case NET_READ_DEADLINE: return "握手超时";
        case NET_READ_BAD_VERSION: return "协议版本不符";
        default: return "?";
    }
}
