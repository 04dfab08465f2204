// libFuzzer target: frames a hostile peer sends to the network module, in both roles (as the
// listener that accepted the peer and as the side that connected to it), with and without a
// shared key. The first byte picks the role, whether a key is set and whether the module asks for
// tables and history before they arrive; the rest is a sequence of
// frames [type u8][length u16 LE][payload]. An AUTH frame with an empty payload is replaced by
// the correct proof, so the fuzzer also reaches everything behind the key exchange. Every frame
// also goes through the bare decoders and the header check.
#include <cstdarg>
#include <cstdint>
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
    NetModuleTiming timing = {{20, 2000}, 1000, 50, 60000, 0};
    NetModule* m = net_module_create(&kHost, &kSink, &timing);
    NetKey key = {"fuzz-key"};
    if (keyed) net_module_command(m, KX_NET_SET_KEY, &key, nullptr);
    return m;
}

// The bare codecs on the same bytes: they must reject or decode, never overrun.
void decode_everything(const uint8_t* data, uint32_t size) {
    static NetLeafEntry entries[NET_TABLE_MAX];
    static NetWireSample samples[NET_SAMPLES_MAX];
    static char names[NET_TABLE_MAX][NET_NAME_MAX + 1];
    uint32_t count = 0, name_count = 0;
    bool last = false;
    NetHello hello;
    NetWriteRequest write;
    NetWriteResult result;
    net_decode_hello(data, size, &hello);
    net_decode_leaves(data, size, entries, NET_TABLE_MAX, &count);
    net_decode_samples(data, size, samples, NET_SAMPLES_MAX, &count);
    net_decode_write(data, size, &write);
    net_decode_write_result(data, size, &result);
    net_decode_history(data, size, names, NET_TABLE_MAX, &name_count, samples, NET_SAMPLES_MAX, &count, &last);
    if (size >= NET_HEADER_SIZE) {
        NetFrameHeader h;
        net_header_decode(data, &h);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static NetModule* plain = module_with_key(false);
    static NetModule* keyed = module_with_key(true);
    // One connection per role and key setting, started afresh for every input (its buffers are
    // large: allocating them per input would dominate the run).
    static NetFedPeer* peers[4] = {net_module_feed_open(plain, false), net_module_feed_open(plain, true),
                                   net_module_feed_open(keyed, false), net_module_feed_open(keyed, true)};
    static NetModule* const modules[2] = {plain, keyed};
    if (size < 1) return 0;
    uint8_t mode = data[0];
    NetFedPeer* peer = peers[mode & 3];
    if (!peer) return 0;
    net_module_feed_reset(peer);
    NetHandshake* hs = net_module_feed_handshake(peer);
    std::memset(hs->own_nonce, 0x5a, sizeof hs->own_nonce);  // reproducible runs
    std::memset(g_watched, 0, sizeof g_watched);
    size_t pos = 1;
    while (pos + 3 <= size) {
        uint8_t type = data[pos];
        uint32_t length = (uint32_t)data[pos + 1] | ((uint32_t)data[pos + 2] << 8);
        pos += 3;
        if (length > size - pos) length = (uint32_t)(size - pos);
        const uint8_t* payload = data + pos;
        pos += length;
        decode_everything(payload, length);
        uint8_t proof[NET_DIGEST_SIZE];
        if (type == NET_MSG_AUTH && length == 0 && hs->have_hello) {
            // The peer's side of a correct exchange: it proves with the opposite role.
            net_auth_proof(hs->key, hs->key_size, !hs->outgoing, hs->own_nonce, hs->peer_nonce, proof);
            payload = proof;
            length = sizeof proof;
        }
        // A TABLE or HISTORY is taken only as an answer: with bit 2 of the mode the module asks
        // first, as the user's download commands do, so the merge behind them is reached too.
        if ((mode & 4) && (type == NET_MSG_TABLE || type == NET_MSG_HISTORY))
            net_module_command(modules[(mode >> 1) & 1], type == NET_MSG_TABLE ? KX_NET_REQUEST_TABLE : KX_NET_REQUEST_HISTORY,
                               nullptr, nullptr);
        if (net_module_feed_frame(peer, type, payload, length) != 0) break;
    }
    return 0;
}
