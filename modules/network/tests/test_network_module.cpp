// Two network module instances in one process, a probe side (listening, with a variable table)
// and a remote side (connecting, empty), each over its own fake host table: table exchange, the
// watch-list hand-off, forwarded samples, remote writes, history download, stop sending, and a
// raw peer that misbehaves against the listener.
#include <gtest/gtest.h>

#include "net_fake_host.h"

namespace {

using namespace nettest;

class TwoInstances : public ::testing::Test {
protected:
    void SetUp() override {
        HostFns<0>::install(&probe_);
        HostFns<1>::install(&remote_);
        probe_.leaves = {{"g_motor.speed_rpm", 0x20000010, 4, 0},
                         {"g_motor.speed_setpoint_rpm", 0x20000008, 4, 0},
                         {"g_tick_ms", 0x20000100, 4, 0}};
        NetModuleTiming timing = {{20, 2000}, 1000, 2000, 20};
        server_ = net_module_create(&probe_.api, net_transport_platform(), &timing);
        client_ = net_module_create(&remote_.api, net_transport_platform(), &timing);
        ASSERT_TRUE(server_ && client_);
        port_ = loopback_listen_retrying([&](int32_t port) {
            NetEndpoint ep = {"127.0.0.1", port};
            return net_module_command(server_, KX_NET_LISTEN, &ep, nullptr);
        });
        ASSERT_NE(port_, 0);
    }
    void TearDown() override {
        net_module_destroy(client_);
        net_module_destroy(server_);
    }
    void connect_client() {
        NetEndpoint ep = {"127.0.0.1", port_};
        ASSERT_EQ(net_module_command(client_, KX_NET_CONNECT, &ep, nullptr), 0);
        ASSERT_TRUE(wait_until([&] { return probe_.has_log("握手完成") && remote_.has_log("握手完成"); }));
    }
    // Remote side: the probe's table arrives and the remote ticks one of its leaves.
    void sync_and_watch(const char* name) {
        ASSERT_EQ(net_module_command(client_, KX_NET_REQUEST_TABLE, nullptr, nullptr), 0);
        ASSERT_TRUE(wait_until([&] { return remote_.find(name) >= 0 && remote_.sync_calls > 0; }));
        HostFns<1>::set_watched(remote_.find(name), 1);
        ASSERT_EQ(net_module_command(client_, KX_NET_SEND_WATCH_LIST, nullptr, nullptr), 0);
        ASSERT_TRUE(wait_until([&] { return probe_.starts > 0; }));
    }
    FakeHost probe_, remote_;
    NetModule* server_ = nullptr;
    NetModule* client_ = nullptr;
    int32_t port_ = 0;
};

TEST_F(TwoInstances, TableExchangeMergesOnceAndReportsNoChangeLater) {
    connect_client();
    ASSERT_EQ(net_module_command(client_, KX_NET_REQUEST_TABLE, nullptr, nullptr), 0);
    ASSERT_TRUE(wait_until([&] { return remote_.sync_calls == 1; }));
    EXPECT_EQ(remote_.sync_added, 3);
    EXPECT_EQ(remote_.find("g_tick_ms"), 2);
    EXPECT_EQ(HostFns<1>::address(2), 0x20000100u);
    // "Upload" only offers the table; the probe side takes it when it asks for it, and then
    // counts nothing new in the (now equal) table.
    ASSERT_EQ(net_module_command(client_, KX_NET_UPLOAD_TABLE, nullptr, nullptr), 0);
    ASSERT_TRUE(wait_until([&] { return probe_.has_log("提供了变量表"); }));
    EXPECT_EQ(probe_.sync_calls, 0);
    ASSERT_EQ(net_module_command(server_, KX_NET_REQUEST_TABLE, nullptr, nullptr), 0);
    ASSERT_TRUE(wait_until([&] { return probe_.sync_calls == 1; }));
    EXPECT_EQ(probe_.sync_added, 0);
    EXPECT_EQ(probe_.sync_updated, 0);
    EXPECT_TRUE(probe_.has_log("变量表 3 个（新增 0，更新 0）"));
}

TEST_F(TwoInstances, WatchListTicksStartsAndForwardsOnlyWatchedSamples) {
    {
        // History from before the watch list: it does not travel as live samples.
        std::lock_guard<std::recursive_mutex> hold(probe_.lock);
        for (int i = 0; i < 3; i++) probe_.history.push_back(make_sample(1, 500 + i, 1000));
    }
    connect_client();
    sync_and_watch("g_motor.speed_setpoint_rpm");
    EXPECT_EQ(probe_.watched(1), 1);
    EXPECT_EQ(probe_.watched(0), 0);
    // Published right after the hand-off: every one of the watched leaf travels, nothing else.
    ASSERT_TRUE(wait_until([&] { return probe_.has_log("下达监视列表 1 个变量（未找到 0 个）"); }));
    {
        std::lock_guard<std::recursive_mutex> hold(probe_.lock);
        for (int i = 0; i < 5; i++) probe_.history.push_back(make_sample(1, 1000 + i, 1500 + i));
        probe_.history.push_back(make_sample(0, 2000, 42));  // not watched by the peer
    }
    net_module_command(server_, KX_NET_SAMPLES_WAITING, nullptr, nullptr);
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::recursive_mutex> hold(remote_.lock);
        return remote_.pushed.size() >= 5;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::recursive_mutex> hold(remote_.lock);
    ASSERT_EQ(remote_.pushed.size(), 5u);  // no duplicates from later pump rounds
    int32_t local = remote_.find("g_motor.speed_setpoint_rpm");
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(remote_.pushed[(size_t)i].leaf_id, local);
        EXPECT_EQ(remote_.pushed[(size_t)i].timestamp_us, 1000 + i);
        EXPECT_EQ(remote_.pushed[(size_t)i].address, 0x20000008u);
    }
    EXPECT_STREQ(remote_.pushed[4].text, "1504");
}

