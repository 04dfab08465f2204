// Host services over a scripted backend: the table's layout and order, search, the network tick
// (recount and log line), the remote-leaf merge, history reads and the "nothing there" answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/text.h"
#include "modules/host_backend.h"
#include "modules/modules.h"
#include "platform_recorder.h"

namespace {

// A small leaf table and remote list behind the backend.
struct FakeLeaf {
    std::string name;
    uint64_t address;
    int32_t size;
    int32_t watched;
    int32_t from_image;
};
std::vector<FakeLeaf> g_leaves;
std::vector<FakeLeaf> g_remote;
int32_t g_stored_count = -1;
std::vector<std::string> g_log;
std::vector<Sample> g_history;

void record_log(LogLevel level, const char16_t* text) {
    char utf8[1200];
    utf16_to_utf8(text, utf8, sizeof utf8);
    g_log.push_back(std::string(log_level_name(level)) + " " + utf8);
}

HostBackend fake_backend() {
    HostBackend b = {};
    b.leaf_count = [] { return (int32_t)g_leaves.size(); };
    b.leaf_name = [](int32_t id) { return g_leaves[id].name.c_str(); };
    b.leaf_address = [](int32_t id) { return g_leaves[id].address; };
    b.leaf_size = [](int32_t id) { return g_leaves[id].size; };
    b.leaf_is_watched = [](int32_t id) { return g_leaves[id].watched; };
    b.leaf_watch_exchange = [](int32_t id, int32_t on) {
        int32_t old = g_leaves[id].watched;
        g_leaves[id].watched = on;
        return old;
    };
    b.watch_count_store = [](int32_t count) { g_stored_count = count; };
    b.leaf_from_image = [](int32_t id) { return g_leaves[id].from_image; };
    b.leaf_find = [](const char* name) {
        for (size_t i = 0; i < g_leaves.size(); i++)
            if (g_leaves[i].name == name) return (int32_t)i;
        return (int32_t)-1;
    };
    b.leaf_remote_upsert = [](const char* name, uint64_t address, uint32_t) {
        for (FakeLeaf& l : g_leaves)
            if (l.name == name) l.address = address;
    };
    b.leaf_add_remote = [](const char* name, uint64_t address, uint32_t size) {
        g_leaves.push_back({name, address, (int32_t)size, 0});
    };
    b.remote_var_find = [](const char* name) {
        for (size_t i = 0; i < g_remote.size(); i++)
            if (g_remote[i].name == name) return (int32_t)i;
        return (int32_t)-1;
    };
    b.remote_var_address = [](int32_t i, uint64_t* address) {
        *address = g_remote[i].address;
        return 0;
    };
    b.remote_var_update = [](int32_t i, uint64_t address, uint32_t size) {
        g_remote[i].address = address;
        g_remote[i].size = (int32_t)size;
        return 0;
    };
    b.remote_var_append = [](const char* name, uint64_t address, uint32_t size) {
        if (g_remote.size() >= 256) return (int32_t)-1;
        g_remote.push_back({name, address, (int32_t)size, 0});
        return (int32_t)g_remote.size() - 1;
    };
    b.history_read = [](Sample* out, int32_t max) {
        int32_t n = (int32_t)g_history.size() < max ? (int32_t)g_history.size() : max;
        for (int32_t i = 0; i < n; i++) out[i] = g_history[g_history.size() - n + i];
        return n;
    };
    return b;
}

class HostServices : public ::testing::Test {
protected:
    void SetUp() override {
        g_leaves = {{"motor.speed", 0x20000000, 4, 0}, {"Motor.mode", 0x20000004, 1, 0},
                    {"adc[0]", 0x20000010, 2, 1},     {"adc[1]", 0x20000012, 2, 0},
                    {"status.motor_on", 0x20000020, 4, 0}};
        g_remote.clear();
        g_log.clear();
        g_history.clear();
        g_stored_count = -1;
        saved_ = g_host_backend;
        g_host_backend = fake_backend();
        host_api_fill();
        api = host_api();
        log_set_sink(record_log);
    }
    void TearDown() override {
        log_set_sink(nullptr);
        g_host_backend = saved_;
    }
    PlatformRecorder recorder;
    const HostApi* api = nullptr;

private:
    HostBackend saved_;
};

}  // namespace

