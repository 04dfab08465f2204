// test_network_trust.cpp - a scripted peer that speaks the wire protocol itself against a real
// listener: what a key change after listening leaves open, and frames nobody asked for.
#include <gtest/gtest.h>

#include "net_auth.h"
#include "net_fake_host.h"

#include <memory>

using namespace nettest;

namespace {

// A raw connection that frames by hand: it sends what it likes, in the order it likes.
struct RawPeer {
    const NetTransport* t = net_transport_platform();
    NetSock sock = NET_SOCK_NONE;
    std::vector<uint8_t> rx = std::vector<uint8_t>(NET_PAYLOAD_MAX);

    bool connect(int32_t port) {
        char error[128] = "";
        sock = t->connect_tcp("127.0.0.1", port, 3000, error, sizeof error);
        return sock != NET_SOCK_NONE;
    }
    ~RawPeer() {
        if (sock != NET_SOCK_NONE) t->close(sock);
    }
    bool send(uint8_t type, const uint8_t* payload, uint32_t size) {
        return net_write_frame(t, sock, type, payload, size) == 0;
    }
    // HELLO of a peer with or without a key (a keyless peer sends no proof).
    bool hello(bool claims_key) {
        NetHello h = {};
        h.version = NET_PROTOCOL_VERSION;
        std::snprintf(h.program, sizeof h.program, "raw");
        h.flags = claims_key ? (uint32_t)NET_HELLO_HAS_KEY : 0u;
        uint8_t payload[128];
        uint32_t n = net_encode_hello(payload, sizeof payload, &h);
        return send(NET_MSG_HELLO, payload, n);
    }
    // Reads frames until the connection ends; the result of the last read.
    int32_t drain(int timeout_ms) {
        NetReadLimits limits = {50, 2000};
        int64_t deadline = net_clock_ms() + timeout_ms;
        for (;;) {
            NetFrameHeader h;
            int32_t r = net_read_frame(t, sock, &h, rx.data(), (uint32_t)rx.size(), nullptr, &limits, deadline);
            if (r != NET_READ_OK) return r;
        }
    }
    // Reads the next frame of `type`, skipping others; false when the connection ended first.
    bool expect(uint8_t type, int timeout_ms, uint32_t* size = nullptr) {
        NetReadLimits limits = {50, 2000};
        int64_t deadline = net_clock_ms() + timeout_ms;
        for (;;) {
            NetFrameHeader h;
            if (net_read_frame(t, sock, &h, rx.data(), (uint32_t)rx.size(), nullptr, &limits, deadline) != NET_READ_OK)
                return false;
            if (h.type == type) {
                if (size) *size = h.length;
                return true;
            }
        }
    }
};

std::vector<uint8_t> leaves_payload(const std::vector<std::pair<std::string, uint64_t>>& leaves) {
    std::vector<NetLeafEntry> e(leaves.size());
    for (size_t i = 0; i < leaves.size(); i++) {
        std::snprintf(e[i].name, sizeof e[i].name, "%s", leaves[i].first.c_str());
        e[i].address = leaves[i].second;
        e[i].size = 4;
    }
    std::vector<uint8_t> out(4 + e.size() * 300);
    out.resize(net_encode_leaves(out.data(), (uint32_t)out.size(), e.data(), (uint32_t)e.size()));
    return out;
}

std::vector<uint8_t> history_payload(const char* name, int64_t ts, double value) {
    const char* names[1] = {name};
    NetWireSample s = {};
    s.index = 0;
    s.timestamp_us = ts;
    s.value = value;
    s.size = 4;
    std::snprintf(s.text, sizeof s.text, "%g", value);
    std::vector<uint8_t> out(4096);
    out.resize(net_encode_history(out.data(), (uint32_t)out.size(), names, 1, &s, 1, true));
    return out;
}

// Short waits, but the real handshake timeout: a slow (sanitizer) build must fill all eight slots
// well before the first silent connection is closed.
NetModuleTiming fast_timing() { return NetModuleTiming{{20, 2000}, 1000, 1000, 20, (int32_t)NET_HANDSHAKE_TIMEOUT_MS}; }

struct TrustFixture : ::testing::Test {
    FakeHost host;
    NetModule* m = nullptr;
    int32_t port = 0;