TEST_F(TwoInstances, RemoteWriteTravelsAsTextAndCarriesTheAnswer) {
    connect_client();
    sync_and_watch("g_motor.speed_setpoint_rpm");
    // The text arrives as typed: a 64-bit integer beyond 2^53 would not survive a double.
    NetWrite w = {"g_motor.speed_setpoint_rpm", "18446744073709551615"};
    EXPECT_EQ(net_module_command(client_, KX_NET_WRITE, &w, nullptr), 0);
    auto writes = probe_.writes_copy();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].first, 1);
    EXPECT_EQ(writes[0].second, "18446744073709551615");

    // A refusal comes back with the probe side's own reason, for the writer's user to see.
    char reason[64] = {};
    NetWrite unknown = {"no.such.leaf", "1"};
    EXPECT_EQ(net_module_command(client_, KX_NET_WRITE, &unknown, reason), -1);
    EXPECT_STREQ(reason, "变量不存在");
    NetWrite unwatched = {"g_tick_ms", "7"};  // the probe has it, the remote does not watch it
    EXPECT_EQ(net_module_command(client_, KX_NET_WRITE, &unwatched, nullptr), -1);
    EXPECT_TRUE(remote_.has_log("不在对端的监视列表中"));
    EXPECT_EQ(probe_.writes_copy().size(), 1u);  // neither reached the target
    probe_.write_rc = -1;
    EXPECT_EQ(net_module_command(client_, KX_NET_WRITE, &w, reason), -1);
    EXPECT_TRUE(remote_.has_log("失败: 写入失败 (err=5)"));
    EXPECT_STREQ(reason, "写入失败 (err=5)");
}

TEST_F(TwoInstances, PeerWriteIsNotSentBackOverTheNetwork) {
    connect_client();
    sync_and_watch("g_motor.speed_setpoint_rpm");
    // The probe side is itself in the network channel: its host hands every write to the network
    // module, whose only connection leads back to the side that asked.
    probe_.write_elsewhere = [this](int32_t, const char* text, char* error, int32_t capacity) {
        NetWrite again = {"g_motor.speed_setpoint_rpm", {}};
        std::snprintf(again.value_text, sizeof again.value_text, "%s", text);
        int32_t rc = net_module_command(server_, KX_NET_WRITE, &again, nullptr);
        if (rc != 0) std::snprintf(error, (size_t)capacity, "网络写入失败 (rc=%d)", rc);
        return rc;
    };
    NetWrite w = {"g_motor.speed_setpoint_rpm", "1200"};
    EXPECT_EQ(net_module_command(client_, KX_NET_WRITE, &w, nullptr), -1);
    EXPECT_TRUE(probe_.has_log("不再经网络转发"));
    EXPECT_TRUE(remote_.has_log("失败: 网络写入失败 (rc=-1)"));
    EXPECT_FALSE(remote_.has_log("无应答"));
    EXPECT_FALSE(remote_.has_log("远端写入"));  // nothing came back to the side that asked
    EXPECT_TRUE(remote_.writes_copy().empty());

    // With a probe of its own, the probe side carries out the same write.
    probe_.write_elsewhere = nullptr;
    EXPECT_EQ(net_module_command(client_, KX_NET_WRITE, &w, nullptr), 0);
    ASSERT_EQ(probe_.writes_copy().size(), 1u);
}