TEST_F(HostServices, TableIsVersionFiveWithTwentyOneEntriesInOrder) {
    EXPECT_EQ(api->version, 5u);
    EXPECT_EQ(api->reserved, 0u);
    const void* const* slots = reinterpret_cast<const void* const*>(reinterpret_cast<const char*>(api) + 8);
    for (int i = 0; i < 21; i++) EXPECT_NE(slots[i], nullptr) << "slot " << i;
    EXPECT_EQ(reinterpret_cast<const void*>(api->host_leaf_size), slots[19]);
    EXPECT_EQ(reinterpret_cast<const void*>(api->host_write_text), slots[20]);
    EXPECT_EQ(reinterpret_cast<const void*>(api->host_search_leaves), slots[9]);
}

TEST_F(HostServices, SearchPrefixIgnoresCaseSubstringKeepsIt) {
    int32_t ids[8];
    EXPECT_EQ(api->host_search_leaves("motor", ids, 8), 3);  // motor.speed, Motor.mode, status.motor_on
    EXPECT_EQ(ids[0], 0);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], 4);
    EXPECT_EQ(api->host_search_leaves("MOTOR", ids, 8), 2);  // prefix only: the substring is case-sensitive
    EXPECT_EQ(api->host_search_leaves("adc", ids, 1), 1);
    EXPECT_EQ(api->host_search_leaves("", ids, 8), 0);
    EXPECT_EQ(api->host_search_leaves(nullptr, ids, 8), 0);
    EXPECT_EQ(api->host_search_leaves("adc", ids, 0), 0);
}

TEST_F(HostServices, SetWatchedRecountsAndLogsOnlyOnChange) {
    EXPECT_EQ(api->host_set_watched(0, 5), 0);
    EXPECT_EQ(g_stored_count, 2);
    EXPECT_EQ(g_log, (std::vector<std::string>{"INFO 网络勾选: motor.speed -> 观测"}));
    EXPECT_EQ(api->host_is_watched(0), 1);
    g_log.clear();
    g_stored_count = -1;
    EXPECT_EQ(api->host_set_watched(0, 1), 0);  // unchanged
    EXPECT_TRUE(g_log.empty());
    EXPECT_EQ(g_stored_count, -1);
    EXPECT_EQ(api->host_set_watched(2, 0), 0);
    EXPECT_EQ(g_stored_count, 1);
    EXPECT_EQ(g_log.back(), "INFO 网络勾选: adc[0] -> 取消");
    EXPECT_EQ(api->host_set_watched(5, 1), -1);
    EXPECT_EQ(api->host_set_watched(-1, 1), -1);
    EXPECT_EQ(api->host_is_watched(99), 0);
}

TEST_F(HostServices, UpsertRemoteLeafMergesByName) {
    EXPECT_EQ(api->host_upsert_remote_leaf("motor.speed", 0x20000000, 4), 0);
    EXPECT_EQ(api->host_upsert_remote_leaf("motor.speed", 0x20000100, 4), 2);
    EXPECT_EQ(g_leaves[0].address, 0x20000100u);
    EXPECT_EQ(g_leaves[0].size, 4);
    EXPECT_EQ(api->host_upsert_remote_leaf("peer.x", 0x20001000, 2), 1);
    EXPECT_EQ(g_leaves.back().name, "peer.x");  // appended with the next id
    EXPECT_EQ(api->host_leaf_count(), 6);
    EXPECT_EQ(api->host_upsert_remote_leaf("", 1, 4), 0);
    EXPECT_EQ(api->host_upsert_remote_leaf(nullptr, 1, 4), 0);
    // A name only in the remote list (its leaf not there, e.g. before a rebuild).
    g_leaves.pop_back();
    EXPECT_EQ(api->host_upsert_remote_leaf("peer.x", 0x20001000, 2), 0);
    EXPECT_EQ(api->host_upsert_remote_leaf("peer.x", 0x20002000, 8), 2);
    EXPECT_EQ(g_remote[0].address, 0x20002000u);
    EXPECT_EQ(g_remote[0].size, 8);
    // A leaf of our own firmware keeps its address whatever a peer's table says.
    g_leaves[1].from_image = 1;
    EXPECT_EQ(api->host_upsert_remote_leaf("Motor.mode", 0xE000ED0C, 4), 0);
    EXPECT_EQ(g_leaves[1].address, 0x20000004u);
    ASSERT_FALSE(g_log.empty());
    EXPECT_EQ(g_log.back().rfind("WARN 网络变量同步: 忽略 Motor.mode 的远端地址 0xE000ED0C", 0), 0u);
    // The 257th new name is dropped and counts as unchanged.
    for (int i = 1; i < 256; i++) {
        char name[16];
        std::snprintf(name, sizeof name, "r%d", i);
        api->host_upsert_remote_leaf(name, 0x20000000u + i, 4);
    }
    size_t leaves = g_leaves.size();
    EXPECT_EQ(api->host_upsert_remote_leaf("one.too.many", 0x20003000, 4), 0);
    EXPECT_EQ(g_leaves.size(), leaves);
}