    void SetUp() override {
        HostFns<61>::install(&host);
        host.leaves.push_back({"motor.speed", 0x20000010, 4, 0});
        host.leaves.push_back({"motor.limit", 0x20000014, 4, 0});
        NetModuleTiming timing = fast_timing();
        m = net_module_create(&host.api, net_transport_platform(), &timing);
        ASSERT_NE(m, nullptr);
    }
    void TearDown() override { net_module_destroy(m); }

    void set_key(const char* key) {
        NetKey k = {};
        std::snprintf(k.key, sizeof k.key, "%s", key);
        net_module_command(m, KX_NET_SET_KEY, &k, nullptr);
    }
    // Listens on a fresh port each attempt (a picked port can be taken by another test first).
    int32_t listen(const char* address) {
        port = loopback_listen_retrying([&](int32_t p) {
            NetEndpoint ep = {};
            std::snprintf(ep.address, sizeof ep.address, "%s", address);
            ep.port = p;
            return net_module_command(m, KX_NET_LISTEN, &ep, nullptr);
        });
        return port ? 0 : -1;
    }
};

}  // namespace

// The key a listener started with guards it for as long as it listens: clearing the key and
// then connecting elsewhere (which hands the module the new, empty key) must not open a listener
// on every address to peers without a key.
TEST_F(TrustFixture, ListenerKeepsItsKeyWhenTheKeyIsClearedLater) {
    set_key("s3cret-key");
    ASSERT_EQ(listen("0.0.0.0"), 0);
    set_key("");
    NetEndpoint nowhere = {};
    std::snprintf(nowhere.address, sizeof nowhere.address, "127.0.0.1");
    LoopbackDeadPort dead;
    nowhere.port = dead.port;  // nobody listens there: the connect fails, the key stays cleared
    EXPECT_NE(net_module_command(m, KX_NET_CONNECT, &nowhere, nullptr), 0);

    RawPeer raw;
    ASSERT_TRUE(raw.connect(port));
    ASSERT_TRUE(raw.hello(false));
    auto watch = leaves_payload({{"motor.limit", 0xE000ED0C}});
    raw.send(NET_MSG_WATCH, watch.data(), (uint32_t)watch.size());
    EXPECT_NE(raw.drain(3000), NET_READ_OK);
    EXPECT_TRUE(wait_until([&] { return host.has_log("对端未配置共享密钥"); }));
    EXPECT_EQ(host.starts.load(), 0);
    EXPECT_EQ(host.watched(1), 0);
}

// A listener on loopback started without a key keeps working without one after a key is set
// for a later connect (peers of the same version rely on it).
TEST_F(TrustFixture, LoopbackListenerWithoutKeyStaysOpenToKeylessPeers) {
    ASSERT_EQ(listen("127.0.0.1"), 0);
    set_key("later");
    RawPeer raw;
    ASSERT_TRUE(raw.connect(port));
    ASSERT_TRUE(raw.hello(false));
    ASSERT_TRUE(wait_until([&] { return net_module_ready_peer_count(m) == 1; }));
}

// HISTORY is the answer to our request; a peer that sends one unasked would put samples it made
// up into the windows and the recording. Asked for, it lands.
TEST_F(TrustFixture, HistoryIsTakenOnlyAfterARequest) {
    ASSERT_EQ(listen("127.0.0.1"), 0);
    RawPeer raw;
    ASSERT_TRUE(raw.connect(port));
    ASSERT_TRUE(raw.hello(false));
    ASSERT_TRUE(wait_until([&] { return net_module_ready_peer_count(m) == 1; }));

    auto forged = history_payload("motor.speed", 1000, 1234.0);
    ASSERT_TRUE(raw.send(NET_MSG_HISTORY, forged.data(), (uint32_t)forged.size()));
    EXPECT_TRUE(wait_until([&] { return host.has_log("未经请求的采集历史"); }));

    ASSERT_EQ(net_module_command(m, KX_NET_REQUEST_HISTORY, nullptr, nullptr), 0);
    ASSERT_TRUE(raw.expect(NET_MSG_HISTORY_REQUEST, 3000));
    auto answer = history_payload("motor.speed", 2000, 42.0);
    ASSERT_TRUE(raw.send(NET_MSG_HISTORY, answer.data(), (uint32_t)answer.size()));
    ASSERT_TRUE(wait_until([&] { return host.has_log("收到采集历史 1 条"); }));
    // The request is used up by its last chunk: a second, unasked copy is refused again.
    ASSERT_TRUE(raw.send(NET_MSG_HISTORY, forged.data(), (uint32_t)forged.size()));
    wait_until([&] {
        std::lock_guard<std::recursive_mutex> hold(host.lock);
        return host.pushed.size() > 1;
    }, 500);
    std::lock_guard<std::recursive_mutex> hold(host.lock);
    ASSERT_EQ(host.pushed.size(), 1u);
    EXPECT_EQ(host.pushed[0].value, 42.0);
}

