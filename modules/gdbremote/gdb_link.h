// gdb_link.h - one TCP connection to a GDB server: sending packets (again when the server
// answers '-'), receiving replies (asking for a retransmission on a
// bad checksum while acknowledgements are on), console output, interrupts, and a deadline on
// every wait.
//
// A link that failed (timeout, close, socket error, protocol breakdown) is closed at once and
// stays closed: a late reply can never be taken for the answer to a later request.
#pragma once
#include <cstddef>
#include <cstdint>

#include "gdb_protocol.h"
#include "net_transport.h"

// Receive buffer: one maximal frame plus escapes and slack.
constexpr uint32_t GDB_RX_CAPACITY = 2 * GDB_PACKET_MAX + 64;
// Retransmissions of one packet (or requests for one reply) before the link gives up.
constexpr int32_t GDB_RETRIES = 3;

// Receives console text ("O" packets) the server sends between replies.
typedef void (*GdbConsoleSink)(void* context, const char* text);

// One connection and its receive state.
struct GdbLink {
    const NetTransport* transport;
    NetSock sock;
    bool no_ack;            // acknowledgements are off (QStartNoAckMode accepted)
    int32_t timeout_ms;     // limit of every wait for an acknowledgement or a reply
    GdbConsoleSink console;
    void* console_context;
    uint32_t rx_size;       // undecoded bytes waiting in rx
    uint32_t rx_clean;      // leading bytes of rx already scanned: a frame start and no end yet
    uint32_t tx_size;       // the last frame sent (kept for a retransmission), 0 = none
    int32_t resends;        // retransmissions of that frame so far
    bool ack_pending;       // a reply is not yet acknowledged: '+' goes out with the next send
    int64_t last_reply_ms;  // steady clock of the last good packet received (or of the connect)
    uint8_t rx[GDB_RX_CAPACITY];
    uint8_t tx[2 * GDB_PACKET_MAX + 16];
};

// Connects; 0, or GDB_ERR_IO with the reason in `error`. The link starts clean.
int32_t gdb_link_open(GdbLink* link, const NetTransport* transport, const char* host, int32_t port,
                      int32_t connect_timeout_ms, char* error, size_t capacity);
void gdb_link_close(GdbLink* link);
bool gdb_link_is_open(const GdbLink* link);

// Sends one packet. Its acknowledgement is collected by the next receive, which also sends the
// packet again when the server answers '-'.
int32_t gdb_link_send(GdbLink* link, const uint8_t* payload, size_t size);
// Waits up to `timeout_ms` for the next reply packet (console packets go to the sink and do not
// count), decodes it into reply and returns its length, or a GdbError.
int32_t gdb_link_receive(GdbLink* link, uint8_t* reply, size_t capacity, int32_t timeout_ms);
// Like gdb_link_receive, but a wait that ends without a single byte received returns
// GDB_ERR_TIMEOUT and keeps the link open.
int32_t gdb_link_poll(GdbLink* link, uint8_t* reply, size_t capacity, int32_t timeout_ms);
// Sends a text command and receives its reply.
int32_t gdb_link_exchange(GdbLink* link, const char* command, uint8_t* reply, size_t capacity);
// Sends the acknowledgement of the last reply now, if one is owed (it normally travels with the
// next send).
int32_t gdb_link_flush_ack(GdbLink* link);
// Sends the raw interrupt byte (0x03).
int32_t gdb_link_interrupt(GdbLink* link);
// Milliseconds since the server last sent a good packet (or since the connect).
int64_t gdb_link_quiet_ms(const GdbLink* link);
// The steady clock the link measures with, in milliseconds.
int64_t gdb_link_clock_ms();