TEST_F(TwoInstances, HistoryDownloadPushesKnownLeavesAndCountsTheRest) {
    connect_client();
    ASSERT_EQ(net_module_command(client_, KX_NET_REQUEST_TABLE, nullptr, nullptr), 0);
    ASSERT_TRUE(wait_until([&] { return remote_.sync_calls == 1; }));
    {
        std::lock_guard<std::recursive_mutex> hold(probe_.lock);
        // More than one chunk, and one leaf that the remote table lacks.
        for (int i = 0; i < NET_HISTORY_CHUNK + 10; i++) probe_.history.push_back(make_sample(i % 3, i, i));
        probe_.leaves.push_back({"local.only", 0x20000200, 2, 0});
        probe_.history.push_back(make_sample(3, 99999, 7));
    }
    ASSERT_EQ(net_module_command(client_, KX_NET_REQUEST_HISTORY, nullptr, nullptr), 0);
    ASSERT_TRUE(wait_until([&] { return remote_.has_log("收到采集历史"); }));
    char expected[128];
    std::snprintf(expected, sizeof expected, "收到采集历史 %d 条（1 条无对应变量）", NET_HISTORY_CHUNK + 11);
    EXPECT_TRUE(remote_.has_log(expected));
    std::lock_guard<std::recursive_mutex> hold(remote_.lock);
    ASSERT_EQ(remote_.pushed.size(), (size_t)NET_HISTORY_CHUNK + 10);
    EXPECT_EQ(remote_.pushed.back().timestamp_us, NET_HISTORY_CHUNK + 9);  // oldest first, order kept
}

TEST_F(TwoInstances, StopSendingAndDisconnectReleaseOnlyTheirOwnTicks) {
    probe_.set_watched(0, 1);  // ticked by the local user: a peer never unticks it
    connect_client();
    sync_and_watch("g_motor.speed_setpoint_rpm");
    EXPECT_EQ(probe_.watched(1), 1);
    ASSERT_EQ(net_module_command(client_, KX_NET_STOP_SENDING, nullptr, nullptr), 0);
    ASSERT_TRUE(wait_until([&] { return probe_.watched(1) == 0; }));
    EXPECT_EQ(probe_.watched(0), 1);
    EXPECT_TRUE(probe_.posts_copy().empty());  // something is still watched: acquisition goes on

    probe_.set_watched(0, 0);
    ASSERT_EQ(net_module_command(client_, KX_NET_SEND_WATCH_LIST, nullptr, nullptr), 0);
    ASSERT_TRUE(wait_until([&] { return probe_.watched(1) == 1; }));
    ASSERT_EQ(net_module_command(client_, KX_NET_STOP, nullptr, nullptr), 0);  // the remote goes away
    ASSERT_TRUE(wait_until([&] { return probe_.watched(1) == 0 && !probe_.posts_copy().empty(); }));
    EXPECT_EQ(probe_.posts_copy()[0].first, (uint32_t)NET_WM_COMMAND);
    EXPECT_EQ(probe_.posts_copy()[0].second, (uintptr_t)NET_CMD_STOP_ACQUISITION);
    EXPECT_TRUE(wait_until([&] { return net_module_peer_count(server_) == 0; }));
}

TEST_F(TwoInstances, ASecondConnectReplacesTheFirstConnection) {
    connect_client();
    NetEndpoint ep = {"127.0.0.1", port_};
    ASSERT_EQ(net_module_command(client_, KX_NET_CONNECT, &ep, nullptr), 0);
    EXPECT_EQ(net_module_peer_count(client_), 1);
    ASSERT_TRUE(wait_until([&] { return net_module_peer_count(server_) == 1; }));
    ASSERT_TRUE(wait_until([&] { return net_module_ready_peer_count(client_) == 1; }));
    sync_and_watch("g_tick_ms");
    NetWrite w = {"g_tick_ms", "7"};
    EXPECT_EQ(net_module_command(client_, KX_NET_WRITE, &w, nullptr), 0);
    EXPECT_EQ(probe_.writes_copy().size(), 1u);  // once, over the one connection
}