namespace {

// A transport that only records where a connect would go: nothing leaves this computer.
std::vector<std::string> g_connect_attempts;
int32_t rec_startup() { return 0; }
void rec_cleanup() {}
NetSock rec_listen(const char*, int32_t, char*, size_t) { return NET_SOCK_NONE; }
NetSock rec_accept(NetSock, int32_t, char*, size_t) { return NET_SOCK_NONE; }
NetSock rec_connect(const char* address, int32_t, int32_t, char* error, size_t capacity) {
    g_connect_attempts.push_back(address);
    std::snprintf(error, capacity, "recorded");
    return NET_SOCK_NONE;
}
int32_t rec_send(NetSock, const void*, uint32_t size) { return (int32_t)size; }
int32_t rec_recv(NetSock, void*, uint32_t, int32_t) { return NET_IO_CLOSED; }
void rec_none(NetSock) {}
const NetTransport kRecorder = {rec_startup, rec_cleanup, rec_listen, rec_accept, rec_connect,
                                rec_send,    rec_recv,    rec_none,   rec_none};

}  // namespace

// An honest listener off this computer always has a key, so a connect without one can only reach
// a stranger, which could then tick our leaves, start our probe and write through it: refused
// before any packet leaves. Loopback and keyed connects go ahead.
TEST(NetTrustConnect, KeylessConnectToAnotherComputerIsRefused) {
    FakeHost host;
    HostFns<62>::install(&host);
    NetModuleTiming timing = fast_timing();
    NetModule* m = net_module_create(&host.api, &kRecorder, &timing);
    ASSERT_NE(m, nullptr);
    g_connect_attempts.clear();
    auto connect = [m](const char* address) {
        NetEndpoint ep = {};
        std::snprintf(ep.address, sizeof ep.address, "%s", address);
        ep.port = 10000;
        return net_module_command(m, KX_NET_CONNECT, &ep, nullptr);
    };
    EXPECT_EQ(connect("192.0.2.7"), -1);
    EXPECT_TRUE(g_connect_attempts.empty());
    EXPECT_TRUE(host.has_log("拒绝连接 192.0.2.7:10000"));
    EXPECT_EQ(connect("127.0.0.1"), -1);  // the recorder refuses every connect
    NetKey key = {"k"};
    net_module_command(m, KX_NET_SET_KEY, &key, nullptr);
    EXPECT_EQ(connect("192.0.2.7"), -1);
    EXPECT_EQ(g_connect_attempts, (std::vector<std::string>{"127.0.0.1", "192.0.2.7"}));
    net_module_destroy(m);
}

// Nine connections at once: the ninth is refused while eight silent ones hold the slots, and the
// handshake timeout frees them for a peer that greets in time.
TEST_F(TrustFixture, SilentConnectionsHoldSlotsOnlyUntilTheHandshakeTimeout) {
    ASSERT_EQ(listen("127.0.0.1"), 0);
    std::vector<std::unique_ptr<RawPeer>> silent;
    for (int i = 0; i < NET_PEERS_MAX; i++) {
        silent.emplace_back(new RawPeer);
        ASSERT_TRUE(silent.back()->connect(port));
    }
    ASSERT_TRUE(wait_until([&] { return net_module_peer_count(m) == NET_PEERS_MAX; }));
    RawPeer ninth;
    ASSERT_TRUE(ninth.connect(port));
    EXPECT_NE(ninth.drain(4000), NET_READ_OK);
    EXPECT_TRUE(wait_until([&] { return host.has_log("连接数已满"); }));
    for (auto& s : silent) EXPECT_NE(s->drain(9000), NET_READ_OK);  // closed by the timeout
    ASSERT_TRUE(wait_until([&] { return host.has_log("未在 5000 毫秒内完成握手"); }));
    RawPeer late;
    ASSERT_TRUE(wait_until([&] { return net_module_peer_count(m) == 0; }));
    ASSERT_TRUE(late.connect(port));
    ASSERT_TRUE(late.hello(false));
    EXPECT_TRUE(wait_until([&] { return net_module_ready_peer_count(m) == 1; }));
}

