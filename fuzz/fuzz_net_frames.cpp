// libFuzzer target: frames a hostile peer sends to the network module, in both roles (as the
// listener that accepted the peer and as the side that connected to it), with and without a
// shared key. The first byte picks the role, whether a key is set and whether the module asks for
// tables and history before they arrive; the rest is a sequence of
// frames [type u8][length u16 LE][payload]. An AUTH frame with an empty payload is replaced by
// the correct proof, so the fuzzer also reaches everything behind the key exchange. Every frame
// also goes through the bare decoder its type picks and the header check. With bit 3 of the first byte a second
// viewer joins first and watches leaves of its own, so what one peer's lists do to leaves another
// peer watches is reached too; with bit 4 as well, the user then unticks them here (a leaf the
// other peer still serves, which the fed peer's list ticks again). The module has no pump thread: a watch list wakes the pump, whose
// round the fuzzer runs before the next frame that is not a watch list (or at the end), so lists
// that arrive back to back meet a pump that has not run yet, as they can meet the thread.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "net_auth.h"
#include "net_module.h"
#include "net_transport.h"

namespace {

// A host with a few leaves whose services accept everything and keep nothing.
const char* const kNames[] = {"g_motor.speed_rpm", "g_motor.speed_setpoint_rpm", "g_tick_ms", "g_flags.bits"};
int32_t g_watched[4];

int32_t host_log(int32_t, const char*, ...) { return 0; }
int32_t host_post(uint32_t, uintptr_t, intptr_t) { return 1; }
int32_t leaf_count() { return 4; }
const char* leaf_name(int32_t id) { return id >= 0 && id < 4 ? kNames[id] : nullptr; }
uint64_t leaf_address(int32_t id) { return 0x20000000u + 4u * (uint32_t)id; }
int32_t leaf_size(int32_t) { return 4; }
int32_t write_value(int32_t, double, char*, int32_t) { return 0; }
int32_t write_text(int32_t, const char* text, char* error, int32_t capacity) {
    if (text[0] == 'x' && error && capacity > 0) error[0] = 0;
    return text[0] == 'x' ? -1 : 0;
}
void push_sample(const Sample*) {}
int32_t is_watched(int32_t id) { return id >= 0 && id < 4 ? g_watched[id] : 0; }
int32_t set_watched(int32_t id, int32_t on) {
    if (id < 0 || id >= 4) return -1;
    g_watched[id] = on;
    return 0;
}
int32_t start_acquisition() { return 0; }
int32_t read_history(Sample* out, int32_t max) {
    int32_t n = max < 3 ? max : 3;
    for (int32_t i = 0; i < n; i++) {
        std::memset(&out[i], 0, sizeof out[i]);
        out[i].leaf_id = i;
        out[i].timestamp_us = i;
        out[i].size = 4;
    }
    return n;
}
int32_t upsert(const char* name, uint64_t, int32_t) { return name && name[0] ? 1 : 0; }
void sync_done(int32_t, int32_t) {}

HostApi make_host() {
    HostApi a = {};
    a.version = KX_HOST_API_VERSION;
    a.host_log = host_log;
    a.host_post_message = host_post;
    a.host_leaf_count = leaf_count;
    a.host_leaf_name = leaf_name;
    a.host_leaf_address = leaf_address;
    a.host_leaf_size = leaf_size;
    a.host_write_value = write_value;
    a.host_write_text = write_text;
    a.host_push_sample = push_sample;
    a.host_is_watched = is_watched;
    a.host_set_watched = set_watched;
    a.host_start_acquisition = start_acquisition;
    a.host_read_history = read_history;
    a.host_upsert_remote_leaf = upsert;
    a.host_remote_sync_done = sync_done;
    return a;
}

// A transport whose sends vanish: the fed peers have no socket.
int32_t t_startup() { return 0; }
void t_cleanup() {}
NetSock t_listen(const char*, int32_t, char*, size_t) { return NET_SOCK_NONE; }
NetSock t_accept(NetSock, int32_t, char*, size_t) { return NET_SOCK_NONE; }
NetSock t_connect(const char*, int32_t, int32_t, char*, size_t) { return NET_SOCK_NONE; }
int32_t t_send(NetSock, const void*, uint32_t size) { return size ? (int32_t)size : 1; }
int32_t t_recv(NetSock, void*, uint32_t, int32_t) { return NET_IO_CLOSED; }
void t_none(NetSock) {}
const NetTransport kSink = {t_startup, t_cleanup, t_listen, t_accept, t_connect, t_send, t_recv, t_none, t_none};

const HostApi kHost = make_host();

NetModule* module_with_key(bool keyed) {
    // No pump thread: the fuzzer runs the pump's rounds itself, so what a watch list forwards is
    // reached at the same point of every run (a thread would reach it when it happened to wake).
    NetModuleTiming timing = {{20, 2000}, 1000, 50, -1, 0};
    NetModule* m = net_module_create(&kHost, &kSink, &timing);
    NetKey key = {"fuzz-key"};
    if (keyed) net_module_command(m, KX_NET_SET_KEY, &key, nullptr);
    return m;
}

// A bare codec on the same bytes: it must reject or decode, never overrun. The frame's type picks
// the decoder its payload is meant for; types that carry no payload to decode (requests, AUTH,
// offers, unknown numbers) pick one by their number, so every decoder meets any bytes whatever
// state the connection is in. (Running all six on every frame cost a sixth of each run.)
void decode_as_type(uint8_t type, const uint8_t* data, uint32_t size) {
    static NetLeafEntry entries[NET_TABLE_MAX];
    static NetWireSample samples[NET_SAMPLES_MAX];
    static char names[NET_TABLE_MAX][NET_NAME_MAX + 1];
    static const uint8_t kByNumber[6] = {NET_MSG_HELLO, NET_MSG_TABLE,        NET_MSG_SAMPLES,
                                         NET_MSG_WRITE, NET_MSG_WRITE_RESULT, NET_MSG_HISTORY};
    uint32_t count = 0, name_count = 0;
    bool last = false;
    NetHello hello;
    NetWriteRequest write;
    NetWriteResult result;
    switch (type) {
    case NET_MSG_HELLO:
    case NET_MSG_TABLE:
    case NET_MSG_WATCH:
    case NET_MSG_SAMPLES:
    case NET_MSG_WRITE:
    case NET_MSG_WRITE_RESULT:
    case NET_MSG_HISTORY: break;
    default: type = kByNumber[type % 6]; break;
    }
    switch (type) {
    case NET_MSG_HELLO: net_decode_hello(data, size, &hello); break;
    case NET_MSG_TABLE:
    case NET_MSG_WATCH: net_decode_leaves(data, size, entries, NET_TABLE_MAX, &count); break;
    case NET_MSG_SAMPLES: net_decode_samples(data, size, samples, NET_SAMPLES_MAX, &count); break;
    case NET_MSG_WRITE: net_decode_write(data, size, &write); break;
    case NET_MSG_WRITE_RESULT: net_decode_write_result(data, size, &result); break;
    default:
        net_decode_history(data, size, names, NET_TABLE_MAX, &name_count, samples, NET_SAMPLES_MAX, &count, &last);
        break;
    }
    if (size >= NET_HEADER_SIZE) {
        NetFrameHeader h;
        net_header_decode(data, &h);
    }
}

// The peer's proof in a correct exchange: made with the opposite role.
void peer_proof(const NetHandshake* hs, uint8_t proof[NET_DIGEST_SIZE]) {
    net_auth_proof(hs->key, hs->key_size, !hs->outgoing, hs->own_nonce, hs->peer_nonce, proof);
}

// Completes the second viewer's handshake and sends its fixed watch list (two known leaves and
// one this host does not have); false when the module refused a step.
bool sibling_join(NetFedPeer* sibling) {
    static uint8_t watch[4 + 3 * (8 + 4 + 1 + NET_NAME_MAX)];
    static uint32_t watch_size = [] {
        NetLeafEntry entries[3] = {};
        std::snprintf(entries[0].name, sizeof entries[0].name, "%s", kNames[0]);
        std::snprintf(entries[1].name, sizeof entries[1].name, "%s", kNames[2]);
        std::snprintf(entries[2].name, sizeof entries[2].name, "%s", "g_not.here");
        return net_encode_leaves(watch, sizeof watch, entries, 3);
    }();
    NetHandshake* hs = net_module_feed_handshake(sibling);
    std::memset(hs->own_nonce, 0x3c, sizeof hs->own_nonce);
    NetHello hello = {};
    hello.version = NET_PROTOCOL_VERSION;
    std::snprintf(hello.program, sizeof hello.program, "%s", "Kestrelix");
    std::memset(hello.nonce, 0xc3, sizeof hello.nonce);
    hello.flags = hs->key_size ? (uint32_t)NET_HELLO_HAS_KEY : 0u;
    uint8_t payload[128];
    if (net_module_feed_frame(sibling, NET_MSG_HELLO, payload, net_encode_hello(payload, sizeof payload, &hello)) != 0)
        return false;
    if (hs->key_size) {
        uint8_t proof[NET_DIGEST_SIZE];
        peer_proof(hs, proof);
        if (net_module_feed_frame(sibling, NET_MSG_AUTH, proof, sizeof proof) != 0) return false;
    }
    return net_module_feed_frame(sibling, NET_MSG_WATCH, watch, watch_size) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static NetModule* plain = module_with_key(false);
    static NetModule* keyed = module_with_key(true);
    // One connection per role and key setting, kept across inputs (its buffers are large:
    // allocating them per input would dominate the run) and started afresh after each input.
    static NetFedPeer* peers[4] = {net_module_feed_open(plain, false), net_module_feed_open(plain, true),
                                   net_module_feed_open(keyed, false), net_module_feed_open(keyed, true)};
    static NetFedPeer* siblings[2] = {net_module_feed_open(plain, false), net_module_feed_open(keyed, false)};
    static NetModule* const modules[2] = {plain, keyed};
    if (size < 1) return 0;
    uint8_t mode = data[0];
    NetFedPeer* peer = peers[mode & 3];
    NetModule* const module = modules[(mode >> 1) & 1];
    NetFedPeer* const sibling = (mode & 8) ? siblings[(mode >> 1) & 1] : nullptr;
    if (!peer) return 0;
    NetHandshake* hs = net_module_feed_handshake(peer);
    std::memset(hs->own_nonce, 0x5a, sizeof hs->own_nonce);  // reproducible runs
    std::memset(g_watched, 0, sizeof g_watched);
    bool pump_due = sibling && sibling_join(sibling);
    if (sibling && (mode & 16)) std::memset(g_watched, 0, sizeof g_watched);
    size_t pos = 1;
    while (pos + 3 <= size) {
        uint8_t type = data[pos];
        uint32_t length = (uint32_t)data[pos + 1] | ((uint32_t)data[pos + 2] << 8);
        pos += 3;
        if (length > size - pos) length = (uint32_t)(size - pos);
        const uint8_t* payload = data + pos;
        pos += length;
        if (pump_due && type != NET_MSG_WATCH) {
            net_module_pump_round(module);
            pump_due = false;
        }
        decode_as_type(type, payload, length);
        uint8_t proof[NET_DIGEST_SIZE];
        if (type == NET_MSG_AUTH && length == 0 && hs->have_hello) {
            peer_proof(hs, proof);
            payload = proof;
            length = sizeof proof;
        }
        // A TABLE or HISTORY is taken only as an answer: with bit 2 of the mode the module asks
        // first, as the user's download commands do, so the merge behind them is reached too.
        if ((mode & 4) && (type == NET_MSG_TABLE || type == NET_MSG_HISTORY))
            net_module_command(module, type == NET_MSG_TABLE ? KX_NET_REQUEST_TABLE : KX_NET_REQUEST_HISTORY,
                               nullptr, nullptr);
        const int32_t fed = net_module_feed_frame(peer, type, payload, length);
        pump_due = pump_due || type == NET_MSG_WATCH;
        if (fed != 0) break;
    }
    if (pump_due) net_module_pump_round(module);
    // The reset releases what the input made the peer hold (its watch lists and their names)
    // within the same run: an input whose allocations outlive it is run again and leak-checked
    // by libFuzzer, which costs more than the input itself.
    net_module_feed_reset(peer);
    if (sibling) net_module_feed_reset(sibling);
    net_module_pump_round(module);  // nothing watched now: forwarding starts afresh next time
    return 0;
}