TEST_F(HostServices, SyncDoneLogsAndPostsOnlyWhenSomethingChanged) {
    api->host_remote_sync_done(0, 0);
    EXPECT_TRUE(g_log.empty());
    EXPECT_TRUE(recorder.posts.empty());
    api->host_remote_sync_done(2, 1);
    EXPECT_EQ(g_log, (std::vector<std::string>{"INFO 网络变量同步: 新增 2 个，更新地址 1 个，当前叶表 5"}));
    ASSERT_EQ(recorder.posts.size(), 1u);
    EXPECT_EQ(recorder.posts[0].msg, KX_WM_APP + 44u);
}

TEST_F(HostServices, ReadHistoryAndLeafGetters) {
    for (int i = 0; i < 5; i++) {
        Sample s = {};
        s.leaf_id = i;
        g_history.push_back(s);
    }
    Sample out[10];
    EXPECT_EQ(api->host_read_history(out, 10), 5);
    EXPECT_EQ(api->host_read_history(out, 3), 3);
    EXPECT_EQ(out[0].leaf_id, 2);  // the most recent, oldest first
    EXPECT_EQ(api->host_read_history(out, 0), 0);
    EXPECT_EQ(api->host_read_history(nullptr, 4), 0);
    EXPECT_STREQ(api->host_leaf_name(3), "adc[1]");
    EXPECT_EQ(api->host_leaf_name(5), nullptr);
    EXPECT_EQ(api->host_leaf_address(4), 0x20000020u);
    EXPECT_EQ(api->host_leaf_address(-1), 0u);
    EXPECT_EQ(api->host_leaf_size(1), 1);
    EXPECT_EQ(api->host_leaf_size(77), 0);
    EXPECT_EQ(api->host_leaf_last_sample(0), nullptr);  // no slot in the scripted table
    EXPECT_EQ(api->host_find_global("g_motor"), nullptr);  // no image open
}

TEST_F(HostServices, LogAndPostMessage) {
    api->host_log(KX_LOG_WARN, "sim %s %d", "ready", 3);
    EXPECT_EQ(g_log, (std::vector<std::string>{"WARN sim ready 3"}));
    EXPECT_EQ(api->host_post_message(KX_WM_APP + 44, 1, 2), 1);
    recorder.post_fails = true;
    EXPECT_EQ(api->host_post_message(KX_WM_APP + 44, 1, 2), 0);
}

TEST_F(HostServices, PickVariableWithAnEmptyTableShowsTheHint) {
    g_leaves.clear();
    char name[64] = "x";
    EXPECT_EQ(api->host_pick_variable(nullptr, name, 64), 0);
    ASSERT_EQ(recorder.boxes.size(), 1u);
    EXPECT_EQ(recorder.boxes[0].text, "请先加载 ELF 文件");
    EXPECT_EQ(recorder.boxes[0].caption, "选择变量");
    EXPECT_EQ(recorder.boxes[0].flags, (unsigned)PLATFORM_MB_ICONINFORMATION);
}

TEST_F(HostServices, EmptyBackendAnswersNothingThere) {
    g_host_backend = HostBackend{};
    int32_t ids[4];
    Sample s = {};
    char error[64];
    EXPECT_EQ(api->host_leaf_count(), 0);
    EXPECT_EQ(api->host_search_leaves("a", ids, 4), 0);
    EXPECT_EQ(api->host_set_watched(0, 1), -1);
    EXPECT_EQ(api->host_start_acquisition(), -1);
    EXPECT_EQ(api->host_write_value(0, 1.5, error, 64), -1);
    api->host_push_sample(&s);  // ignored, no crash
    api->host_reload_elf();
    EXPECT_EQ(api->host_upsert_remote_leaf("a", 1, 4), 0);
}