// A write's answer counts only from the connection the write went to: another peer that learnt
// the request id (it saw the traffic) cannot report the write as done.
TEST_F(TrustFixture, WriteResultFromAnotherConnectionDoesNotCount) {
    ASSERT_EQ(listen("127.0.0.1"), 0);
    RawPeer first, second;
    ASSERT_TRUE(first.connect(port));
    ASSERT_TRUE(first.hello(false));
    ASSERT_TRUE(wait_until([&] { return net_module_ready_peer_count(m) == 1; }));
    ASSERT_TRUE(second.connect(port));
    ASSERT_TRUE(second.hello(false));
    ASSERT_TRUE(wait_until([&] { return net_module_ready_peer_count(m) == 2; }));

    std::atomic<int32_t> rc{1};
    std::thread writer([&] {
        NetWrite w = {};
        std::snprintf(w.leaf_name, sizeof w.leaf_name, "motor.limit");
        std::snprintf(w.value_text, sizeof w.value_text, "5");
        rc = net_module_command(m, KX_NET_WRITE, &w, nullptr);
    });
    uint32_t size = 0;
    bool got = first.expect(NET_MSG_WRITE, 3000, &size);
    NetWriteRequest req = {};
    if (got) got = net_decode_write(first.rx.data(), size, &req) == 0;
    if (got) {
        NetWriteResult forged = {req.request_id, 0, {}};
        uint8_t out[128];
        uint32_t n = net_encode_write_result(out, sizeof out, &forged);
        second.send(NET_MSG_WRITE_RESULT, out, n);
    }
    writer.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(rc.load(), -1);
    EXPECT_TRUE(host.has_log("忽略对端"));
}

// An instance that listens for viewers and has connected to the probe side: its writes are meant
// for the target it connected to, not for whichever connection happens to be first in its list
// (a viewer that connected earlier, with a probe of its own).
TEST(NetTrustRouting, WritesGoToTheConnectionThisSideMade) {
    FakeHost probe, middle, viewer;
    HostFns<71>::install(&probe);
    HostFns<72>::install(&middle);
    HostFns<73>::install(&viewer);
    probe.leaves.push_back({"drive.gain", 0x20000010, 4, 0});
    middle.leaves.push_back({"drive.gain", 0x20000010, 4, 1});
    viewer.leaves.push_back({"drive.gain", 0x20000010, 4, 0});
    NetModuleTiming timing = fast_timing();
    NetModule* p = net_module_create(&probe.api, net_transport_platform(), &timing);
    NetModule* m = net_module_create(&middle.api, net_transport_platform(), &timing);
    NetModule* v = net_module_create(&viewer.api, net_transport_platform(), &timing);
    ASSERT_TRUE(p && m && v);
    auto listen_on = [](NetModule* module) {
        return loopback_listen_retrying([&](int32_t port) {
            NetEndpoint ep = {"127.0.0.1", port};
            return net_module_command(module, KX_NET_LISTEN, &ep, nullptr);
        });
    };
    int32_t probe_port = listen_on(p), middle_port = listen_on(m);
    ASSERT_TRUE(probe_port && middle_port);
    NetEndpoint to_middle = {"127.0.0.1", middle_port}, to_probe = {"127.0.0.1", probe_port};
    ASSERT_EQ(net_module_command(v, KX_NET_CONNECT, &to_middle, nullptr), 0);  // the viewer first
    ASSERT_TRUE(wait_until([&] { return net_module_ready_peer_count(m) == 1; }));
    ASSERT_EQ(net_module_command(m, KX_NET_CONNECT, &to_probe, nullptr), 0);
    ASSERT_EQ(net_module_command(m, KX_NET_SEND_WATCH_LIST, nullptr, nullptr), 0);
    ASSERT_TRUE(wait_until([&] { return probe.watched(0) == 1; }));
    NetWrite w = {"drive.gain", "5"};
    EXPECT_EQ(net_module_command(m, KX_NET_WRITE, &w, nullptr), 0);
    EXPECT_EQ(probe.writes_copy().size(), 1u) << "the write did not reach the probe side";
    EXPECT_TRUE(viewer.writes_copy().empty()) << "the write went to the viewer's target";
    net_module_destroy(v);
    net_module_destroy(m);
    net_module_destroy(p);
}
