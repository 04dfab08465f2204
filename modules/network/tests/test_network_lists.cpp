// Names of lists against the local table, with the module fed frames of a connected peer (no
// socket) over a table that repeats a name: a received watch list and history chunk take the
// first leaf of each name, names the list repeats all find it, and unknown names keep their place
// without taking a leaf; history sent in answer names every sample's own leaf in each chunk.
#include <gtest/gtest.h>

#include <map>

#include "net_auth.h"
#include "net_fake_host.h"

namespace {

using namespace nettest;

// What the module sends to a fed peer is kept here (it has no socket).
std::vector<uint8_t> g_sent;

int32_t sink_startup() { return 0; }
void sink_cleanup() {}
NetSock sink_listen(const char*, int32_t, char*, size_t) { return NET_SOCK_NONE; }
NetSock sink_accept(NetSock, int32_t, char*, size_t) { return NET_SOCK_NONE; }
NetSock sink_connect(const char*, int32_t, int32_t, char*, size_t) { return NET_SOCK_NONE; }
int32_t sink_send(NetSock, const void* data, uint32_t size) {
    g_sent.insert(g_sent.end(), (const uint8_t*)data, (const uint8_t*)data + size);
    return size ? (int32_t)size : 1;
}
int32_t sink_recv(NetSock, void*, uint32_t, int32_t) { return NET_IO_CLOSED; }
void sink_none(NetSock) {}
const NetTransport kSink = {sink_startup, sink_cleanup, sink_listen, sink_accept, sink_connect,
                            sink_send,    sink_recv,    sink_none,   sink_none};

class ReceivedLists : public ::testing::Test {
protected:
    void SetUp() override {
        HostFns<20>::install(&host_);
        host_.leaves = {{"m.a", 0x20000000, 4, 0}, {"m.b", 0x20000004, 4, 0}, {"m.a", 0x20000008, 4, 0},
                        {"m.c", 0x2000000C, 4, 0}};
        NetModuleTiming timing = {{20, 2000}, 1000, 50, -1, 0};
        module_ = net_module_create(&host_.api, &kSink, &timing);
        ASSERT_TRUE(module_);
        peer_ = net_module_feed_open(module_, false);
        ASSERT_TRUE(peer_);
        NetHello hello = {};
        hello.version = NET_PROTOCOL_VERSION;
        std::snprintf(hello.program, sizeof hello.program, "%s", "Kestrelix");
        uint8_t payload[128];
        ASSERT_EQ(net_module_feed_frame(peer_, NET_MSG_HELLO, payload, net_encode_hello(payload, sizeof payload, &hello)), 0);
    }
    void TearDown() override {
        net_module_feed_close(peer_);
        net_module_destroy(module_);
    }
    FakeHost host_;
    NetModule* module_ = nullptr;
    NetFedPeer* peer_ = nullptr;
};

TEST_F(ReceivedLists, WatchListTicksTheFirstLeafOfEachNameAndCountsTheUnknown) {
    NetLeafEntry entries[5] = {};
    const char* names[5] = {"m.b", "nope", "m.a", "m.b", "m.a"};
    for (int i = 0; i < 5; i++) std::snprintf(entries[i].name, sizeof entries[i].name, "%s", names[i]);
    static uint8_t payload[4 + 5 * (8 + 4 + 1 + NET_NAME_MAX)];
    const uint32_t size = net_encode_leaves(payload, sizeof payload, entries, 5);
    ASSERT_GT(size, 0u);
    ASSERT_EQ(net_module_feed_frame(peer_, NET_MSG_WATCH, payload, size), 0);
    EXPECT_EQ(host_.watched(0), 1);
    EXPECT_EQ(host_.watched(1), 1);
    EXPECT_EQ(host_.watched(2), 0);  // a later leaf of the same name
    EXPECT_EQ(host_.watched(3), 0);
    EXPECT_TRUE(host_.has_log("下达监视列表 5 个变量（未找到 1 个）"));
    // An empty list hands every tick back.
    const uint32_t empty = net_encode_leaves(payload, sizeof payload, entries, 0);
    ASSERT_EQ(net_module_feed_frame(peer_, NET_MSG_WATCH, payload, empty), 0);
    EXPECT_EQ(host_.watched(0), 0);
    EXPECT_EQ(host_.watched(1), 0);
}

TEST_F(ReceivedLists, HistoryChunkPushesSamplesToTheFirstLeafOfTheirName) {
    ASSERT_EQ(net_module_command(module_, KX_NET_REQUEST_HISTORY, nullptr, nullptr), 0);
    const char* names[4] = {"m.c", "zz", "m.a", "m.c"};
    NetWireSample samples[5] = {};
    const uint16_t index[5] = {0, 1, 2, 3, 2};
    for (int i = 0; i < 5; i++) {
        samples[i].index = index[i];
        samples[i].timestamp_us = 100 + i;
        samples[i].size = 4;
    }
    static uint8_t payload[NET_PAYLOAD_MAX];
    const uint32_t size = net_encode_history(payload, sizeof payload, names, 4, samples, 5, true);
    ASSERT_GT(size, 0u);
    ASSERT_EQ(net_module_feed_frame(peer_, NET_MSG_HISTORY, payload, size), 0);
    std::lock_guard<std::recursive_mutex> hold(host_.lock);
    ASSERT_EQ(host_.pushed.size(), 4u);
    const int32_t expected[4] = {3, 0, 3, 0};
    for (size_t i = 0; i < 4; i++) EXPECT_EQ(host_.pushed[i].leaf_id, expected[i]) << i;
    EXPECT_TRUE(host_.has_log("收到采集历史 5 条（1 条无对应变量）"));
}

TEST_F(ReceivedLists, HistoryAnswerNamesEachSamplesOwnLeafInEveryChunk) {
    // More than one chunk; ids 0 and 2 share a name but are different leaves, and a leaf without
    // a name is left out.
    host_.leaves.push_back({"", 0x20000010, 4, 0});
    std::vector<int32_t> sent_ids;
    std::vector<int64_t> sent_times;
    for (int i = 0; i < 2 * NET_HISTORY_CHUNK + 300; i++) {
        Sample s = {};
        s.leaf_id = (i * 7 + i / 5) % 5;
        s.timestamp_us = i;
        s.size = 4;
        host_.history.push_back(s);
        if (s.leaf_id != 4) {
            sent_ids.push_back(s.leaf_id);
            sent_times.push_back(s.timestamp_us);
        }
    }
    g_sent.clear();
    ASSERT_EQ(net_module_feed_frame(peer_, NET_MSG_HISTORY_REQUEST, nullptr, 0), 0);
    static char names[NET_TABLE_MAX][NET_NAME_MAX + 1];
    static NetWireSample samples[NET_SAMPLES_MAX];
    size_t at = 0, next = 0;
    int frames = 0;
    bool last = false;
    while (at + NET_HEADER_SIZE <= g_sent.size()) {
        NetFrameHeader h;
        ASSERT_EQ(net_header_decode(&g_sent[at], &h), 0);
        at += NET_HEADER_SIZE;
        ASSERT_LE(at + h.length, g_sent.size());
        if (h.type == NET_MSG_HISTORY) {
            uint32_t name_count = 0, count = 0;
            ASSERT_EQ(net_decode_history(&g_sent[at], h.length, names, NET_TABLE_MAX, &name_count, samples,
                                         NET_SAMPLES_MAX, &count, &last),
                      0);
            std::map<int32_t, uint16_t> index_of;  // each leaf has one name slot per chunk
            for (uint32_t i = 0; i < count; i++, next++) {
                ASSERT_LT(next, sent_ids.size());
                const int32_t id = sent_ids[next];
                EXPECT_STREQ(names[samples[i].index], host_.leaves[(size_t)id].name.c_str()) << next;
                EXPECT_EQ(samples[i].timestamp_us, sent_times[next]) << next;
                auto it = index_of.emplace(id, samples[i].index).first;
                EXPECT_EQ(it->second, samples[i].index) << next;
            }
            EXPECT_EQ(index_of.size(), (size_t)name_count);
            frames++;
        }
        at += h.length;
    }
    EXPECT_EQ(frames, 2);
    EXPECT_TRUE(last);
    EXPECT_EQ(next, sent_ids.size());
}

}  // namespace
