// net_module.h - the network module: links a probe-side instance (listening) with remote
// instances (connecting) over TCP, through the host services only.
//
// What it does for each network command code of the host:
//   20 listen / 21 connect / 22 stop everything,
//   23 send the own variable table, 25 ask for the peer's table (merged with
//      host_upsert_remote_leaf and host_remote_sync_done on arrival),
//   26 send the watch list (the peer ticks those leaves and starts acquiring), 29 send an empty
//      one (the peer unticks what this side ticked there),
//   24 new samples at this side: a pump thread reads the history and forwards the samples that
//      each peer watches,
//   27 write a variable on the peer (the connection this side made, when there is one) and
//      wait for its answer (0 = written),
//   28 ask for the peer's acquisition history (pushed into the local hand-off on arrival),
//   30 set the shared key of later listens and connects.
//
// Trust: every connection opens with HELLO and, where a key is set, a proof of the key both ways
// (net_auth.h); before that nothing else is accepted, and a connection that has not finished
// within the handshake timeout is closed. A listener on a non-loopback address needs a key. A
// TABLE is taken only as the answer to our own request (code 23 merely offers the table), and a
// peer may write only leaves of its own watch list here.
//
// Threads: one accept thread while listening, one reader thread per peer, one sample pump. They
// call the host services that the host allows from any thread; starting acquisition is the one
// exception the interface names for a received watch list, and stopping it is left to the main
// thread by posting the stop command.
#pragma once
#include <cstdint>

#include "kestrelix_module.h"
#include "net_transport.h"

enum : int32_t {
    NET_PEERS_MAX = 8,            // connections served at once
    NET_CONNECT_TIMEOUT_MS = 3000,
    NET_WRITE_TIMEOUT_MS = 3000,  // a remote write waits this long for the peer's answer
    NET_PUMP_PERIOD_MS = 100,     // the pump also looks for samples without a notice (write read-backs)
    NET_HISTORY_CHUNK = 2048,     // samples per HISTORY frame
    NET_PUMP_WINDOW = 16384,      // newest history samples the pump looks at once (sent in several frames)
    NET_WM_COMMAND = 0x0111,      // posted with the host's stop-acquisition command id
    NET_CMD_STOP_ACQUISITION = 2005,
};

struct NetModule;

// Timing of one module instance (tests shorten them).
struct NetModuleTiming {
    NetReadLimits read;
    int32_t connect_timeout_ms;
    int32_t write_timeout_ms;
    int32_t pump_period_ms;        // below 0: no pump thread, the caller runs net_module_pump_round
    int32_t handshake_timeout_ms;  // HELLO and the key proof must be done by then (0 = 5000)
};

// Creates a module instance over a host table and a transport; null when sockets cannot start.
NetModule* net_module_create(const HostApi* host, const NetTransport* transport, const NetModuleTiming* timing);
// Stops listening, closes every connection and joins every thread.
void net_module_destroy(NetModule* module);
// One network command (codes 20 to 29); see the list above.
int32_t net_module_command(NetModule* module, int32_t code, void* in, void* out);
// Number of live connections (tests and logs).
int32_t net_module_peer_count(NetModule* module);
// Number of connections that completed the handshake (tests).
int32_t net_module_ready_peer_count(NetModule* module);

// Fuzzing: a connection without a socket whose frames the caller feeds in (what the module sends
// goes to the instance's transport, which a fuzzer makes a sink). feed_frame returns -1 once the
// module has ended the connection. The handshake state is exposed so that a fuzzer can fix the
// nonces and produce valid proofs.
struct NetFedPeer;
struct NetHandshake;
NetFedPeer* net_module_feed_open(NetModule* module, bool outgoing);
NetHandshake* net_module_feed_handshake(NetFedPeer* peer);
// Starts the connection afresh (new handshake, empty lists), without new buffers.
void net_module_feed_reset(NetFedPeer* peer);
int32_t net_module_feed_frame(NetFedPeer* peer, uint8_t type, const uint8_t* payload, uint32_t size);
void net_module_feed_close(NetFedPeer* peer);
// One round of the sample pump on the calling thread, for an instance made without a pump thread
// (pump_period_ms < 0): forwards what the history gained since the last round to the peers that
// watch it, as the pump thread does when a watch list arrives. One thread at a time runs the
// rounds (the instance's owner). -1 when a pump thread runs.
int32_t net_module_pump_round(NetModule* module);

// The module's descriptor ("network", flag 4); init creates an instance on the platform transport.
const ModuleDescriptor* net_module_descriptor();