TEST_F(TwoInstances, CommandsWithoutAPeerFailAndSayWhy) {
    EXPECT_EQ(net_module_command(client_, KX_NET_UPLOAD_TABLE, nullptr, nullptr), -1);
    NetWrite w = {"x", "1"};
    EXPECT_EQ(net_module_command(client_, KX_NET_WRITE, &w, nullptr), -1);
    EXPECT_TRUE(remote_.has_log("没有已连接的对端"));
    LoopbackDeadPort dead;
    NetEndpoint nowhere = {"127.0.0.1", dead.port};
    EXPECT_EQ(net_module_command(client_, KX_NET_CONNECT, &nowhere, nullptr), -1);
    EXPECT_TRUE(remote_.has_log("连接失败 127.0.0.1:"));
    NetEndpoint taken = {"127.0.0.1", port_};
    NetModuleTiming timing = {{20, 2000}, 1000, 2000, 20};
    NetModule* second = net_module_create(&remote_.api, net_transport_platform(), &timing);
    EXPECT_EQ(net_module_command(second, KX_NET_LISTEN, &taken, nullptr), -1);
    net_module_destroy(second);
    NetEndpoint bad = {"not-an-address", 1};
    EXPECT_EQ(net_module_command(client_, KX_NET_CONNECT, &bad, nullptr), -1);
}

//-------------------------------------------------------------------------------------------------
// A raw peer that misbehaves against the listening module
//-------------------------------------------------------------------------------------------------

int raw_connect(int32_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (sockaddr*)&sa, sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void raw_hello(int fd) {
    NetHello hello = {NET_PROTOCOL_VERSION, "raw", {}, 0};
    uint8_t payload[128];
    uint32_t n = net_encode_hello(payload, sizeof payload, &hello);
    net_write_frame(net_transport_platform(), fd, NET_MSG_HELLO, payload, n);
}

TEST_F(TwoInstances, PeerThatDisconnectsMidFrameIsDropped) {
    int fd = raw_connect(port_);
    ASSERT_GE(fd, 0);
    raw_hello(fd);
    ASSERT_TRUE(wait_until([&] { return net_module_peer_count(server_) == 1 && probe_.has_log("握手完成（raw"); }));
    // Take the module's greeting, so that closing sends an orderly end rather than a reset.
    NetFrameHeader h;
    std::vector<uint8_t> payload(128);
    NetReadLimits limits = {20, 1000};
    ASSERT_EQ(net_read_frame(net_transport_platform(), fd, &h, payload.data(), 128, nullptr, &limits), NET_READ_OK);
    uint8_t header[NET_HEADER_SIZE];
    net_header_encode(header, NET_MSG_TABLE, 500);
    ASSERT_EQ(write(fd, header, sizeof header), (ssize_t)sizeof header);
    ASSERT_EQ(write(fd, "\x01\x00\x00\x00", 4), 4);
    close(fd);
    ASSERT_TRUE(wait_until([&] { return probe_.has_log("帧未收完即断开"); }));
    EXPECT_EQ(probe_.sync_calls, 0);  // nothing of the cut table was merged
    EXPECT_TRUE(wait_until([&] { return net_module_peer_count(server_) == 0; }));
    // The listener still serves the next peer.
    connect_client();
}

TEST_F(TwoInstances, OversizeLengthGarbageAndMissingHelloEndTheConnection) {
    int fd = raw_connect(port_);
    raw_hello(fd);
    uint8_t header[NET_HEADER_SIZE];
    net_header_encode(header, NET_MSG_SAMPLES, 0xFFFFFFF0u);
    ASSERT_EQ(write(fd, header, sizeof header), (ssize_t)sizeof header);
    ASSERT_TRUE(wait_until([&] { return probe_.has_log("帧长度超限"); }));
    close(fd);

    fd = raw_connect(port_);
    ASSERT_EQ(write(fd, "\xde\xad\xbe\xef garbage!!", 14), 14);
    ASSERT_TRUE(wait_until([&] { return probe_.has_log("帧头无效"); }));
    close(fd);

    fd = raw_connect(port_);
    net_write_frame(net_transport_platform(), fd, NET_MSG_TABLE_REQUEST, nullptr, 0);
    ASSERT_TRUE(wait_until([&] { return probe_.has_log("未握手即发送消息"); }));
    close(fd);
    EXPECT_TRUE(wait_until([&] { return net_module_peer_count(server_) == 0; }));
    EXPECT_FALSE(probe_.has_log("发送变量表"));
}

TEST(NetDescriptor, IsTheNetworkModule) {
    const ModuleDescriptor* d = net_module_descriptor();
    EXPECT_EQ(d->api_version, KX_MODULE_API_VERSION);
    EXPECT_EQ(d->flags, (uint32_t)KX_MODULE_NETWORK);
    EXPECT_STREQ(d->name, "network");
    EXPECT_TRUE(d->init && d->destroy && d->command);
}

}  // namespace
