// A listener bound to 0.0.0.0 with a shared key, attacked through 127.0.0.1 by raw sockets that
// speak the protocol: without a key, with a wrong key, with a replayed handshake, and, once
// authenticated, with an unrequested table and a write of a leaf it does not watch. Nothing may
// move, nothing may be written, and every refusal is logged.
#include <gtest/gtest.h>

#include <poll.h>

#include "net_auth.h"
#include "net_fake_host.h"

namespace {

using namespace nettest;

const char kKey[] = "电机台架-密钥-7f3a";
const uint64_t kSetpointAddress = 0x20000008;

// A peer made of a socket and the codecs, doing exactly what a test tells it to.
struct RawPeer {
    int fd = -1;
    NetHandshake hs = {};
    uint8_t server_nonce[NET_NONCE_SIZE] = {};
    std::vector<uint8_t> sent;  // every byte sent, for a replay

    ~RawPeer() {
        if (fd >= 0) close(fd);
    }
    bool open(int32_t port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons((uint16_t)port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return connect(fd, (sockaddr*)&sa, sizeof sa) == 0;
    }
    // Sends may fail once the listener has hung up on us; that is what the tests want.
    void send_raw(const uint8_t* bytes, size_t n) {
        sent.insert(sent.end(), bytes, bytes + n);
        (void)::send(fd, bytes, n, MSG_NOSIGNAL);
    }
    void send(uint8_t type, const uint8_t* payload, uint32_t size) {
        uint8_t header[NET_HEADER_SIZE];
        net_header_encode(header, type, size);
        send_raw(header, sizeof header);
        if (size) send_raw(payload, size);
    }
    // Next frame of the given type (others skipped); false on timeout or close.
    bool read(uint8_t type, std::vector<uint8_t>* payload) {
        NetReadLimits limits = {20, 1000};
        for (int i = 0; i < 20; i++) {
            NetFrameHeader h;
            payload->assign(NET_PAYLOAD_MAX, 0);
            std::atomic<bool> stop{false};
            int32_t r = net_read_frame(net_transport_platform(), fd, &h, payload->data(), NET_PAYLOAD_MAX, &stop,
                                       &limits, net_clock_ms() + 2000);
            if (r != NET_READ_OK) return false;
            payload->resize(h.length);
            if (h.type == type) return true;
        }
        return false;
    }
    // Our HELLO (claiming a key or not) and the listener's HELLO with its nonce.
    void hello(bool claim_key) {
        net_handshake_init(&hs, true, claim_key ? "x" : "");
        uint8_t payload[128];
        uint32_t n = net_handshake_hello(&hs, "hostile", payload, sizeof payload);
        send(NET_MSG_HELLO, payload, n);
        std::vector<uint8_t> theirs;
        ASSERT_TRUE(read(NET_MSG_HELLO, &theirs));
        NetHello h;
        ASSERT_EQ(net_decode_hello(theirs.data(), (uint32_t)theirs.size(), &h), 0);
        EXPECT_EQ(h.flags & NET_HELLO_HAS_KEY, (uint32_t)NET_HELLO_HAS_KEY);
        std::memcpy(server_nonce, h.nonce, NET_NONCE_SIZE);
    }
    void prove(const char* key) {
        uint8_t proof[NET_DIGEST_SIZE];
        net_auth_proof((const uint8_t*)key, (uint32_t)std::strlen(key), true, server_nonce, hs.own_nonce, proof);
        send(NET_MSG_AUTH, proof, sizeof proof);
    }
    // The whole attack: move a leaf to the system control block, watch it, write it.
    void attack() {
        NetLeafEntry moved = {};
        std::snprintf(moved.name, sizeof moved.name, "g_motor.speed_setpoint_rpm");
        moved.address = 0xE000ED0C;
        moved.size = 4;
        std::vector<uint8_t> payload(1024);
        uint32_t n = net_encode_leaves(payload.data(), (uint32_t)payload.size(), &moved, 1);
        send(NET_MSG_TABLE, payload.data(), n);
        write_leaf("g_motor.speed_setpoint_rpm", "0x05FA0004");
        send(NET_MSG_WATCH, payload.data(), n);
        write_leaf("g_motor.speed_setpoint_rpm", "0x05FA0004");
    }
    void write_leaf(const char* name, const char* value) {
        NetWriteRequest req = {};
        req.request_id = 77;
        std::snprintf(req.name, sizeof req.name, "%s", name);
        std::snprintf(req.value, sizeof req.value, "%s", value);
        uint8_t payload[512];
        send(NET_MSG_WRITE, payload, net_encode_write(payload, sizeof payload, &req));
    }
    // True once the listener has closed the connection.
    bool closed_by_listener() {
        pollfd p = {fd, POLLIN, 0};
        for (int i = 0; i < 200; i++) {
            if (poll(&p, 1, 20) == 1) {
                uint8_t byte;
                ssize_t n = recv(fd, &byte, 1, 0);
                if (n <= 0) return true;
            }
        }
        return false;
    }
};

class HostileListener : public ::testing::Test {
protected:
    void SetUp() override {
        HostFns<2>::install(&probe_);
        probe_.leaves = {{"g_motor.speed_rpm", 0x20000010, 4, 0},
                         {"g_motor.speed_setpoint_rpm", kSetpointAddress, 4, 0},
                         {"g_tick_ms", 0x20000100, 4, 0}};
        NetModuleTiming timing = {{20, 2000}, 1000, 2000, 20, 1500};  // handshake limit with room for slow sanitizer builds
        server_ = net_module_create(&probe_.api, net_transport_platform(), &timing);
        ASSERT_TRUE(server_);
        NetEndpoint any = {"0.0.0.0", loopback_port_pick()};
        // Without a key the listener refuses every address but loopback.
        ASSERT_EQ(net_module_command(server_, KX_NET_LISTEN, &any, nullptr), -1);
        EXPECT_TRUE(wait_until([&] { return probe_.has_log("非本机地址必须设置共享密钥"); }));
        NetKey key = {};
        std::snprintf(key.key, sizeof key.key, "%s", kKey);
        ASSERT_EQ(net_module_command(server_, KX_NET_SET_KEY, &key, nullptr), 0);
        port_ = loopback_listen_retrying([&](int32_t port) {
            any.port = port;
            return net_module_command(server_, KX_NET_LISTEN, &any, nullptr);
        });
        ASSERT_NE(port_, 0);
    }
    void TearDown() override {
        net_module_destroy(server_);
        for (const std::string& line : probe_.logs) EXPECT_EQ(line.find(kKey), std::string::npos) << line;
    }
    // Nothing moved, nothing written, nothing ticked or started.
    void expect_untouched() {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(HostFns<2>::address(1), kSetpointAddress);
        EXPECT_TRUE(probe_.writes_copy().empty());
        EXPECT_EQ(probe_.watched(1), 0);
        EXPECT_EQ(probe_.starts, 0);
        EXPECT_EQ(probe_.sync_calls, 0);
    }
    FakeHost probe_;
    NetModule* server_ = nullptr;
    int32_t port_ = 0;
};

TEST_F(HostileListener, PeerWithoutAKeyIsRefusedBeforeAnythingElse) {
    RawPeer peer;
    ASSERT_TRUE(peer.open(port_));
    peer.hello(false);
    peer.attack();
    EXPECT_TRUE(peer.closed_by_listener());
    EXPECT_TRUE(wait_until([&] { return probe_.has_log("对端未配置共享密钥"); }));
    expect_untouched();

    // Skipping HELLO altogether is refused as well.
    RawPeer rude;
    ASSERT_TRUE(rude.open(port_));
    rude.attack();
    EXPECT_TRUE(rude.closed_by_listener());
    EXPECT_TRUE(wait_until([&] { return probe_.has_log("未握手即发送消息"); }));
    expect_untouched();
}

TEST_F(HostileListener, WrongKeyAndFramesBeforeTheProofAreRefused) {
    RawPeer peer;
    ASSERT_TRUE(peer.open(port_));
    peer.hello(true);
    peer.prove("guessed key");
    peer.attack();
    EXPECT_TRUE(peer.closed_by_listener());
    EXPECT_TRUE(wait_until([&] { return probe_.has_log("密钥验证失败"); }));

    RawPeer hasty;  // claims a key, then skips the proof
    ASSERT_TRUE(hasty.open(port_));
    hasty.hello(true);
    hasty.attack();
    EXPECT_TRUE(hasty.closed_by_listener());
    EXPECT_TRUE(wait_until([&] { return probe_.has_log("未通过密钥验证即发送消息"); }));
    expect_untouched();
}

TEST_F(HostileListener, ReplayedHandshakeOfAGoodPeerIsRefused) {
    std::vector<uint8_t> recorded;
    {
        RawPeer good;
        ASSERT_TRUE(good.open(port_));
        good.hello(true);
        good.prove(kKey);
        ASSERT_TRUE(wait_until([&] { return probe_.has_log("密钥已验证"); }));
        recorded = good.sent;
    }
    ASSERT_TRUE(wait_until([&] { return net_module_peer_count(server_) == 0; }));
    RawPeer replay;
    ASSERT_TRUE(replay.open(port_));
    replay.send_raw(recorded.data(), recorded.size());
    replay.attack();
    EXPECT_TRUE(replay.closed_by_listener());
    EXPECT_TRUE(wait_until([&] { return probe_.has_log("密钥验证失败"); }));
    expect_untouched();
}

// A stranger who only claims a key must learn nothing it could test guesses against: were the
// listener to prove the key first, its proof over the stranger's own nonce would let a short,
// typed key be searched for offline. The listener proves only after the peer has.
TEST_F(HostileListener, ListenerProvesTheKeyOnlyToAPeerThatProvedItFirst) {
    RawPeer stranger;
    ASSERT_TRUE(stranger.open(port_));
    stranger.hello(true);
    stranger.prove("guessed key");
    std::vector<uint8_t> proof;
    EXPECT_FALSE(stranger.read(NET_MSG_AUTH, &proof)) << "the listener proved the key to a stranger";
    EXPECT_TRUE(wait_until([&] { return probe_.has_log("密钥验证失败"); }));

    RawPeer good;  // with the key the listener's proof follows ours, and it is the right one
    ASSERT_TRUE(good.open(port_));
    good.hello(true);
    good.prove(kKey);
    ASSERT_TRUE(good.read(NET_MSG_AUTH, &proof));
    ASSERT_EQ(proof.size(), (size_t)NET_DIGEST_SIZE);
    uint8_t expected[NET_DIGEST_SIZE];
    net_auth_proof((const uint8_t*)kKey, (uint32_t)std::strlen(kKey), false, good.hs.own_nonce, good.server_nonce,
                   expected);
    EXPECT_TRUE(net_digest_equal(expected, proof.data()));
    expect_untouched();
}

TEST_F(HostileListener, AuthenticatedPeerCannotMoveLeavesOrWriteWhatItDoesNotWatch) {
    RawPeer peer;
    ASSERT_TRUE(peer.open(port_));
    peer.hello(true);
    peer.prove(kKey);
    ASSERT_TRUE(wait_until([&] { return probe_.has_log("密钥已验证"); }));
    peer.write_leaf("g_motor.speed_setpoint_rpm", "1");  // not in its watch list yet
    std::vector<uint8_t> answer;
    ASSERT_TRUE(peer.read(NET_MSG_WRITE_RESULT, &answer));
    NetWriteResult result;
    ASSERT_EQ(net_decode_write_result(answer.data(), (uint32_t)answer.size(), &result), 0);
    EXPECT_EQ(result.rc, -1);
    EXPECT_EQ(result.request_id, 77u);
    EXPECT_TRUE(wait_until([&] { return probe_.has_log("不在对端的监视列表中"); }));
    peer.attack();  // the table is refused; the watch list is taken by name, with our address
    ASSERT_TRUE(wait_until([&] { return probe_.writes_copy().size() == 1; }));
    EXPECT_TRUE(wait_until([&] { return probe_.has_log("未经请求的变量表"); }));
    EXPECT_EQ(HostFns<2>::address(1), kSetpointAddress);
    EXPECT_EQ(probe_.sync_calls, 0);
    EXPECT_EQ(probe_.writes_copy()[0].second, "0x05FA0004");  // the leaf it watches, where our image puts it
}

TEST_F(HostileListener, SilentPeersAreClosedAfterTheHandshakeTimeout) {
    std::vector<std::unique_ptr<RawPeer>> idle;
    for (int i = 0; i < NET_PEERS_MAX; i++) {
        idle.emplace_back(new RawPeer());
        ASSERT_TRUE(idle.back()->open(port_));
    }
    ASSERT_TRUE(wait_until([&] { return net_module_peer_count(server_) == NET_PEERS_MAX; }));
    for (auto& p : idle) EXPECT_TRUE(p->closed_by_listener());
    EXPECT_TRUE(wait_until([&] { return probe_.has_log("未在 1500 毫秒内完成握手"); }));
    // The slots are free again for a peer with the key.
    ASSERT_TRUE(wait_until([&] { return net_module_peer_count(server_) == 0; }));
    RawPeer good;
    ASSERT_TRUE(good.open(port_));
    good.hello(true);
    good.prove(kKey);
    EXPECT_TRUE(wait_until([&] { return probe_.has_log("密钥已验证"); }));
}

TEST_F(HostileListener, ModulePeersWithTheKeyWorkOthersAreToldWhy) {
    FakeHost remote;
    HostFns<3>::install(&remote);
    NetModuleTiming timing = {{20, 2000}, 1000, 2000, 20, 1500};  // handshake limit with room for slow sanitizer builds
    NetModule* client = net_module_create(&remote.api, net_transport_platform(), &timing);
    ASSERT_TRUE(client);
    NetEndpoint ep = {"127.0.0.1", port_};

    // A connect succeeds only once both sides proved the key; otherwise it says why.
    EXPECT_EQ(net_module_command(client, KX_NET_CONNECT, &ep, nullptr), -1);  // no key
    EXPECT_TRUE(remote.has_log("对端要求共享密钥，本端未配置"));
    NetKey wrong = {"not the key"};
    net_module_command(client, KX_NET_SET_KEY, &wrong, nullptr);
    EXPECT_EQ(net_module_command(client, KX_NET_CONNECT, &ep, nullptr), -1);
    EXPECT_TRUE(wait_until([&] { return remote.has_log("密钥验证失败") && probe_.has_log("密钥验证失败"); }));
    EXPECT_EQ(net_module_ready_peer_count(client), 0);

    NetKey right = {};
    std::snprintf(right.key, sizeof right.key, "%s", kKey);
    net_module_command(client, KX_NET_SET_KEY, &right, nullptr);
    ASSERT_EQ(net_module_command(client, KX_NET_CONNECT, &ep, nullptr), 0);
    EXPECT_EQ(net_module_ready_peer_count(client), 1);
    ASSERT_EQ(net_module_command(client, KX_NET_REQUEST_TABLE, nullptr, nullptr), 0);
    ASSERT_TRUE(wait_until([&] { return remote.find("g_tick_ms") >= 0; }));
    HostFns<3>::set_watched(remote.find("g_tick_ms"), 1);
    ASSERT_EQ(net_module_command(client, KX_NET_SEND_WATCH_LIST, nullptr, nullptr), 0);
    ASSERT_TRUE(wait_until([&] { return probe_.watched(2) == 1; }));
    NetWrite w = {"g_tick_ms", "42"};
    EXPECT_EQ(net_module_command(client, KX_NET_WRITE, &w, nullptr), 0);
    NetWrite refused = {"g_motor.speed_rpm", "42"};
    EXPECT_EQ(net_module_command(client, KX_NET_WRITE, &refused, nullptr), -1);
    ASSERT_EQ(probe_.writes_copy().size(), 1u);
    EXPECT_EQ(probe_.writes_copy()[0].first, 2);
    net_module_destroy(client);
    for (const std::string& line : remote.logs) EXPECT_EQ(line.find(kKey), std::string::npos) << line;
}

TEST(NetAuth, LoopbackAddressesAndProofRoles) {
    EXPECT_TRUE(net_address_is_loopback("127.0.0.1"));
    EXPECT_TRUE(net_address_is_loopback("127.1.2.3"));
    EXPECT_TRUE(net_address_is_loopback(""));
    EXPECT_TRUE(net_address_is_loopback("localhost"));
    EXPECT_TRUE(net_address_is_loopback("::1"));
    EXPECT_FALSE(net_address_is_loopback("0.0.0.0"));
    EXPECT_FALSE(net_address_is_loopback("192.168.1.10"));
    EXPECT_FALSE(net_address_is_loopback("127.0.0.1.5"));
    EXPECT_FALSE(net_address_is_loopback("127.0.0.256"));
    EXPECT_FALSE(net_address_is_loopback("127.0.0"));
    EXPECT_FALSE(net_address_is_loopback("1270.0.0.1"));
    EXPECT_FALSE(net_address_is_loopback("127..0.1"));
    // The same key and nonces give different proofs for the two roles: no reflection.
    uint8_t a[NET_NONCE_SIZE] = {1}, b[NET_NONCE_SIZE] = {2};
    uint8_t connecting[NET_DIGEST_SIZE], listening[NET_DIGEST_SIZE];
    net_auth_proof((const uint8_t*)"k", 1, true, a, b, connecting);
    net_auth_proof((const uint8_t*)"k", 1, false, a, b, listening);
    EXPECT_FALSE(net_digest_equal(connecting, listening));
}

}  // namespace
