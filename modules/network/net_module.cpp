// net_module.cpp - the network module's connections, commands and message handling.
//
// Index
//   [SECTION] Records
//   [SECTION] Helpers: logging, leaf lookups, sending
//   [SECTION] Peers: set-up, reader thread, tear-down
//   [SECTION] Received messages
//   [SECTION] Sample pump
//   [SECTION] Commands
//   [SECTION] Frames fed by the caller (fuzzing)
//   [SECTION] Life cycle and descriptor
#include "net_module.h"

#include "net_auth.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

//-------------------------------------------------------------------------------------------------
// [SECTION] Records
//-------------------------------------------------------------------------------------------------

namespace {

// One leaf of a watch list with its id in the local leaf table (ids change on reloads; the name
// is the key and the id is checked before each use).
struct WatchEntry {
    std::string name;
    int32_t id;
    char last_text[NET_TEXT_MAX + 1];  // receiving side: the last value seen (for the rate line)
};

// The name table of one history chunk as it is built (reader thread, made at the first history
// request and kept): the names as they travel, cut to NET_NAME_MAX, and each leaf id's place
// among them in an open-addressing table from which a chunk clears only the entries it used.
struct HistoryNames {
    enum : uint32_t { SLOTS = 2 * NET_HISTORY_CHUNK };  // one name per sample at most: never full
    static constexpr int32_t kFree = INT32_MIN;
    char text[NET_HISTORY_CHUNK][NET_NAME_MAX + 1];
    const char* names[NET_HISTORY_CHUNK];  // text[i], as the encoder takes them
    uint32_t entry[NET_HISTORY_CHUNK];     // the table entry of each name
    int32_t key[SLOTS];                    // leaf id, or kFree
    uint16_t slot[SLOTS];                  // the name's index in the chunk
    uint32_t count;
};
static_assert((HistoryNames::SLOTS & (HistoryNames::SLOTS - 1)) == 0, "open addressing masks the hash");
static_assert(NET_HISTORY_CHUNK <= 65536 && NET_TABLE_MAX <= 65536, "chunk slots and list orders are 16-bit");

// One connection.
struct Peer {
    NetModule* module = nullptr;
    NetSock sock = NET_SOCK_NONE;
    char label[64] = {};
    bool outgoing = false;                  // made by a connect command (not accepted)
    std::atomic<bool> stop{false};
    std::atomic<bool> dead{false};
    // HELLO and, with a key, the proof both ways: until `ready` nothing is sent to the peer but
    // the handshake and nothing it sends is acted upon.
    NetHandshake hs = {};                   // reader thread only (after set-up)
    std::atomic<bool> ready{false};
    std::atomic<int32_t> table_requests{0}; // TABLE frames this side asked for and not yet received
    std::atomic<int32_t> history_requests{0};  // history requests whose last chunk has not arrived
    std::mutex send_lock;
    std::thread reader;
    std::unique_ptr<uint8_t[]> rx;          // one payload, NET_PAYLOAD_MAX bytes
    // Decoding room of the reader thread (allocated with the peer, reused for every frame).
    std::unique_ptr<NetWireSample[]> rx_samples;                  // NET_SAMPLES_MAX
    std::unique_ptr<char[][NET_NAME_MAX + 1]> rx_names;           // NET_TABLE_MAX
    std::unique_ptr<NetLeafEntry[]> rx_entries;                   // NET_TABLE_MAX (tables, watch lists)
    std::unique_ptr<uint16_t[]> rx_order;                         // NET_TABLE_MAX: a list's names sorted
    std::unique_ptr<int32_t[]> rx_ids;                            // NET_TABLE_MAX: their local ids
    // Room for answering history requests (and for the look behind a watch list's start mark),
    // made at the first use and kept (reader thread).
    std::unique_ptr<Sample[]> tx_history;                         // NET_HISTORY_MAX
    std::unique_ptr<NetWireSample[]> tx_wire;                     // NET_HISTORY_CHUNK
    std::unique_ptr<uint8_t[]> tx_payload;                        // NET_PAYLOAD_MAX
    std::unique_ptr<HistoryNames> tx_names;

    std::mutex watch_lock;                  // guards the four lists below
    std::vector<WatchEntry> served;         // what the peer watches here: samples go to it
    std::vector<int32_t> ticked;            // ids this peer's watch list ticked here
    std::vector<WatchEntry> requested;      // what this side asked the peer for: incoming samples
    uint32_t history_pushed = 0, history_unknown = 0;  // reader thread only
};

struct PumpBuffers;

}  // namespace

struct NetModule {
    const HostApi* host;
    const NetTransport* t;
    NetModuleTiming timing;
    std::atomic<bool> shutting_down{false};

    std::mutex lock;                        // peers, listener
    std::vector<std::shared_ptr<Peer>> peers;
    NetSock listener = NET_SOCK_NONE;
    std::thread accept_thread;
    std::atomic<bool> accept_stop{false};

    std::thread pump;                       // none when the caller pumps (pump_period_ms < 0)
    std::unique_ptr<PumpBuffers> caller_pump;  // the caller's pump buffers, made at its first round
    std::mutex pump_lock;
    std::condition_variable pump_cv;
    bool pump_signal = false, pump_quit = false;
    Sample last_forwarded = {};             // pump thread only: the newest sample already looked at
    bool have_last_forwarded = false;
    bool overrun_logged = false;            // pump thread only: the lost-samples warning of this forwarding
    Sample start_mark = {};                 // pump_lock: the newest sample when a watch list arrived
    bool start_mark_set = false;

    std::mutex key_lock;                    // the shared key of later listens and connects
    char key[NET_KEY_MAX + 1] = {};
    char listen_key[NET_KEY_MAX + 1] = {};  // key_lock: the key the running listener started with

    std::mutex write_serial;                // one remote write at a time
    std::mutex write_lock;                  // the pending write below
    std::condition_variable write_cv;
    const Peer* write_peer = nullptr;       // the connection the pending write went to
    uint32_t write_pending_id = 0;          // its random request id (0 = none pending)
    bool write_answered = false;
    NetWriteResult write_answer = {};

    std::mutex stats_lock;                  // received-sample rate line
    uint32_t stats_received = 0;
    int64_t stats_start_ms = 0;
};

//-------------------------------------------------------------------------------------------------
// [SECTION] Helpers: logging, leaf lookups, sending
//-------------------------------------------------------------------------------------------------

