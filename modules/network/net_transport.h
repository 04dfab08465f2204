// net_transport.h - TCP sockets as the network module sees them, and reading and writing whole
// frames over them.
//
// The operating-system side is one table of operations: Winsock in net_transport_win32.cpp (the
// DLL), BSD sockets in net_transport_posix.cpp (native builds and tests). Frame I/O on top is
// portable: it survives partial reads, notices a peer that vanishes mid-frame, gives up on a
// frame that stalls, and rejects a bad header before reading or allocating the payload.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "net_wire.h"

// A socket handle; NET_SOCK_NONE when there is none.
typedef intptr_t NetSock;
constexpr NetSock NET_SOCK_NONE = -1;

// Results of recv_some besides a byte count.
enum : int32_t { NET_IO_CLOSED = 0, NET_IO_ERROR = -1, NET_IO_TIMEOUT = -2 };

// The socket operations of one platform. Texts are UTF-8; `error` receives a short reason.
struct NetTransport {
    int32_t (*startup)();   // 0 when sockets can be used
    void (*cleanup)();
    // Bound and listening socket on address:port, or NET_SOCK_NONE.
    NetSock (*listen_tcp)(const char* address, int32_t port, char* error, size_t capacity);
    // A connected socket, NET_SOCK_NONE after `timeout_ms` without a connection or on an error.
    NetSock (*accept_tcp)(NetSock listener, int32_t timeout_ms, char* peer, size_t capacity);
    NetSock (*connect_tcp)(const char* address, int32_t port, int32_t timeout_ms, char* error, size_t capacity);
    // Bytes sent (at least 1), or NET_IO_ERROR.
    int32_t (*send_some)(NetSock sock, const void* data, uint32_t size);
    // Bytes received, NET_IO_CLOSED at the peer's orderly close, NET_IO_ERROR or NET_IO_TIMEOUT.
    int32_t (*recv_some)(NetSock sock, void* data, uint32_t size, int32_t timeout_ms);
    // Ends both directions (wakes a thread blocked on the socket); close releases the handle.
    void (*shutdown_both)(NetSock sock);
    void (*close)(NetSock sock);
};

// The platform's transport.
const NetTransport* net_transport_platform();

// Outcome of reading one frame.
enum NetReadResult : int32_t {
    NET_READ_OK = 0,
    NET_READ_CLOSED = -1,      // orderly close between frames
    NET_READ_TRUNCATED = -2,   // the peer went away in the middle of a frame
    NET_READ_BAD_HEADER = -3,  // wrong magic, version or type
    NET_READ_TOO_LARGE = -4,   // payload length above NET_PAYLOAD_MAX (nothing was read past the header)
    NET_READ_STALLED = -5,     // a started frame did not complete in time
    NET_READ_ERROR = -6,       // socket error
    NET_READ_STOPPED = -7,     // the stop flag was raised while waiting
    NET_READ_DEADLINE = -8,    // the caller's deadline passed (a handshake that did not complete)
    NET_READ_BAD_VERSION = -9, // a frame of another protocol version (an older or newer program)
};

// Waiting limits of frame reads.
struct NetReadLimits {
    int32_t poll_ms;           // granularity of stop-flag checks while idle between frames
    int32_t frame_timeout_ms;  // time a started frame may take to arrive completely
};

// Reads one frame into `header` and `payload` (capacity bytes, at least the frame's length);
// waits between frames until `stop` is raised. A header whose length exceeds `capacity` counts
// as too large. `deadline_ms` (steady clock, 0 = none) bounds the whole wait, idle time included.
int32_t net_read_frame(const NetTransport* t, NetSock sock, NetFrameHeader* header, uint8_t* payload,
                       uint32_t capacity, const std::atomic<bool>* stop, const NetReadLimits* limits,
                       int64_t deadline_ms = 0);
// The steady clock of frame deadlines, in milliseconds.
int64_t net_clock_ms();
// Sends header and payload completely; 0, or -1 when the socket failed.
int32_t net_write_frame(const NetTransport* t, NetSock sock, uint8_t type, const uint8_t* payload, uint32_t size);
// Short text for a read result (for log lines).
const char* net_read_result_text(int32_t result);
