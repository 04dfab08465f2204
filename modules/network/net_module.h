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
//   27 write a variable on the peer and wait for its answer (0 = written),
//   28 ask for the peer's acquisition history (pushed into the local hand-off on arrival).
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
    NET_WM_COMMAND = 0x0111,      // posted with the host's stop-acquisition command id
    NET_CMD_STOP_ACQUISITION = 2005,
};

struct NetModule;

// Timing of one module instance (tests shorten them).
struct NetModuleTiming {
    NetReadLimits read;
    int32_t connect_timeout_ms;
    int32_t write_timeout_ms;
    int32_t pump_period_ms;
};

// Creates a module instance over a host table and a transport; null when sockets cannot start.
NetModule* net_module_create(const HostApi* host, const NetTransport* transport, const NetModuleTiming* timing);
// Stops listening, closes every connection and joins every thread.
void net_module_destroy(NetModule* module);
// One network command (codes 20 to 29); see the list above.
int32_t net_module_command(NetModule* module, int32_t code, void* in, void* out);
// Number of live connections (tests and logs).
int32_t net_module_peer_count(NetModule* module);

// The module's descriptor ("network", flag 4); init creates an instance on the platform transport.
const ModuleDescriptor* net_module_descriptor();