namespace {

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void copy_text(char* out, size_t capacity, const char* text) {
    if (!capacity) return;
    size_t n = text ? strnlen(text, capacity - 1) : 0;
    if (n) std::memcpy(out, text, n);
    out[n] = 0;
}

#define NET_LOG(m, level, ...) \
    do { \
        if ((m)->host && (m)->host->host_log) (m)->host->host_log(level, __VA_ARGS__); \
    } while (0)

int32_t leaf_count(NetModule* m) { return m->host->host_leaf_count ? m->host->host_leaf_count() : 0; }
const char* leaf_name(NetModule* m, int32_t id) { return m->host->host_leaf_name ? m->host->host_leaf_name(id) : nullptr; }

// The local ids of the names of a received list (ids[i] = -1 where the table has no such name).
// The list's names are sorted once (`order`, room for NET_TABLE_MAX) and every local leaf is
// looked up among them: one walk of the table with no copy of it, so a list costs memory for its
// own names only, not a string per leaf of a large firmware. The first leaf of a name wins, as
// in the host's lookup; names the list repeats all get it.
template <typename NameAt>
void resolve_list(NetModule* m, uint32_t count, NameAt name_at, uint16_t* order, int32_t* ids) {
    for (uint32_t i = 0; i < count; i++) {
        order[i] = (uint16_t)i;
        ids[i] = -1;
    }
    if (count == 0) return;
    const auto before = [&](uint16_t a, uint16_t b) { return std::strcmp(name_at(a), name_at(b)) < 0; };
    std::sort(order, order + count, before);
    const int32_t n = leaf_count(m);
    for (int32_t id = 0; id < n; id++) {
        const char* name = leaf_name(m, id);
        if (!name) continue;
        uint16_t* at = std::lower_bound(order, order + count, name, [&](uint16_t a, const char* key) {
            return std::strcmp(name_at(a), key) < 0;
        });
        for (; at < order + count && std::strcmp(name_at(*at), name) == 0; at++)
            if (ids[*at] < 0) ids[*at] = id;
    }
}

// The id of one name; the cached id when it still names that leaf.
int32_t resolve_leaf(NetModule* m, const std::string& name, int32_t cached) {
    const char* at = cached >= 0 ? leaf_name(m, cached) : nullptr;
    if (at && name == at) return cached;
    int32_t n = leaf_count(m);
    for (int32_t id = 0; id < n; id++) {
        const char* candidate = leaf_name(m, id);
        if (candidate && name == candidate) return id;
    }
    return -1;
}

// Sends one frame to one peer; a failed send ends the connection.
bool send_frame(Peer* p, uint8_t type, const uint8_t* payload, uint32_t size) {
    if (p->dead.load() || p->stop.load()) return false;
    std::lock_guard<std::mutex> hold(p->send_lock);
    if (net_write_frame(p->module->t, p->sock, type, payload, size) == 0) return true;
    if (!p->stop.exchange(true) && !p->module->shutting_down.load())
        NET_LOG(p->module, KX_LOG_WARN, "网络模块: 向 %s 发送失败，断开连接", p->label);
    p->module->t->shutdown_both(p->sock);  // the reader thread notices and ends the connection
    return false;
}

// Connections that completed the handshake and are not ending.
std::vector<std::shared_ptr<Peer>> live_peers(NetModule* m) {
    std::lock_guard<std::mutex> hold(m->lock);
    std::vector<std::shared_ptr<Peer>> out;
    for (auto& p : m->peers)
        if (p->ready.load() && !p->dead.load() && !p->stop.load()) out.push_back(p);
    return out;
}

// Sends one payload to every live peer; the number of peers reached.
int32_t broadcast(NetModule* m, uint8_t type, const uint8_t* payload, uint32_t size) {
    int32_t sent = 0;
    for (auto& p : live_peers(m))
        if (send_frame(p.get(), type, payload, size)) sent++;
    return sent;
}

bool send_hello(Peer* p) {
    uint8_t payload[128];
    uint32_t n = net_handshake_hello(&p->hs, "Kestrelix", payload, sizeof payload);
    return send_frame(p, NET_MSG_HELLO, payload, n);
}

// The own table as wire entries.
std::vector<NetLeafEntry> own_table(NetModule* m) {
    std::vector<NetLeafEntry> entries;
    int32_t n = leaf_count(m);
    if (n > (int32_t)NET_TABLE_MAX) n = NET_TABLE_MAX;
    entries.reserve((size_t)(n > 0 ? n : 0));
    for (int32_t id = 0; id < n; id++) {
        const char* name = leaf_name(m, id);
        if (!name || !name[0]) continue;
        NetLeafEntry e = {};
        copy_text(e.name, sizeof e.name, name);
        e.address = m->host->host_leaf_address ? m->host->host_leaf_address(id) : 0;
        e.size = m->host->host_leaf_size ? m->host->host_leaf_size(id) : 0;
        entries.push_back(e);
    }
    return entries;
}

std::vector<uint8_t> encode_leaves(const std::vector<NetLeafEntry>& entries) {
    std::vector<uint8_t> payload(4 + entries.size() * (8 + 4 + 1 + NET_NAME_MAX));
    uint32_t n = net_encode_leaves(payload.data(), (uint32_t)payload.size(), entries.data(), (uint32_t)entries.size());
    payload.resize(n);
    return payload;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Peers: set-up, reader thread, tear-down
//-------------------------------------------------------------------------------------------------

void handle_frame(Peer* p, const NetFrameHeader* h, const uint8_t* payload);
void release_ticks(NetModule* m, Peer* p);

// One frame before the handshake completed; false when the connection must end (logged).
bool handshake_frame(Peer* p, const NetFrameHeader* h, const uint8_t* payload) {
    NetModule* m = p->module;
    uint8_t proof[NET_DIGEST_SIZE];
    int32_t step = net_handshake_step(&p->hs, h->type, payload, h->length, proof);
    if (step < 0) {
        NET_LOG(m, KX_LOG_WARN, "网络模块: 拒绝对端 %s：%s，断开", p->label, net_handshake_step_text(step));
        return false;
    }
    if (step == NET_HS_SEND_PROOF && !send_frame(p, NET_MSG_AUTH, proof, NET_DIGEST_SIZE)) return false;
    if (net_handshake_ready(&p->hs)) {
        p->ready.store(true);
        NET_LOG(m, KX_LOG_INFO, "网络模块: 与 %s 握手完成（%s，协议 %u%s）", p->label, p->hs.peer_program,
                p->hs.peer_version, p->hs.key_size ? "，密钥已验证" : "");
    }
    return true;
}

void reader_main(std::shared_ptr<Peer> p) {
    NetModule* m = p->module;
    int32_t result = NET_READ_OK;
    // A peer that has not completed the handshake in time is closed: idle sockets cannot hold
    // the connection slots.
    int64_t handshake_deadline = net_clock_ms() + m->timing.handshake_timeout_ms;
    while (!p->stop.load()) {
        NetFrameHeader h;
        bool ready = p->ready.load();
        result = net_read_frame(m->t, p->sock, &h, p->rx.get(), NET_PAYLOAD_MAX, &p->stop, &m->timing.read,
                                ready ? 0 : handshake_deadline);
        if (result != NET_READ_OK) break;
        if (!ready) {
            if (!handshake_frame(p.get(), &h, p->rx.get())) break;
            continue;
        }
        handle_frame(p.get(), &h, p->rx.get());
    }
    // A handler or a failed send that ended the connection has said why already.
    if (result != NET_READ_STOPPED && result != NET_READ_OK && !m->shutting_down.load()) {
        int level = result == NET_READ_CLOSED ? KX_LOG_INFO : KX_LOG_WARN;
        if (result == NET_READ_DEADLINE)
            NET_LOG(m, KX_LOG_WARN, "网络模块: 对端 %s 未在 %d 毫秒内完成握手，断开", p->label,
                    (int)m->timing.handshake_timeout_ms);
        // A listener that refuses our proof hangs up without proving its own key: the only
        // sign of a wrong key on this side.
        if (result == NET_READ_CLOSED && !p->ready.load() && p->outgoing && p->hs.have_hello && p->hs.key_size > 0)
            NET_LOG(m, KX_LOG_WARN, "网络模块: 对端 %s 未接受本端的密钥证明，断开：%s", p->label,
                    net_handshake_step_text(NET_HS_BAD_PROOF));
        NET_LOG(m, level, "网络模块: 与对端 %s 的连接已断开（%s）", p->label, net_read_result_text(result));
    }
    p->stop.store(true);
    release_ticks(m, p.get());
    p->dead.store(true);
}

// A new connection's record with its handshake and receive buffers; null when refused (logged,
// socket closed). Accepted peers prove the key the listener started with: a key set later for a
// connect elsewhere (or cleared) does not change what guards a running listener.
std::shared_ptr<Peer> make_peer(NetModule* m, NetSock sock, const char* label, bool outgoing, bool listener_key) {
    auto p = std::make_shared<Peer>();
    p->module = m;
    p->sock = sock;
    p->outgoing = outgoing;
    copy_text(p->label, sizeof p->label, label);
    int32_t random_ok;
    {
        std::lock_guard<std::mutex> hold(m->key_lock);
        random_ok = net_handshake_init(&p->hs, outgoing, listener_key ? m->listen_key : m->key);
    }
    if (random_ok != 0) {
        NET_LOG(m, KX_LOG_ERROR, "网络模块: 系统随机数不可用，拒绝连接 %s", label);
        m->t->close(sock);
        return nullptr;
    }
    p->rx.reset(new (std::nothrow) uint8_t[NET_PAYLOAD_MAX]);
    p->rx_samples.reset(new (std::nothrow) NetWireSample[NET_SAMPLES_MAX]);
    p->rx_names.reset(new (std::nothrow) char[NET_TABLE_MAX][NET_NAME_MAX + 1]);
    p->rx_entries.reset(new (std::nothrow) NetLeafEntry[NET_TABLE_MAX]);
    p->rx_order.reset(new (std::nothrow) uint16_t[NET_TABLE_MAX]);
    p->rx_ids.reset(new (std::nothrow) int32_t[NET_TABLE_MAX]);
    if (!p->rx || !p->rx_samples || !p->rx_names || !p->rx_entries || !p->rx_order || !p->rx_ids) {
        NET_LOG(m, KX_LOG_ERROR, "网络模块: 内存不足，拒绝连接 %s", label);
        m->t->close(sock);
        return nullptr;
    }
    return p;
}

// Registers a connected socket as a peer, greets it and starts its reader; null when refused.
std::shared_ptr<Peer> add_peer(NetModule* m, NetSock sock, const char* label, bool outgoing) {
    std::shared_ptr<Peer> p = make_peer(m, sock, label, outgoing, !outgoing);
    if (!p) return nullptr;
    {
        std::lock_guard<std::mutex> hold(m->lock);
        int32_t live = 0;
        for (auto& q : m->peers)
            if (!q->dead.load()) live++;
        if (live >= NET_PEERS_MAX) {
            NET_LOG(m, KX_LOG_WARN, "网络模块: 连接数已满 (%d)，拒绝 %s", (int)NET_PEERS_MAX, label);
            m->t->close(sock);
            return nullptr;
        }
        m->peers.push_back(p);
    }
    send_hello(p.get());
    p->reader = std::thread(reader_main, p);
    return p;
}

// Joins and closes one peer whose reader ended or is told to end.
void finish_peer(NetModule* m, const std::shared_ptr<Peer>& p) {
    p->stop.store(true);
    m->t->shutdown_both(p->sock);
    if (p->reader.joinable()) p->reader.join();
    m->t->close(p->sock);
    p->sock = NET_SOCK_NONE;
}

// Removes peers whose reader has ended (any thread but a reader).
void reap_dead_peers(NetModule* m) {
    std::vector<std::shared_ptr<Peer>> dead;
    {
        std::lock_guard<std::mutex> hold(m->lock);
        for (size_t i = 0; i < m->peers.size();) {
            if (m->peers[i]->dead.load()) {
                dead.push_back(m->peers[i]);
                m->peers.erase(m->peers.begin() + (long)i);
            } else {
                i++;
            }
        }
    }
    for (auto& p : dead) finish_peer(m, p);
}

void close_all_peers(NetModule* m) {
    std::vector<std::shared_ptr<Peer>> all;
    {
        std::lock_guard<std::mutex> hold(m->lock);
        all.swap(m->peers);
    }
    for (auto& p : all) finish_peer(m, p);
}

// Closes the connection that an earlier connect command made (one outgoing connection at a time,
// so a second connect does not double every sample and write).
void close_outgoing(NetModule* m) {
    std::vector<std::shared_ptr<Peer>> old;
    {
        std::lock_guard<std::mutex> hold(m->lock);
        for (size_t i = 0; i < m->peers.size();) {
            if (m->peers[i]->outgoing) {
                old.push_back(m->peers[i]);
                m->peers.erase(m->peers.begin() + (long)i);
            } else {
                i++;
            }
        }
    }
    for (auto& p : old) finish_peer(m, p);
}

void accept_main(NetModule* m) {
    while (!m->accept_stop.load()) {
        char label[64] = "?";
        NetSock s = m->t->accept_tcp(m->listener, m->timing.read.poll_ms, label, sizeof label);
        reap_dead_peers(m);
        if (s == NET_SOCK_NONE) continue;
        if (add_peer(m, s, label, false)) NET_LOG(m, KX_LOG_INFO, "网络模块: 对端已连接 %s", label);
    }
}

void stop_listening(NetModule* m) {
    m->accept_stop.store(true);
    if (m->accept_thread.joinable()) m->accept_thread.join();
    std::lock_guard<std::mutex> hold(m->lock);
    if (m->listener != NET_SOCK_NONE) m->t->close(m->listener);
    m->listener = NET_SOCK_NONE;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Received messages
//-------------------------------------------------------------------------------------------------

// True when some peer other than `except` lists the id in its served watch list.
bool wanted_by_other(NetModule* m, Peer* except, int32_t id) {
    for (auto& q : live_peers(m)) {
        if (q.get() == except) continue;
        std::lock_guard<std::mutex> hold(q->watch_lock);
        for (const WatchEntry& e : q->served)
            if (e.id == id) return true;
    }
    return false;
}

bool any_leaf_watched(NetModule* m) {
    if (!m->host->host_is_watched) return false;
    int32_t n = leaf_count(m);
    for (int32_t id = 0; id < n; id++)
        if (m->host->host_is_watched(id)) return true;
    return false;
}

// Unticks what this peer's watch list ticked (unless another peer wants it); when nothing is
// watched any more, asks the main thread to stop acquisition.
void release_ticks(NetModule* m, Peer* p) {
    std::vector<int32_t> ticked;
    {
        std::lock_guard<std::mutex> hold(p->watch_lock);
        ticked.swap(p->ticked);
        p->served.clear();
    }
    if (ticked.empty() || m->shutting_down.load()) return;
    for (int32_t id : ticked)
        if (!wanted_by_other(m, p, id) && m->host->host_set_watched) m->host->host_set_watched(id, 0);
    if (!any_leaf_watched(m) && m->host->host_post_message)
        m->host->host_post_message(NET_WM_COMMAND, NET_CMD_STOP_ACQUISITION, 0);
}

void on_table(Peer* p, const uint8_t* payload, uint32_t size) {
    NetModule* m = p->module;
    // A table only answers a request of ours: nobody moves our leaves by sending one uninvited.
    int32_t asked = p->table_requests.load();
    while (asked > 0 && !p->table_requests.compare_exchange_weak(asked, asked - 1)) {
    }
    if (asked <= 0) {
        NET_LOG(m, KX_LOG_WARN, "网络模块: 拒绝对端 %s 未经请求的变量表", p->label);
        return;
    }
    NetLeafEntry* entries = p->rx_entries.get();
    uint32_t count = 0;
    if (net_decode_leaves(payload, size, entries, NET_TABLE_MAX, &count) != 0) {
        NET_LOG(m, KX_LOG_WARN, "网络模块: 对端 %s 的变量表格式错误，已忽略", p->label);
        return;
    }
    int32_t added = 0, updated = 0;
    for (uint32_t i = 0; i < count && m->host->host_upsert_remote_leaf; i++) {
        int32_t r = m->host->host_upsert_remote_leaf(entries[i].name, entries[i].address, entries[i].size);
        if (r == 1) added++;
        else if (r == 2) updated++;
    }
    NET_LOG(m, KX_LOG_INFO, "网络模块: 收到对端 %s 变量表 %u 个（新增 %d，更新 %d）", p->label, count, added, updated);
    if (m->host->host_remote_sync_done) m->host->host_remote_sync_done(added, updated);
}

// The answer to a peer's table request.
void send_table(NetModule* m, Peer* to) {
    std::vector<NetLeafEntry> entries = own_table(m);
    std::vector<uint8_t> payload = encode_leaves(entries);
    uint32_t count = (uint32_t)entries.size();
    send_frame(to, NET_MSG_TABLE, payload.data(), (uint32_t)payload.size());
    NET_LOG(m, KX_LOG_INFO, "网络模块: 发送变量表 %u 个", count);
}

// The newest sample in the history, for a start mark; 0 when there is none. The look spans a
// whole window: the newest slots may be reserved by a writer still filling its batch, and the
// history then ends before them. A look at one sample would find nothing, and a mark of
// "nothing published yet" would resend the whole history to a peer that has most of it.
int32_t newest_published(NetModule* m, Peer* p, Sample* out) {
    if (!m->host->host_read_history) return 0;
    if (!p->tx_history) p->tx_history.reset(new (std::nothrow) Sample[NET_HISTORY_MAX]);  // reader thread
    if (!p->tx_history) return m->host->host_read_history(out, 1);
    int32_t n = m->host->host_read_history(p->tx_history.get(), NET_HISTORY_MAX);
    if (n > 0) *out = p->tx_history[(size_t)n - 1];
    return n;
}

void on_watch(Peer* p, const uint8_t* payload, uint32_t size) {
    NetModule* m = p->module;
    if (m->shutting_down.load()) return;  // a list arriving while the program closes starts nothing
    NetLeafEntry* entries = p->rx_entries.get();
    uint32_t count = 0;
    if (net_decode_leaves(payload, size, entries, NET_TABLE_MAX, &count) != 0) {
        NET_LOG(m, KX_LOG_WARN, "网络模块: 对端 %s 的监视列表格式错误，已忽略", p->label);
        return;
    }
    int32_t* ids = p->rx_ids.get();
    resolve_list(m, count, [entries](uint16_t i) { return (const char*)entries[i].name; }, p->rx_order.get(), ids);
    std::vector<WatchEntry> served;
    served.reserve(count);
    int32_t missing = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (ids[i] < 0) missing++;
        // Unknown names keep their place so the peer's indexes stay aligned.
        served.push_back(WatchEntry{entries[i].name, ids[i], {}});
    }
    if (count > 0) {
        // Forwarding starts with the samples published after this moment; the pump adopts the
        // mark unless it is already forwarding for another peer.
        Sample newest = {};
        int32_t have = newest_published(m, p, &newest);
        std::lock_guard<std::mutex> hold(m->pump_lock);
        if (!m->start_mark_set) m->start_mark = have > 0 ? newest : Sample{};  // zero record: matches none
        m->start_mark_set = true;
    }
    std::vector<int32_t> old_ticked;
    {
        std::lock_guard<std::mutex> hold(p->watch_lock);
        old_ticked.swap(p->ticked);
    }
    // Tick the new list; remember what was off before (ours to untick later).
    std::vector<int32_t> ticked;
    for (const WatchEntry& e : served) {
        if (e.id < 0) continue;
        bool was_ours = false;
        for (int32_t id : old_ticked) was_ours = was_ours || id == e.id;
        bool was_on = m->host->host_is_watched && m->host->host_is_watched(e.id);
        if (!was_on && m->host->host_set_watched) m->host->host_set_watched(e.id, 1);
        if (!was_on || was_ours) ticked.push_back(e.id);
    }
    {
        std::lock_guard<std::mutex> hold(p->watch_lock);
        p->served.swap(served);  // the old lists are freed below, outside the lock
        p->ticked = ticked;
    }
    for (int32_t id : old_ticked) {
        bool kept = false;
        for (int32_t k : ticked) kept = kept || k == id;
        if (!kept && !wanted_by_other(m, p, id) && m->host->host_set_watched) m->host->host_set_watched(id, 0);
    }
    if (count == 0) {
        NET_LOG(m, KX_LOG_INFO, "网络模块: 对端 %s 停止下达（空监视列表）", p->label);
        if (!any_leaf_watched(m) && m->host->host_post_message)
            m->host->host_post_message(NET_WM_COMMAND, NET_CMD_STOP_ACQUISITION, 0);
        return;
    }
    NET_LOG(m, KX_LOG_INFO, "网络模块: 对端 %s 下达监视列表 %u 个变量（未找到 %d 个）", p->label, count, missing);
    if ((int32_t)count > missing && m->host->host_start_acquisition && !m->shutting_down.load())
        m->host->host_start_acquisition();
    std::lock_guard<std::mutex> hold(m->pump_lock);
    m->pump_signal = true;
    m->pump_cv.notify_one();
}

// One host sample as it travels: tagged with its index, the size kept within a sample's 64 bytes.
void to_wire_sample(const Sample& s, uint16_t index, NetWireSample* w) {
    *w = NetWireSample{};
    w->index = index;
    w->timestamp_us = s.timestamp_us;
    w->value = s.value;
    w->size = s.size >= 0 && s.size <= 64 ? s.size : 0;
    std::memcpy(w->raw, s.raw, 8);
    w->origin = (uint8_t)(s.origin != 0);
    copy_text(w->text, sizeof w->text, s.text);
}

// Fills a host sample from a wire sample for a local leaf.
void to_host_sample(NetModule* m, const NetWireSample* w, int32_t id, Sample* s) {
    std::memset(s, 0, sizeof *s);
    s->timestamp_us = w->timestamp_us;
    s->leaf_id = id;
    s->address = m->host->host_leaf_address ? m->host->host_leaf_address(id) : 0;
    std::memcpy(s->raw, w->raw, sizeof s->raw);
    s->size = w->size;
    s->value = w->value;
    copy_text(s->text, sizeof s->text, w->text);
    s->origin = w->origin;
}

// Once a second: how many samples arrived and the latest value of each requested leaf.
void rate_line(NetModule* m, Peer* p, uint32_t received) {
    std::lock_guard<std::mutex> hold(m->stats_lock);
    int64_t now = now_ms();
    if (m->stats_start_ms == 0) m->stats_start_ms = now;
    m->stats_received += received;
    if (now - m->stats_start_ms < 1000) return;
    char line[900];
    int used = std::snprintf(line, sizeof line, "网络模块: 接收样本 %u 个/秒", m->stats_received);
    {
        std::lock_guard<std::mutex> watch(p->watch_lock);
        for (const WatchEntry& e : p->requested) {
            if (!e.last_text[0]) continue;
            if (used < 0 || used >= (int)sizeof line - 80) break;
            used += std::snprintf(line + used, sizeof line - (size_t)used, "；%s=%s", e.name.c_str(), e.last_text);
        }
    }
    NET_LOG(m, KX_LOG_INFO, "%s", line);
    m->stats_received = 0;
    m->stats_start_ms = now;
}

void on_samples(Peer* p, const uint8_t* payload, uint32_t size) {
    NetModule* m = p->module;
    NetWireSample* wire = p->rx_samples.get();
    uint32_t count = 0;
    if (net_decode_samples(payload, size, wire, NET_SAMPLES_MAX, &count) != 0) {
        NET_LOG(m, KX_LOG_WARN, "网络模块: 对端 %s 的样本格式错误，已忽略", p->label);
        return;
    }
    uint32_t pushed = 0;
    for (uint32_t i = 0; i < count; i++) {
        int32_t id;
        {
            std::lock_guard<std::mutex> hold(p->watch_lock);
            if (wire[i].index >= p->requested.size()) continue;
            WatchEntry& e = p->requested[wire[i].index];
            e.id = resolve_leaf(m, e.name, e.id);
            id = e.id;
            copy_text(e.last_text, sizeof e.last_text, wire[i].text);
        }
        if (id < 0 || !m->host->host_push_sample) continue;
        Sample s;
        to_host_sample(m, &wire[i], id, &s);
        m->host->host_push_sample(&s);
        pushed++;
    }
    rate_line(m, p, pushed);
}

bool in_served_list(Peer* p, const char* name) {
    std::lock_guard<std::mutex> hold(p->watch_lock);
    for (const WatchEntry& e : p->served)
        if (e.name == name) return true;
    return false;
}

// The write itself: as text where the host takes text (exact 64-bit integers and enumerator
// names), else as a number that must be a number and nothing more.
// Set on a connection's thread while it carries out a peer's write. A side in the network
// channel hands its writes to the network again, and two instances that each watch through the
// other would pass one write back and forth (each hop holding its own write lock until a
// timeout); a peer's write is carried out here or refused, never sent on.
thread_local bool t_carrying_peer_write = false;

void carry_out_write(NetModule* m, int32_t id, const char* text, NetWriteResult* result) {
    const HostApi* host = m->host;
    t_carrying_peer_write = true;
    if (host->version >= 5 && host->host_write_text) {
        result->rc = host->host_write_text(id, text, result->error, (int32_t)sizeof result->error);
    } else {
        char* end = nullptr;
        double value = std::strtod(text, &end);
        while (end && (*end == ' ' || *end == '\t')) end++;
        if (!text[0] || !end || *end) copy_text(result->error, sizeof result->error, "数值解析失败");
        else if (!host->host_write_value) copy_text(result->error, sizeof result->error, "无写入服务");
        else result->rc = host->host_write_value(id, value, result->error, (int32_t)sizeof result->error);
    }
    t_carrying_peer_write = false;
    if (result->rc != 0) result->rc = -1;
}

void on_write(Peer* p, const uint8_t* payload, uint32_t size) {
    NetModule* m = p->module;
    NetWriteRequest req;
    if (net_decode_write(payload, size, &req) != 0) {
        NET_LOG(m, KX_LOG_WARN, "网络模块: 对端 %s 的写入请求格式错误，已忽略", p->label);
        return;
    }
    NetWriteResult result = {req.request_id, -1, {}};
    int32_t id = resolve_leaf(m, req.name, -1);
    if (id < 0) {
        copy_text(result.error, sizeof result.error, "变量不存在");
    } else if (!in_served_list(p, req.name)) {
        // A peer writes only what it watches here: the leaf it sees and has chosen.
        copy_text(result.error, sizeof result.error, "变量不在对端的监视列表中，拒绝写入");
    } else {
        carry_out_write(m, id, req.value, &result);
    }
    NET_LOG(m, result.rc == 0 ? KX_LOG_INFO : KX_LOG_WARN, "网络模块: 远端写入 %s = %s rc=%d%s%s", req.name,
            req.value, result.rc, result.error[0] ? " " : "", result.error);
    uint8_t out[128];
    uint32_t n = net_encode_write_result(out, sizeof out, &result);
    send_frame(p, NET_MSG_WRITE_RESULT, out, n);
}

void on_write_result(Peer* p, const uint8_t* payload, uint32_t size) {
    NetModule* m = p->module;
    NetWriteResult result;
    if (net_decode_write_result(payload, size, &result) != 0) return;
    std::lock_guard<std::mutex> hold(m->write_lock);
    // An answer counts only from the connection the write went to, with its random id.
    if (m->write_pending_id == 0 || m->write_peer != p || result.request_id != m->write_pending_id ||
        m->write_answered) {
        NET_LOG(m, KX_LOG_WARN, "网络模块: 忽略对端 %s 的写入应答（无对应请求）", p->label);
        return;
    }
    m->write_answer = result;
    m->write_answered = true;
    m->write_cv.notify_all();
}

HistoryNames* make_history_names() {
    HistoryNames* h = new (std::nothrow) HistoryNames;
    if (!h) return nullptr;
    for (int32_t& k : h->key) k = HistoryNames::kFree;
    h->count = 0;
    return h;
}

// The chunk slot of a leaf id, its name added at the id's first sample; -1 for a leaf without a
// name (such samples are not sent).
int32_t history_slot(NetModule* m, HistoryNames* h, int32_t id) {
    if (id == HistoryNames::kFree) return -1;
    uint32_t at = ((uint32_t)id * 2654435761u) >> 20 & (HistoryNames::SLOTS - 1);
    for (; h->key[at] != HistoryNames::kFree; at = (at + 1) & (HistoryNames::SLOTS - 1))
        if (h->key[at] == id) return h->slot[at];
    const char* name = leaf_name(m, id);
    if (!name || !name[0]) return -1;
    const uint32_t slot = h->count++;
    copy_text(h->text[slot], sizeof h->text[slot], name);
    h->names[slot] = h->text[slot];
    h->entry[slot] = at;
    h->key[at] = id;
    h->slot[at] = (uint16_t)slot;
    return (int32_t)slot;
}

// Empties the table for the next chunk: every entry in use belongs to one of its names.
void history_names_clear(HistoryNames* h) {
    for (uint32_t i = 0; i < h->count; i++) h->key[h->entry[i]] = HistoryNames::kFree;
    h->count = 0;
}

void send_history(Peer* p) {
    NetModule* m = p->module;
    if (!p->tx_history) p->tx_history.reset(new (std::nothrow) Sample[NET_HISTORY_MAX]);
    if (!p->tx_wire) p->tx_wire.reset(new (std::nothrow) NetWireSample[NET_HISTORY_CHUNK]);
    if (!p->tx_payload) p->tx_payload.reset(new (std::nothrow) uint8_t[NET_PAYLOAD_MAX]);
    if (!p->tx_names) p->tx_names.reset(make_history_names());
    Sample* history = p->tx_history.get();
    NetWireSample* wire = p->tx_wire.get();
    uint8_t* payload = p->tx_payload.get();
    HistoryNames* names = p->tx_names.get();
    if (!history || !wire || !payload || !names) return;
    int32_t n = m->host->host_read_history ? m->host->host_read_history(history, NET_HISTORY_MAX) : 0;
    if (n < 0) n = 0;
    int32_t sent = 0;
    int32_t pos = 0;
    do {
        // One chunk: up to NET_HISTORY_CHUNK samples and the names they use.
        uint32_t count = 0;
        for (; pos < n && count < (uint32_t)NET_HISTORY_CHUNK; pos++) {
            const int32_t slot = history_slot(m, names, history[pos].leaf_id);
            if (slot >= 0) to_wire_sample(history[pos], (uint16_t)slot, &wire[count++]);
        }
        bool last = pos >= n;
        uint32_t size = net_encode_history(payload, NET_PAYLOAD_MAX, names->names, names->count, wire, count, last);
        history_names_clear(names);
        if (!send_frame(p, NET_MSG_HISTORY, payload, size)) return;
        sent += (int32_t)count;
    } while (pos < n);
    NET_LOG(m, KX_LOG_INFO, "网络模块: 向 %s 发送采集历史 %d 条", p->label, sent);
}

void on_history(Peer* p, const uint8_t* payload, uint32_t size) {
    NetModule* m = p->module;
    // History answers a request of ours, like a table: samples nobody asked for would land in the
    // windows and the recording as if the target had produced them.
    if (p->history_requests.load() <= 0) {
        NET_LOG(m, KX_LOG_WARN, "网络模块: 拒绝对端 %s 未经请求的采集历史", p->label);
        return;
    }
    NetWireSample* wire = p->rx_samples.get();
    char (*names)[NET_NAME_MAX + 1] = p->rx_names.get();
    uint32_t name_count = 0, count = 0;
    bool last = false;
    if (net_decode_history(payload, size, names, NET_TABLE_MAX, &name_count, wire, NET_SAMPLES_MAX, &count,
                           &last) != 0) {
        NET_LOG(m, KX_LOG_WARN, "网络模块: 对端 %s 的采集历史格式错误，已忽略", p->label);
        return;
    }
    int32_t* ids = p->rx_ids.get();
    resolve_list(m, name_count, [names](uint16_t i) { return (const char*)names[i]; }, p->rx_order.get(), ids);
    for (uint32_t i = 0; i < count; i++) {
        int32_t id = ids[wire[i].index];
        if (id < 0 || !m->host->host_push_sample) {
            p->history_unknown++;
            continue;
        }
        Sample s;
        to_host_sample(m, &wire[i], id, &s);
        m->host->host_push_sample(&s);
        p->history_pushed++;
    }
    if (!last) return;
    int32_t asked = p->history_requests.load();
    while (asked > 0 && !p->history_requests.compare_exchange_weak(asked, asked - 1)) {
    }
    NET_LOG(m, KX_LOG_INFO, "网络模块: 收到采集历史 %u 条（%u 条无对应变量）", p->history_pushed + p->history_unknown,
            p->history_unknown);
    p->history_pushed = p->history_unknown = 0;
}

void handle_frame(Peer* p, const NetFrameHeader* h, const uint8_t* payload) {
    NetModule* m = p->module;
    switch (h->type) {
        case NET_MSG_HELLO:
        case NET_MSG_AUTH:
            NET_LOG(m, KX_LOG_WARN, "网络模块: 对端 %s 重复握手，断开", p->label);
            p->stop.store(true);
            m->t->shutdown_both(p->sock);
            return;
        case NET_MSG_TABLE_OFFER:
            NET_LOG(m, KX_LOG_INFO, "网络模块: 对端 %s 提供了变量表，可用“下载ELF变量表”获取", p->label);
            return;
        case NET_MSG_TABLE: on_table(p, payload, h->length); return;
        case NET_MSG_TABLE_REQUEST: send_table(m, p); return;
        case NET_MSG_WATCH: on_watch(p, payload, h->length); return;
        case NET_MSG_SAMPLES: on_samples(p, payload, h->length); return;
        case NET_MSG_WRITE: on_write(p, payload, h->length); return;
        case NET_MSG_WRITE_RESULT: on_write_result(p, payload, h->length); return;
        case NET_MSG_HISTORY_REQUEST: send_history(p); return;
        case NET_MSG_HISTORY: on_history(p, payload, h->length); return;
        default: return;
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Sample pump
//-------------------------------------------------------------------------------------------------

// Buffers of the pump thread, allocated once. The look into the history covers several notices'
// worth of samples (the acquisition notices at most every 30 ms: 6,000 samples at 200,000 a
// second), and what it finds goes out in frames of at most NET_SAMPLES_MAX.
struct PumpBuffers {
    std::vector<Sample> history = std::vector<Sample>(NET_PUMP_WINDOW);
    std::vector<NetWireSample> wire = std::vector<NetWireSample>(NET_SAMPLES_MAX);
    std::vector<uint8_t> payload = std::vector<uint8_t>(NET_PAYLOAD_MAX);
};

// Reads the history and returns the range [first, n) not yet forwarded.
int32_t fresh_samples(NetModule* m, PumpBuffers* b, int32_t* first) {
    if (!m->host->host_read_history) return 0;
    int32_t want = 256;
    for (;;) {
        int32_t n = m->host->host_read_history(b->history.data(), want);
        if (n <= 0) {
            // Nothing published yet: every sample from now on is new (a zero record matches none).
            if (!m->have_last_forwarded) m->last_forwarded = Sample{};
            m->have_last_forwarded = true;
            return 0;
        }
        int32_t found = -1;
        if (m->have_last_forwarded)
            for (int32_t i = n - 1; i >= 0 && found < 0; i--)
                if (std::memcmp(&b->history[(size_t)i], &m->last_forwarded, sizeof(Sample)) == 0) found = i;
        // Not in the short look: more arrived than it covers (or the history stopped short of
        // a slot still being written); look further back once.
        if (found < 0 && want < (int32_t)NET_PUMP_WINDOW && m->have_last_forwarded) {
            want = NET_PUMP_WINDOW;  // more arrived than the short look covers
            continue;
        }
        if (found < 0 && m->have_last_forwarded && n >= (int32_t)NET_PUMP_WINDOW && !m->overrun_logged) {
            m->overrun_logged = true;
            NET_LOG(m, KX_LOG_WARN, "网络模块: 样本到达快于转发，部分样本未能转发给对端");
        }
        // The first look only marks where forwarding starts: older samples are history.
        *first = !m->have_last_forwarded ? n : found + 1;
        m->last_forwarded = b->history[(size_t)n - 1];
        m->have_last_forwarded = true;
        return n;
    }
}

// Wire samples of the peer's watched leaves from history[*pos, n), at most one frame's worth;
// *pos moves past what was looked at. The number filled in.
uint32_t fill_frame(NetModule* m, Peer* p, PumpBuffers* b, int32_t* pos, int32_t n) {
    uint32_t count = 0;
    std::lock_guard<std::mutex> hold(p->watch_lock);
    if (p->served.empty()) {
        *pos = n;
        return 0;
    }
    for (WatchEntry& e : p->served) e.id = resolve_leaf(m, e.name, e.id);
    for (; *pos < n && count < NET_SAMPLES_MAX; (*pos)++) {
        const Sample& s = b->history[(size_t)*pos];
        for (size_t k = 0; k < p->served.size(); k++) {
            if (p->served[k].id != s.leaf_id || s.leaf_id < 0) continue;
            to_wire_sample(s, (uint16_t)k, &b->wire[count++]);
            break;
        }
    }
    return count;
}

void forward_to(NetModule* m, Peer* p, PumpBuffers* b, int32_t first, int32_t n) {
    int32_t pos = first;
    while (pos < n) {
        uint32_t count = fill_frame(m, p, b, &pos, n);
        if (count == 0) continue;
        uint32_t size = net_encode_samples(b->payload.data(), (uint32_t)b->payload.size(), b->wire.data(), count);
        if (!send_frame(p, NET_MSG_SAMPLES, b->payload.data(), size)) return;
    }
}

// One look into the history: what arrived since the last look goes to the peers watching it.
void pump_round(NetModule* m, PumpBuffers* b) {
    auto peers = live_peers(m);
    bool watched = false;
    for (auto& p : peers) {
        std::lock_guard<std::mutex> hold(p->watch_lock);
        watched = watched || !p->served.empty();
    }
    if (!watched) {
        m->have_last_forwarded = false;  // forwarding starts afresh with the next watch list
        m->overrun_logged = false;
        return;
    }
    {
        // A watch list set a start mark: adopt it unless forwarding already runs for a peer.
        std::lock_guard<std::mutex> hold(m->pump_lock);
        if (m->start_mark_set && !m->have_last_forwarded) {
            m->last_forwarded = m->start_mark;
            m->have_last_forwarded = true;
        }
        m->start_mark_set = false;
    }
    int32_t first = 0;
    int32_t n = fresh_samples(m, b, &first);
    if (first >= n) return;
    for (auto& p : peers) forward_to(m, p.get(), b, first, n);
}

void pump_main(NetModule* m) {
    std::unique_ptr<PumpBuffers> b(new (std::nothrow) PumpBuffers());
    if (!b) return;
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(m->pump_lock);
            m->pump_cv.wait_for(hold, std::chrono::milliseconds(m->timing.pump_period_ms),
                                [m] { return m->pump_signal || m->pump_quit; });
            if (m->pump_quit) return;
            m->pump_signal = false;
        }
        pump_round(m, b.get());
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Commands
//-------------------------------------------------------------------------------------------------

int32_t no_peer(NetModule* m) {
    NET_LOG(m, KX_LOG_WARN, "网络模块: 没有已连接的对端");
    return -1;
}

int32_t cmd_listen(NetModule* m, const NetEndpoint* ep) {
    if (!ep) return -1;
    char address[64];
    copy_text(address, sizeof address, ep->address);
    bool have_key;
    char key[NET_KEY_MAX + 1];
    {
        std::lock_guard<std::mutex> hold(m->key_lock);
        have_key = m->key[0] != 0;
        std::memcpy(key, m->key, sizeof key);
    }
    if (!have_key && !net_address_is_loopback(address)) {
        // Anyone who reaches the port could otherwise write target memory.
        NET_LOG(m, KX_LOG_ERROR,
                "网络模块: 拒绝在 %s:%d 上监听：非本机地址必须设置共享密钥（网络配置中的密钥或 --net-key=）",
                address, (int)ep->port);
        return -1;
    }
    stop_listening(m);
    {
        std::lock_guard<std::mutex> hold(m->key_lock);
        std::memcpy(m->listen_key, key, sizeof key);
    }
    std::memset(key, 0, sizeof key);
    char error[128] = "";
    NetSock s = m->t->listen_tcp(address, ep->port, error, sizeof error);
    if (s == NET_SOCK_NONE) {
        NET_LOG(m, KX_LOG_ERROR, "网络模块: 监听失败 %s:%d（%s）", address, (int)ep->port, error);
        return -1;
    }
    {
        std::lock_guard<std::mutex> hold(m->lock);
        m->listener = s;
    }
    m->accept_stop.store(false);
    m->accept_thread = std::thread(accept_main, m);
    NET_LOG(m, KX_LOG_INFO, "网络模块: 正在监听 %s:%d%s", address, (int)ep->port,
            have_key ? "（对端须验证共享密钥）" : "");
    return 0;
}

int32_t cmd_connect(NetModule* m, const NetEndpoint* ep) {
    if (!ep) return -1;
    char address[64];
    copy_text(address, sizeof address, ep->address);
    bool have_key;
    {
        std::lock_guard<std::mutex> hold(m->key_lock);
        have_key = m->key[0] != 0;
    }
    if (!have_key && !net_address_is_loopback(address)) {
        // A listener off this computer always needs a key: one that takes us without a key is
        // not one of ours, and it could tick our leaves, start our probe and write through it.
        NET_LOG(m, KX_LOG_ERROR,
                "网络模块: 拒绝连接 %s:%d：非本机地址必须设置共享密钥（网络配置中的密钥或 --net-key=）", address,
                (int)ep->port);
        return -1;
    }
    reap_dead_peers(m);
    close_outgoing(m);
    char error[128] = "";
    NetSock s = m->t->connect_tcp(address, ep->port, m->timing.connect_timeout_ms, error, sizeof error);
    if (s == NET_SOCK_NONE) {
        NET_LOG(m, KX_LOG_ERROR, "网络模块: 连接失败 %s:%d（%s）", address, (int)ep->port, error);
        return -1;
    }
    char label[96];
    std::snprintf(label, sizeof label, "%s:%d", address, (int)ep->port);
    std::shared_ptr<Peer> p = add_peer(m, s, label, true);
    if (!p) return -1;
    // Connected means ready: the handshake (and the key proof) is done, so the commands that
    // follow reach the peer; a refusal has been logged by the reader.
    int64_t deadline = net_clock_ms() + m->timing.connect_timeout_ms;
    while (!p->ready.load() && !p->stop.load() && net_clock_ms() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!p->ready.load()) {
        if (!p->stop.load()) NET_LOG(m, KX_LOG_ERROR, "网络模块: 与 %s 的握手未完成", label);
        return -1;
    }
    NET_LOG(m, KX_LOG_INFO, "网络模块: 已连接 %s", label);
    return 0;
}

int32_t cmd_stop(NetModule* m) {
    bool was_listening;
    {
        std::lock_guard<std::mutex> hold(m->lock);
        was_listening = m->listener != NET_SOCK_NONE;
    }
    stop_listening(m);
    int32_t peers = net_module_peer_count(m);
    close_all_peers(m);
    NET_LOG(m, KX_LOG_INFO, "网络模块: 已停止%s，断开 %d 个连接", was_listening ? "监听" : "", peers);
    return 0;
}

// Sends this side's watch list (or an empty one) and remembers it to map incoming samples.
int32_t cmd_send_watch(NetModule* m, bool empty) {
    auto peers = live_peers(m);
    if (peers.empty()) return no_peer(m);
    std::vector<NetLeafEntry> entries;
    std::vector<WatchEntry> requested;
    int32_t n = leaf_count(m);
    for (int32_t id = 0; id < n && !empty && entries.size() < NET_TABLE_MAX; id++) {
        if (!m->host->host_is_watched || !m->host->host_is_watched(id)) continue;
        const char* name = leaf_name(m, id);
        if (!name || !name[0]) continue;
        NetLeafEntry e = {};
        copy_text(e.name, sizeof e.name, name);
        e.address = m->host->host_leaf_address ? m->host->host_leaf_address(id) : 0;
        e.size = m->host->host_leaf_size ? m->host->host_leaf_size(id) : 0;
        entries.push_back(e);
        requested.push_back(WatchEntry{name, id, {}});
    }
    std::vector<uint8_t> payload = encode_leaves(entries);
    for (auto& p : peers) {
        {
            // Keep the old mapping after "stop sending": samples already on the way still land.
            std::lock_guard<std::mutex> hold(p->watch_lock);
            if (!empty) p->requested = requested;
        }
        send_frame(p.get(), NET_MSG_WATCH, payload.data(), (uint32_t)payload.size());
    }
    if (empty) NET_LOG(m, KX_LOG_INFO, "网络模块: 已通知对端停止下达");
    else NET_LOG(m, KX_LOG_INFO, "网络模块: 下达监视列表 %d 个变量", (int)entries.size());
    return 0;
}

// Where a write goes: the connection this side made (to the probe side it chose) when there is
// one, not a viewer that connected to us earlier and has a target of its own; else the first
// connection.
Peer* write_target(const std::vector<std::shared_ptr<Peer>>& peers) {
    for (auto& p : peers)
        if (p->outgoing) return p.get();
    return peers[0].get();
}

// The reason of a failed write for the caller's optional 64-byte record (what the user sees).
int32_t write_failed(char* reason, const char* text) {
    if (reason) copy_text(reason, NET_TEXT_MAX + 1, text);
    return -1;
}

int32_t cmd_write(NetModule* m, const NetWrite* w, char* reason) {
    if (!w) return -1;
    if (t_carrying_peer_write) {
        NET_LOG(m, KX_LOG_WARN, "网络模块: 对端的写入 %s 不再经网络转发（本机不直连目标）", w->leaf_name);
        return write_failed(reason, "本机不直连目标，不再经网络转发");
    }
    auto peers = live_peers(m);
    if (peers.empty()) {
        no_peer(m);
        return write_failed(reason, "没有已连接的对端");
    }
    std::lock_guard<std::mutex> serial(m->write_serial);
    NetWriteRequest req = {};
    while (req.request_id == 0)
        if (net_random_bytes(&req.request_id, sizeof req.request_id) != 0) return -1;
    copy_text(req.name, sizeof req.name, w->leaf_name);
    copy_text(req.value, sizeof req.value, w->value_text);
    uint8_t payload[NET_NAME_MAX + NET_TEXT_MAX + 16];
    uint32_t size = net_encode_write(payload, sizeof payload, &req);
    Peer* target = write_target(peers);
    {
        std::lock_guard<std::mutex> hold(m->write_lock);
        m->write_peer = target;
        m->write_pending_id = req.request_id;
        m->write_answered = false;
    }
    bool sent = send_frame(target, NET_MSG_WRITE, payload, size);
    std::unique_lock<std::mutex> hold(m->write_lock);
    bool answered = sent && m->write_cv.wait_for(hold, std::chrono::milliseconds(m->timing.write_timeout_ms),
                                                 [m] { return m->write_answered; });
    m->write_pending_id = 0;
    m->write_peer = nullptr;
    if (!sent) return write_failed(reason, "发送失败");
    if (!answered) {
        NET_LOG(m, KX_LOG_WARN, "网络模块: 远程写入 %s 无应答", req.name);
        return write_failed(reason, "对端无应答");
    }
    if (m->write_answer.rc == 0) return 0;
    // The peer's reason ("数值超出范围: ..."), so the user sees why, as for a local write.
    NET_LOG(m, KX_LOG_WARN, "网络模块: 远程写入 %s 失败: %s", req.name, m->write_answer.error);
    return write_failed(reason, m->write_answer.error[0] ? m->write_answer.error : "对端拒绝");
}

int32_t cmd_simple_request(NetModule* m, uint8_t type) {
    auto peers = live_peers(m);
    if (peers.empty()) return no_peer(m);
    for (auto& p : peers) {
        if (type == NET_MSG_TABLE_REQUEST) p->table_requests.fetch_add(1);
        if (type == NET_MSG_HISTORY_REQUEST) p->history_requests.fetch_add(1);
        send_frame(p.get(), type, nullptr, 0);
    }
    return 0;
}

int32_t cmd_set_key(NetModule* m, const NetKey* k) {
    std::lock_guard<std::mutex> hold(m->key_lock);
    std::memset(m->key, 0, sizeof m->key);
    if (k) copy_text(m->key, sizeof m->key, k->key);  // never logged
    return 0;
}

}  // namespace

int32_t net_module_command(NetModule* m, int32_t code, void* in, void* out) {
    if (!m) return -1;
    switch (code) {
        case KX_NET_LISTEN: return cmd_listen(m, (const NetEndpoint*)in);
        case KX_NET_CONNECT: return cmd_connect(m, (const NetEndpoint*)in);
        case KX_NET_STOP: return cmd_stop(m);
        case KX_NET_UPLOAD_TABLE:
            // The peer takes a table only when it asked for one: offer it, the peer downloads.
            if (live_peers(m).empty()) return no_peer(m);
            broadcast(m, NET_MSG_TABLE_OFFER, nullptr, 0);
            NET_LOG(m, KX_LOG_INFO, "网络模块: 已通知对端变量表可供下载");
            return 0;
        case KX_NET_SAMPLES_WAITING: {
            std::lock_guard<std::mutex> hold(m->pump_lock);
            m->pump_signal = true;
            m->pump_cv.notify_one();
            return 0;
        }
        case KX_NET_REQUEST_TABLE: return cmd_simple_request(m, NET_MSG_TABLE_REQUEST);
        case KX_NET_SEND_WATCH_LIST: return cmd_send_watch(m, false);
        case KX_NET_WRITE: return cmd_write(m, (const NetWrite*)in, (char*)out);
        case KX_NET_REQUEST_HISTORY: return cmd_simple_request(m, NET_MSG_HISTORY_REQUEST);
        case KX_NET_STOP_SENDING: return cmd_send_watch(m, true);
        case KX_NET_SET_KEY: return cmd_set_key(m, (const NetKey*)in);
        default: return -1;
    }
}

int32_t net_module_ready_peer_count(NetModule* m) { return (int32_t)live_peers(m).size(); }

int32_t net_module_peer_count(NetModule* m) {
    std::lock_guard<std::mutex> hold(m->lock);
    int32_t n = 0;
    for (auto& p : m->peers)
        if (!p->dead.load()) n++;
    return n;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Frames fed by the caller (fuzzing)
//-------------------------------------------------------------------------------------------------

struct NetFedPeer {
    std::shared_ptr<Peer> peer;
};

NetFedPeer* net_module_feed_open(NetModule* m, bool outgoing) {
    std::shared_ptr<Peer> p = make_peer(m, NET_SOCK_NONE, "fed", outgoing, false);
    if (!p) return nullptr;
    {
        std::lock_guard<std::mutex> hold(m->lock);
        m->peers.push_back(p);
    }
    send_hello(p.get());
    return new NetFedPeer{p};
}

NetHandshake* net_module_feed_handshake(NetFedPeer* f) { return &f->peer->hs; }

void net_module_feed_reset(NetFedPeer* f) {
    Peer* p = f->peer.get();
    NetModule* m = p->module;
    release_ticks(m, p);  // also forgets what the peer watched
    {
        std::lock_guard<std::mutex> hold(p->watch_lock);
        p->requested.clear();
    }
    p->stop.store(false);
    p->ready.store(false);
    p->table_requests.store(0);
    p->history_requests.store(0);
    p->history_pushed = p->history_unknown = 0;
    {
        std::lock_guard<std::mutex> hold(m->key_lock);
        net_handshake_init(&p->hs, p->outgoing, m->key);
    }
    send_hello(p);
}

int32_t net_module_feed_frame(NetFedPeer* f, uint8_t type, const uint8_t* payload, uint32_t size) {
    Peer* p = f->peer.get();
    if (p->stop.load() || size > NET_PAYLOAD_MAX) return -1;
    // The payload goes through the peer's own receive buffer, as a socket read would put it.
    if (size) std::memcpy(p->rx.get(), payload, size);
    NetFrameHeader h = {NET_PROTOCOL_VERSION, type, size};
    if (type < NET_MSG_HELLO || type > NET_MSG_LAST) return -1;  // the header check drops these
    if (!p->ready.load()) {
        if (!handshake_frame(p, &h, p->rx.get())) p->stop.store(true);
    } else {
        handle_frame(p, &h, p->rx.get());
    }
    return p->stop.load() ? -1 : 0;
}

int32_t net_module_pump_round(NetModule* m) {
    if (!m || m->pump.joinable()) return -1;  // the pump thread owns the forwarding state
    if (!m->caller_pump) m->caller_pump.reset(new (std::nothrow) PumpBuffers());
    if (!m->caller_pump) return -1;
    {
        std::lock_guard<std::mutex> hold(m->pump_lock);
        m->pump_signal = false;
    }
    pump_round(m, m->caller_pump.get());
    return 0;
}

void net_module_feed_close(NetFedPeer* f) {
    NetModule* m = f->peer->module;
    {
        std::lock_guard<std::mutex> hold(m->lock);
        for (size_t i = 0; i < m->peers.size(); i++)
            if (m->peers[i] == f->peer) {
                m->peers.erase(m->peers.begin() + (long)i);
                break;
            }
    }
    f->peer->stop.store(true);
    release_ticks(m, f->peer.get());
    delete f;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Life cycle and descriptor
//-------------------------------------------------------------------------------------------------

NetModule* net_module_create(const HostApi* host, const NetTransport* transport, const NetModuleTiming* timing) {
    if (!host || !transport || transport->startup() != 0) return nullptr;
    NetModule* m = new (std::nothrow) NetModule();
    if (!m) {
        transport->cleanup();
        return nullptr;
    }
    m->host = host;
    m->t = transport;
    m->timing = timing ? *timing
                       : NetModuleTiming{{200, 10000}, NET_CONNECT_TIMEOUT_MS, NET_WRITE_TIMEOUT_MS, NET_PUMP_PERIOD_MS,
                                         (int32_t)NET_HANDSHAKE_TIMEOUT_MS};
    if (m->timing.handshake_timeout_ms <= 0) m->timing.handshake_timeout_ms = NET_HANDSHAKE_TIMEOUT_MS;
    if (m->timing.pump_period_ms >= 0) m->pump = std::thread(pump_main, m);
    return m;
}

void net_module_destroy(NetModule* m) {
    if (!m) return;
    m->shutting_down.store(true);
    stop_listening(m);
    close_all_peers(m);
    {
        std::lock_guard<std::mutex> hold(m->pump_lock);
        m->pump_quit = true;
        m->pump_cv.notify_one();
    }
    if (m->pump.joinable()) m->pump.join();
    const NetTransport* t = m->t;
    delete m;
    t->cleanup();
}

namespace {

int32_t descriptor_init(const HostApi* host, void** context) {
    NetModule* m = net_module_create(host, net_transport_platform(), nullptr);
    if (!m) return -1;
    *context = m;
    return 0;
}
void descriptor_destroy(void* context) { net_module_destroy((NetModule*)context); }
int32_t descriptor_command(void* context, int32_t code, void* in, void* out) {
    return net_module_command((NetModule*)context, code, in, out);
}

ModuleDescriptor make_descriptor() {
    ModuleDescriptor d = {};
    d.api_version = KX_MODULE_API_VERSION;
    d.flags = KX_MODULE_NETWORK;
    copy_text(d.name, sizeof d.name, "network");
    copy_text(d.version, sizeof d.version, "2.0.0");
    copy_text(d.description, sizeof d.description,
              "TCP 远程观测：变量表交换、监视列表下达、样本转发、远程写入与历史下载");
    d.init = descriptor_init;
    d.destroy = descriptor_destroy;
    d.command = descriptor_command;
    return d;
}

const ModuleDescriptor kDescriptor = make_descriptor();

}  // namespace

const ModuleDescriptor* net_module_descriptor() { return &kDescriptor; }
