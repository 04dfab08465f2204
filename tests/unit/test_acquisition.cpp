// Acquisition: block merging, the hand-off and history rings, start refusals, the polling thread
// against a scripted driver, and variable writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/acquisition.h"
#include "acquisition/acquisition_thread.h"
#include "acquisition/variable_write.h"
#include "core/app.h"
#include "core/log.h"
#include "fake_driver.h"
#include "modules/modules.h"
#include "platform_recorder.h"
#include "vartable/leaf_load.h"
#include "vartable/leaf_table.h"

namespace {

std::mutex g_lines_lock;
std::vector<std::string> g_lines;

void capture(LogLevel level, const char16_t* text) {
    char utf8[1024];
    utf16_to_utf8(text, utf8, sizeof utf8);
    std::lock_guard<std::mutex> hold(g_lines_lock);
    g_lines.push_back(std::string(log_level_name(level)) + " " + utf8);
}

std::vector<std::string> lines() {
    std::lock_guard<std::mutex> hold(g_lines_lock);
    return g_lines;
}

int count_prefix(const std::string& prefix) {
    int n = 0;
    for (const std::string& l : lines()) n += l.rfind(prefix, 0) == 0;
    return n;
}

bool wait_for(const std::function<bool()>& done, int ms = 5000) {
    for (int i = 0; i < ms / 2; i++) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

// Moves the tick on until the run ends by itself: a read that was in flight when the tick first
// jumped may still count as a success at the new tick.
void advance_until_idle(PlatformRecorder& rec) {
    bool idle = wait_for([&rec] {
        rec.tick += 1000;
        return acquisition_state() == ACQ_IDLE;
    });
    ASSERT_TRUE(idle);
}

std::vector<std::vector<Sample>> g_batches;
void collect_batch(const Sample* samples, int32_t count) { g_batches.emplace_back(samples, samples + count); }

// Leaf table with a few 4-byte leaves in the fake target's RAM, a log sink and the fake modules.
class Acquisition : public ::testing::Test {
protected:
    void SetUp() override {
        g_lines.clear();
        g_batches.clear();
        log_reset();
        log_set_sink(capture);
        leaf_table_reset();
        samples_reset();
        g_acquisition_hooks = AcquisitionHooks{};
        g_acquisition_hooks.deliver_to_windows = collect_batch;
        g_app_settings.probe_speed_khz = 4000;
        leaf_add("a", 0x20000000, 4, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
        leaf_add("b", 0x20000010, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
        leaf_add("flags", 0x20000020, 4, TYPE_UINT, 0, 0, 1, 5, 3, nullptr);
        leaf_add("big", 0x20000100, 100, TYPE_STRUCT, 0, 0, 0, 0, 0, nullptr);
    }
    void TearDown() override {
        acquisition_stop();
        // A thread let go after its stop wait still reads the hooks and the driver on its way out.
        EXPECT_TRUE(wait_for([] { return acquisition_threads_alive() == 0; }));
        fake_modules_unload();
        log_reset();
        g_acquisition_hooks = AcquisitionHooks{};
        leaf_table_reset();
        samples_reset();
    }
    PlatformRecorder rec;
};

Sample numbered(int32_t n, int32_t leaf_id = -1) {
    Sample s = {};
    s.timestamp_us = n;
    s.leaf_id = leaf_id;
    s.value = n;
    return s;
}

}  // namespace

// ---- Block merging ------------------------------------------------------------------------------

TEST(AcquisitionMerge, LimitsFollowTheProbeClock) {
    uint32_t gap, span;
    acq_merge_limits(4000, &gap, &span);
    EXPECT_EQ(gap, 100u);
    EXPECT_EQ(span, 256u);
    acq_merge_limits(0, &gap, &span);
    EXPECT_EQ(gap, 100u);
    acq_merge_limits(20000, &gap, &span);
    EXPECT_EQ(gap, 500u);
    EXPECT_EQ(span, 500u);
    acq_merge_limits(50000, &gap, &span);
    EXPECT_EQ(gap, 1250u);
    EXPECT_EQ(span, 1250u);
    acq_merge_limits(100, &gap, &span);  // q = 2
    EXPECT_EQ(gap, 8u);
    EXPECT_EQ(span, 256u);
    acq_merge_limits(1000000, &gap, &span);
    EXPECT_EQ(gap, 4096u);
    EXPECT_EQ(span, 4096u);
}

TEST(AcquisitionMerge, Blocks) {
    ReadBlock blocks[8];
    ReadItem near[] = {{0, 0x20000000, 4}, {1, 0x20000010, 4}};
    ASSERT_EQ(acq_group_blocks(near, 2, 100, 256, blocks, 8), 1);
    EXPECT_EQ(blocks[0].base, 0x20000000u);
    EXPECT_EQ(blocks[0].length, 20u);
    ReadItem apart[] = {{0, 0x20000000, 4}, {1, 0x20000200, 4}};
    EXPECT_EQ(acq_group_blocks(apart, 2, 100, 256, blocks, 8), 2);
    // 50000 kHz: 1200 bytes apart still merge, but a block never spans more than 1250 bytes.
    ReadItem wide[] = {{0, 0x20000000, 4}, {1, 0x200004B0, 4}, {2, 0x200004E0, 4}};
    ASSERT_EQ(acq_group_blocks(wide, 3, 1250, 1250, blocks, 8), 2);
    EXPECT_EQ(blocks[0].count, 2);
    EXPECT_EQ(blocks[0].length, 1204u);
    EXPECT_EQ(blocks[1].base, 0x200004E0u);
    // A leaf inside another leaf's bytes joins the block without growing it.
    ReadItem inner[] = {{0, 0x20000000, 16}, {1, 0x20000004, 4}};
    ASSERT_EQ(acq_group_blocks(inner, 2, 8, 256, blocks, 8), 1);
    EXPECT_EQ(blocks[0].length, 16u);
}

TEST(AcquisitionMerge, RandomOrderGivesTheSameBlocksAsAddressOrder) {
    std::mt19937 rng(7);
    std::vector<ReadItem> items;
    for (int i = 0; i < 500; i++)
        items.push_back({i, 0x20000000ULL + (rng() % 40000) * 4, (uint32_t)(1 + rng() % 8)});
    std::vector<ReadItem> sorted = items;
    std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.address < b.address; });
    std::shuffle(items.begin(), items.end(), rng);
    acq_sort_items(items.data(), (int32_t)items.size());
    std::vector<ReadBlock> x(600), y(600);
    int32_t nx = acq_group_blocks(items.data(), 500, 100, 256, x.data(), 600);
    int32_t ny = acq_group_blocks(sorted.data(), 500, 100, 256, y.data(), 600);
    ASSERT_EQ(nx, ny);
    for (int32_t i = 0; i < nx; i++) {
        EXPECT_EQ(x[i].base, y[i].base);
        EXPECT_EQ(x[i].length, y[i].length);
        EXPECT_LE(x[i].length, 256u + 8u);
    }
}

TEST_F(Acquisition, ReadListClampsSizes) {
    leaf_set_watched(0, 1);
    leaf_set_watched(3, 1);
    ReadItem items[8];
    ASSERT_EQ(acq_build_read_list(items, 8), 2);
    EXPECT_EQ(items[0].size, 4u);
    EXPECT_EQ(items[1].size, 64u);  // a 100-byte structure leaf is read as 64 bytes
    EXPECT_EQ(items[1].leaf_id, 3);
}

// ---- Hand-off and history -----------------------------------------------------------------------

TEST_F(Acquisition, FlushDrainsEverythingWaitingInBatches) {
    std::vector<Sample> samples;
    for (int i = 0; i < 300; i++) samples.push_back(numbered(i + 1));
    samples_publish(samples.data(), 300);
    ASSERT_EQ(rec.posts.size(), 1u);
    EXPECT_EQ(rec.posts[0].msg, KX_MSG_SAMPLES_WAITING);
    EXPECT_EQ(rec.posts[0].wparam, 300u);
    EXPECT_EQ(samples_flush(), 300);
    ASSERT_EQ(g_batches.size(), 2u);
    EXPECT_EQ(g_batches[0].size(), 256u);
    EXPECT_EQ(g_batches[1].size(), 44u);
    EXPECT_EQ(g_batches[1].back().timestamp_us, 300);
    EXPECT_EQ(samples_flush(), 0);
    // Notices: at most one per 16 ms of tick.
    samples_publish(samples.data(), 1);
    EXPECT_EQ(rec.posts.size(), 1u);
    rec.tick += 16;
    samples_publish(samples.data(), 1);
    EXPECT_EQ(rec.posts.size(), 2u);
}

TEST_F(Acquisition, RingOverwritesOldestWhenNothingDrains) {
    std::vector<Sample> samples;
    for (int i = 0; i < 9000; i++) samples.push_back(numbered(i + 1));
    samples_publish(samples.data(), 9000);
    EXPECT_EQ(samples_waiting(), 8191);
    EXPECT_EQ(samples_flush(), 8191);
    EXPECT_EQ(g_batches.front().front().timestamp_us, 9000 - 8191 + 1);
    EXPECT_EQ(samples_published_count(), 9000u);
}

TEST_F(Acquisition, HistoryKeepsTheMostRecent) {
    Sample out[10];
    EXPECT_EQ(history_read(out, 10), 0);
    for (int i = 1; i <= 5; i++) {
        Sample s = numbered(i);
        samples_publish(&s, 1);
    }
    ASSERT_EQ(history_read(out, 10), 5);
    EXPECT_EQ(out[0].timestamp_us, 1);
    EXPECT_EQ(history_read(out, 3), 3);
    EXPECT_EQ(out[0].timestamp_us, 3);
    EXPECT_EQ(history_read(nullptr, 3), 0);
    EXPECT_EQ(history_read(out, 0), 0);

    samples_reset();
    std::vector<Sample> many;
    for (int i = 1; i <= 70000; i++) many.push_back(numbered(i));
    samples_publish(many.data(), 70000);
    std::vector<Sample> all(100000);
    ASSERT_EQ(history_read(all.data(), 100000), 65536);
    EXPECT_EQ(all[0].timestamp_us, 4465);
    EXPECT_EQ(all[65535].timestamp_us, 70000);
}

TEST_F(Acquisition, LeafSlotOnlyForLeavesOfTheTable) {
    Sample s[3] = {numbered(1, -1), numbered(2, 1), numbered(3, 99)};
    samples_publish(s, 3);
    EXPECT_EQ(leaf_at(1)->last_sample.timestamp_us, 2);
    EXPECT_EQ(leaf_at(0)->last_sample.timestamp_us, 0);
    EXPECT_EQ(samples_flush(), 3);
    Sample h[3];
    EXPECT_EQ(history_read(h, 3), 3);
    EXPECT_EQ(h[0].leaf_id, -1);
}

// ---- Starting and stopping ----------------------------------------------------------------------

TEST_F(Acquisition, StartRefusals) {
    EXPECT_EQ(acquisition_start(), -1);
    EXPECT_EQ(lines().back(), "ERROR 无驱动模块，无法采集");
    fake_modules_load(true, false);
    fake_target()->connected = 0;
    EXPECT_EQ(acquisition_start(), -1);
    EXPECT_EQ(lines().back(), "WARN MCU 未连接（FakeProbe），无法开始采集");
    fake_target()->connected = 1;
    EXPECT_EQ(acquisition_start(), -1);
    EXPECT_EQ(lines().back(), "WARN 没有观测变量，请先在左侧变量树勾选");
    EXPECT_EQ(acquisition_state(), ACQ_IDLE);
    size_t before = lines().size();
    acquisition_stop();  // stopping while idle logs nothing
    EXPECT_EQ(lines().size(), before);
}

TEST_F(Acquisition, RunPublishesSamplesAndUserStopLogsInfo) {
    fake_modules_load(true, true);
    fake_target()->set_word(0x20000000, 1234);
    fake_target()->set_word(0x20000010, (uint32_t)-7);
    leaf_set_watched(0, 1);
    leaf_set_watched(1, 1);
    ASSERT_EQ(acquisition_start(), 0);
    EXPECT_EQ(acquisition_start(), 0);  // already running
    EXPECT_EQ(count_prefix("INFO 采集已开始（自由运行高速模式，2 个变量）"), 1);
    ASSERT_TRUE(wait_for([] { return samples_published_count() >= 100; }));
    acquisition_stop();
    EXPECT_EQ(acquisition_state(), ACQ_IDLE);
    EXPECT_EQ(leaf_at(0)->last_sample.value, 1234);
    EXPECT_STREQ(leaf_at(1)->last_sample.text, "-7");
    EXPECT_EQ(leaf_at(1)->last_sample.size, 4);
    EXPECT_EQ(count_prefix("INFO 采集线程已退出"), 1);
    EXPECT_EQ(lines().back(), "INFO 采集已停止");
    // Both leaves came from one merged block read per cycle; the network module was told.
    EXPECT_NE(std::find(fake_target()->net_codes.begin(), fake_target()->net_codes.end(), KX_NET_SAMPLES_WAITING),
              fake_target()->net_codes.end());
    bool ended = false;
    for (const RecordedPost& p : rec.posts) ended |= p.msg == KX_MSG_ACQ_ENDED;
    EXPECT_TRUE(ended);
}

TEST_F(Acquisition, ShortReadsAreLoggedThreeTimesThenTheRunEnds) {
    fake_modules_load(true, false);
    fake_target()->short_reads = 1;
    leaf_set_watched(0, 1);
    ASSERT_EQ(acquisition_start(), 0);
    ASSERT_TRUE(wait_for([] { return fake_target()->reads >= 10; }));
    EXPECT_EQ(count_prefix("ERROR 块读 @0x20000000 失败 (ret=3, 1 变量)"), 3);
    advance_until_idle(rec);
    EXPECT_EQ(count_prefix("ERROR 采集停止：长时间读取失败（3 秒无成功样本）"), 1);
    EXPECT_EQ(count_prefix("WARN 采集线程已退出"), 1);
    EXPECT_EQ(samples_published_count(), 0u);
}

TEST_F(Acquisition, LostConnectionEndsTheRun) {
    fake_modules_load(true, false);
    leaf_set_watched(0, 1);
    ASSERT_EQ(acquisition_start(), 0);
    ASSERT_TRUE(wait_for([] { return samples_published_count() > 0; }));
    fake_target()->connected = 0;
    fake_target()->short_reads = 1;
    advance_until_idle(rec);
    EXPECT_EQ(count_prefix("ERROR 采集停止：MCU 连接已断开"), 1);
    EXPECT_EQ(count_prefix("WARN 采集线程已退出"), 1);
}

TEST_F(Acquisition, UntickingEverythingEndsTheRunAfterThreeSeconds) {
    fake_modules_load(true, false);
    leaf_set_watched(0, 1);
    ASSERT_EQ(acquisition_start(), 0);
    ASSERT_TRUE(wait_for([] { return samples_published_count() > 0; }));
    leaf_set_watched(0, 0);
    advance_until_idle(rec);
    EXPECT_EQ(count_prefix("ERROR 采集停止：长时间读取失败（3 秒无成功样本）"), 1);
    EXPECT_EQ(count_prefix("WARN 采集线程已退出"), 1);
}

TEST_F(Acquisition, RateLineOncePerSecond) {
    fake_modules_load(true, false);
    leaf_set_watched(0, 1);
    leaf_set_watched(1, 1);
    ASSERT_EQ(acquisition_start(), 0);
    ASSERT_TRUE(wait_for([] { return count_prefix("INFO 采集速率: ") >= 1; }, 10000));  // due after 1 s
    acquisition_stop();
    for (const std::string& l : lines()) {
        if (l.rfind("INFO 采集速率: ", 0) == 0) {
            EXPECT_NE(l.find("（2 个变量，1 次读/周期）"), std::string::npos) << l;
        }
    }
}

TEST_F(Acquisition, StartCommandNeedsAConnection) {
    fake_modules_load(true, false);
    leaf_set_watched(0, 1);
    acquisition_start_command();  // no probe_connected hook: not connected
    ASSERT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(rec.boxes[0].text, "请先连接 MCU");
    EXPECT_EQ(rec.boxes[0].caption, "采集");
    EXPECT_EQ(acquisition_state(), ACQ_IDLE);
    static std::vector<unsigned> posted;
    posted.clear();
    g_acquisition_hooks.probe_connected = [] { return 1; };
    g_acquisition_hooks.post_to_waveform_windows = [](unsigned msg) { posted.push_back(msg); };
    acquisition_start_command();
    EXPECT_EQ(acquisition_state(), ACQ_RUNNING);
    acquisition_stop_command();
    EXPECT_EQ(posted, (std::vector<unsigned>{KX_MSG_ACQ_STARTED, KX_MSG_ACQ_STOPPED}));
}

// ---- Writes ---------------------------------------------------------------------------------------

TEST_F(Acquisition, BitFieldWriteKeepsNeighbouringBits) {
    fake_modules_load(true, false);
    fake_target()->set_word(0x20000020, 0xFFFFFFFF);
    char error[64];
    ASSERT_EQ(variable_write(2, "2", error, sizeof error), 0) << error;
    EXPECT_EQ(fake_target()->word(0x20000020), 0xFFFFFF5Fu);
    EXPECT_EQ(lines().back(), "INFO 写入 flags = 2");
    ASSERT_EQ(samples_flush(), 1);
    const Sample& s = g_batches[0][0];
    EXPECT_EQ(s.origin, 1);
    EXPECT_EQ(s.value, 2);
    EXPECT_STREQ(s.text, "2");
}

// Bit fields are written through the leaf's own unit (1, 2, 4 or 8 bytes, where the reader puts
// packed fields that straddle aligned words): the field's bits change, every other bit of the
// unit and every byte around it stays.
TEST_F(Acquisition, BitFieldWritesFollowTheLeafsUnit) {
    fake_modules_load(true, false);
    struct Case {
        const char* name;
        uint64_t address;
        uint32_t size;
        uint8_t offset, bits;
        const char* text;
        uint64_t value;
    };
    const Case cases[] = {
        {"u1", 0x20000201, 1, 5, 3, "5", 5},
        {"u2", 0x20000203, 2, 5, 9, "300", 300},
        {"u4", 0x20000207, 4, 5, 27, "100000000", 100000000},
        {"u8", 0x2000020D, 8, 7, 50, "0x2123456789ABC", 0x2123456789ABCull},
    };
    for (const Case& c : cases) {
        std::fill(fake_target()->ram.begin() + 0x1F0, fake_target()->ram.begin() + 0x230, 0xFF);
        leaf_add(c.name, c.address, c.size, TYPE_UINT, 0, 0, 1, c.offset, c.bits, nullptr);
        char error[64];
        ASSERT_EQ(variable_write(leaf_find(c.name), c.text, error, sizeof error), 0) << c.name << ": " << error;
        uint64_t mask = (c.bits >= 64 ? ~0ull : (1ull << c.bits) - 1) << c.offset;
        uint64_t unit_mask = c.size >= 8 ? ~0ull : (1ull << (c.size * 8)) - 1;
        uint64_t expected = ((~mask) | (c.value << c.offset)) & unit_mask;
        const uint8_t* ram = fake_target()->ram.data() + (c.address - 0x20000000);
        for (uint32_t i = 0; i < c.size; i++)
            EXPECT_EQ(ram[i], static_cast<uint8_t>(expected >> (8 * i))) << c.name << " byte " << i;
        EXPECT_EQ(ram[-1], 0xFF) << c.name << ": the byte before the unit changed";
        EXPECT_EQ(ram[c.size], 0xFF) << c.name << ": the byte after the unit changed";
        samples_flush();
        ASSERT_FALSE(g_batches.empty());
        EXPECT_EQ(g_batches.back().back().value, static_cast<double>(c.value)) << c.name;
    }
}

// What cannot be written exactly is refused before anything is read or written: units wider
// than 8 bytes, fields that do not lie inside their unit, values that do not fit the field or
// the variable.
TEST_F(Acquisition, WritesRefuseWhatDoesNotFit) {
    fake_modules_load(true, false);
    leaf_add("wide", 0x20000300, 16, TYPE_UINT, 0, 0, 1, 3, 62, nullptr);
    leaf_add("outside", 0x20000310, 4, TYPE_UINT, 0, 0, 1, 30, 5, nullptr);
    leaf_add("field3", 0x20000320, 1, TYPE_UINT, 0, 0, 1, 2, 3, nullptr);
    leaf_add("sfield3", 0x20000321, 1, TYPE_INT, 1, 0, 1, 2, 3, nullptr);
    leaf_add("u8", 0x20000330, 1, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("i8", 0x20000331, 1, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("i16", 0x20000332, 2, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    char error[64];
    for (const char* name : {"wide", "outside"}) {
        EXPECT_EQ(variable_write(leaf_find(name), "1", error, sizeof error), -1) << name;
        EXPECT_STREQ(error, "位域存储单元超过 8 字节，无法写入") << name;
    }
    struct Try {
        const char* leaf;
        const char* text;
        bool accepted;
    };
    const Try tries[] = {
        {"field3", "7", true},   {"field3", "8", false},   {"field3", "-1", true},  {"field3", "-5", false},
        {"sfield3", "-4", true}, {"sfield3", "-5", false}, {"sfield3", "3", true},
        {"sfield3", "7", true},  {"sfield3", "8", false},  {"u8", "255", true},
        {"u8", "256", false},    {"u8", "-1", true},       {"u8", "-129", false},      {"i8", "-128", true},
        {"i8", "-129", false},   {"i8", "0xFF", true},     {"i8", "300", false},
        {"i16", "-32768", true}, {"i16", "65536", false},
    };
    for (const Try& t : tries) {
        long writes = fake_target()->writes;
        int rc = variable_write(leaf_find(t.leaf), t.text, error, sizeof error);
        EXPECT_EQ(rc, t.accepted ? 0 : -1) << t.leaf << " = " << t.text << ": " << error;
        if (t.accepted) continue;
        EXPECT_EQ(std::string(error).rfind("数值超出范围", 0), 0u) << t.leaf << " = " << t.text << ": " << error;
        EXPECT_EQ(fake_target()->writes, writes) << t.leaf << " = " << t.text << " was written";
    }
    EXPECT_EQ(fake_target()->ram[0x330], 255);
    EXPECT_EQ(static_cast<int8_t>(fake_target()->ram[0x331]), -1);  // 0xFF, the last accepted
}

// The value written is the value typed, or nothing: a number the 64-bit parser would clamp or
// wrap, a fraction or exponent after an integer ("1e3" would become 1), text after the number, a
// float beyond the single-precision range: all refused before the target is touched.
TEST_F(Acquisition, WritesTakeTheTypedValueExactlyOrNothing) {
    fake_modules_load(true, false);
    leaf_add("u64", 0x20000340, 8, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("i64", 0x20000348, 8, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("u16", 0x20000350, 2, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("f32", 0x20000354, 4, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("field64", 0x20000358, 8, TYPE_UINT, 0, 0, 1, 0, 64, nullptr);
    struct Try {
        const char* leaf;
        const char* text;
        const char* refusal;  // null: accepted
    };
    const Try tries[] = {
        {"u64", "18446744073709551616", "数值超出范围"},
        {"u64", "-18446744073709551615", "数值超出范围"},
        {"u64", "99999999999999999999999", "数值超出范围"},
        {"i64", "9223372036854775808", nullptr},  // the unsigned maximum of the width is the limit
        {"i64", "-9223372036854775809", "数值超出范围"},
        {"field64", "18446744073709551616", "数值超出范围"},
        {"u16", "1e3", "数值解析失败"},
        {"u16", "1.5", "数值解析失败"},
        {"u16", "12abc", "数值解析失败"},
        {"b", "-3.7", "数值解析失败"},
        {"f32", "1e39", "数值超出范围"},
        {"f32", "2.5x", "数值解析失败"},
        {"u16", " 0x10 ", nullptr},
        {"f32", "-3.4e38", nullptr},
    };
    char error[64];
    for (const Try& t : tries) {
        long writes = fake_target()->writes;
        int rc = variable_write(leaf_find(t.leaf), t.text, error, sizeof error);
        EXPECT_EQ(rc, t.refusal ? -1 : 0) << t.leaf << " = " << t.text << ": " << error;
        if (!t.refusal) continue;
        EXPECT_EQ(std::string(error).rfind(t.refusal, 0), 0u) << t.leaf << " = " << t.text << ": " << error;
        EXPECT_EQ(fake_target()->writes, writes) << t.leaf << " = " << t.text << " was written";
    }
    // Exact 64-bit values: the all-ones word and the bit pattern of 2^63 in a signed variable.
    ASSERT_EQ(variable_write(leaf_find("u64"), "18446744073709551615", error, sizeof error), 0) << error;
    for (int i = 0; i < 8; i++) EXPECT_EQ(fake_target()->ram[0x340 + i], 0xFF) << i;
    ASSERT_EQ(variable_write(leaf_find("i64"), "9223372036854775808", error, sizeof error), 0) << error;
    for (int i = 0; i < 7; i++) EXPECT_EQ(fake_target()->ram[0x348 + i], 0x00) << i;
    EXPECT_EQ(fake_target()->ram[0x348 + 7], 0x80);
    EXPECT_EQ(fake_target()->word(0x20000350) & 0xFFFFu, 0x10u);
}

// Variables the reader could not type (a symbol without debug information, an unknown encoding)
// are written as unsigned numbers of their size: the same checks hold, or "5 V" would be written
// as 5 and 2^32 into 4 bytes as 0. A float text beyond the double range would become infinity.
TEST_F(Acquisition, UntypedAndOverflowingWritesAreRefusedNotCut) {
    fake_modules_load(true, false);
    leaf_add("sym4", 0x20000600, 4, TYPE_OTHER, 0, 0, 0, 0, 0, nullptr);
    leaf_add("f64", 0x20000608, 8, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("f32", 0x20000610, 4, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    struct Try {
        const char* leaf;
        const char* text;
        const char* refusal;  // null: accepted
    };
    const Try tries[] = {
        {"sym4", "4294967296", "数值超出范围"},
        {"sym4", "5 V", "数值解析失败"},
        {"sym4", "1e3", "数值解析失败"},
        {"sym4", "volts", "数值解析失败"},
        {"f64", "1e400", "数值超出范围"},
        {"f64", "-1e400", "数值超出范围"},
        {"f32", "1e400", "数值超出范围"},
        {"f64", "inf", nullptr},  // typed as infinity: written as typed
        {"sym4", "0x89ABCDEF", nullptr},
    };
    char error[64];
    for (const Try& t : tries) {
        long writes = fake_target()->writes;
        int rc = variable_write(leaf_find(t.leaf), t.text, error, sizeof error);
        EXPECT_EQ(rc, t.refusal ? -1 : 0) << t.leaf << " = " << t.text << ": " << error;
        if (!t.refusal) continue;
        EXPECT_EQ(std::string(error).rfind(t.refusal, 0), 0u) << t.leaf << " = " << t.text << ": " << error;
        EXPECT_EQ(fake_target()->writes, writes) << t.leaf << " = " << t.text << " was written";
    }
    EXPECT_EQ(fake_target()->word(0x20000600), 0x89ABCDEFu);
}

TEST_F(Acquisition, WriteFailures) {
    char error[64];
    EXPECT_EQ(variable_write(-1, "1", error, sizeof error), -1);
    EXPECT_STREQ(error, "变量 ID 无效");
    EXPECT_EQ(variable_write(0, "1", error, sizeof error), -1);
    EXPECT_STREQ(error, "无驱动模块");

    fake_modules_load(true, false);
    EXPECT_EQ(variable_write(1, "abc", error, sizeof error), -1);
    EXPECT_STREQ(error, "数值解析失败");
    EXPECT_EQ(fake_target()->writes, 0);
    fake_target()->write_result = 9;
    EXPECT_EQ(variable_write(1, "5", error, sizeof error), -1);
    EXPECT_STREQ(error, "写入失败 (err=9)");
    fake_target()->write_result = 0;

    // A failed read-back after a good write still succeeds and says so in the sample.
    fake_target()->readback_fails = 1;
    ASSERT_EQ(variable_write(1, "-3", error, sizeof error), 0);
    EXPECT_STREQ(error, "");
    EXPECT_EQ(fake_target()->word(0x20000010), (uint32_t)-3);
    samples_flush();
    ASSERT_EQ(g_batches.size(), 1u);
    EXPECT_STREQ(g_batches[0][0].text, "写入完成（回读失败 ret=-5）");
    EXPECT_EQ(g_batches[0][0].value, 0);
    EXPECT_EQ(g_batches[0][0].size, 0);
}

TEST_F(Acquisition, WriteFallsBackToTheNetworkPeer) {
    fake_modules_load(false, true);
    char error[64];
    ASSERT_EQ(variable_write(1, "42", error, sizeof error), 0);
    EXPECT_STREQ(fake_target()->last_net_write.leaf_name, "b");
    EXPECT_STREQ(fake_target()->last_net_write.value_text, "42");
    EXPECT_EQ(lines().back(), "INFO 网络写入 b = 42 成功");
    fake_target()->net_result = 4;
    EXPECT_EQ(variable_write(1, "42", error, sizeof error), -1);
    EXPECT_STREQ(error, "网络写入失败 (rc=4)");
}

TEST_F(Acquisition, NetworkChannelWritesGoToThePeerNeverToTheLocalProbe) {
    fake_modules_load(true, true);  // the probe stays connected after switching to the network
    g_acquisition_hooks.network_channel = [] { return 1; };
    fake_target()->set_word(0x20000010, 7);
    char error[64];
    ASSERT_EQ(variable_write(1, "-9223372036854775807", error, sizeof error), 0);
    EXPECT_EQ(fake_target()->writes, 0);
    EXPECT_EQ(fake_target()->word(0x20000010), 7u);
    EXPECT_STREQ(fake_target()->last_net_write.leaf_name, "b");
    EXPECT_STREQ(fake_target()->last_net_write.value_text, "-9223372036854775807");  // as typed
    fake_target()->net_result = -1;
    EXPECT_EQ(variable_write(1, "1", error, sizeof error), -1);  // a refused remote write is a failure
    EXPECT_STREQ(error, "网络写入失败 (rc=-1)");
    // With the peer's reason the user sees why, as at the probe.
    std::snprintf(fake_target()->net_reason, sizeof fake_target()->net_reason, "数值超出范围: b 为 32 位有符号数");
    char shown[128];
    EXPECT_EQ(variable_write(1, "99999999999", shown, sizeof shown), -1);
    EXPECT_STREQ(shown, "网络写入失败: 数值超出范围: b 为 32 位有符号数");
    EXPECT_EQ(fake_target()->writes, 0);
    g_acquisition_hooks.network_channel = [] { return 0; };  // back on the probe: writes go there
    ASSERT_EQ(variable_write(1, "5", error, sizeof error), 0);
    EXPECT_EQ(fake_target()->word(0x20000010), 5u);
}

// A leaf made from a peer's table has the peer's address: its own firmware defines nothing there.
// Written on the probe channel it would land at that address on the local target (a peer's
// "variable" at 0xE000ED0C resets the local chip); it is written through the network only.
TEST_F(Acquisition, APeersLeafIsNeverWrittenToTheLocalProbe) {
    fake_modules_load(true, true);
    leaf_add_remote("peer.gain", 0x20000700, 4);
    const int32_t id = leaf_find("peer.gain");
    ASSERT_GE(id, 0);
    fake_target()->set_word(0x20000700, 7);
    char error[128];
    EXPECT_EQ(variable_write(id, "5", error, sizeof error), -1);
    EXPECT_STREQ(error, "远端变量只能在网络通道写入");
    EXPECT_EQ(fake_target()->writes, 0);
    EXPECT_EQ(fake_target()->word(0x20000700), 7u);
    EXPECT_STREQ(fake_target()->last_net_write.leaf_name, "");
    g_acquisition_hooks.network_channel = [] { return 1; };  // the peer's channel: its write goes there
    ASSERT_EQ(variable_write(id, "5", error, sizeof error), 0) << error;
    EXPECT_STREQ(fake_target()->last_net_write.leaf_name, "peer.gain");
    EXPECT_EQ(fake_target()->writes, 0);
}

// Every bit-field geometry a firmware file can describe (units of 1 to 16 bytes, offsets and
// widths up to 255 bits) against values at the edges: a write either is refused with nothing
// written, or changes exactly the field's bits to the value's and nothing else in memory.
TEST_F(Acquisition, BitFieldWritesChangeOnlyTheirFieldOrNothing) {
    fake_modules_load(true, false);
    const uint32_t sizes[] = {1, 2, 3, 4, 8, 9, 16};
    const uint8_t offsets[] = {0, 1, 7, 31, 32, 63, 64, 200, 255};
    const uint8_t widths[] = {0, 1, 5, 32, 63, 64, 65, 255};
    const char* values[] = {"0", "1", "-1", "255", "0x7FFFFFFFFFFFFFFF", "18446744073709551615"};
    const uint64_t base = 0x20001000;
    const uint64_t at = base + 8;  // the unit, with guard bytes before and after it
    char error[64];
    for (uint32_t size : sizes)
        for (uint8_t offset : offsets)
            for (uint8_t width : widths) {
                char name[48];
                std::snprintf(name, sizeof name, "bf_%u_%u_%u", size, offset, width);
                leaf_add(name, at, size, TYPE_UINT, 0, 0, 1, offset, width, nullptr);
                for (const char* text : values) {
                    for (int i = 0; i < 32; i++) fake_target()->ram[0x1000 + i] = (uint8_t)(0xA5 ^ i);
                    // Typed numbers fit by their sign: up to the width's unsigned maximum, down
                    // to its signed minimum.
                    const bool negative = text[0] == '-';
                    const uint64_t magnitude = std::strtoull(text + (negative ? 1 : 0), nullptr, 0);
                    const uint64_t value = negative ? 0 - magnitude : magnitude;
                    const bool fits = size <= 8 && width >= 1 && offset + width <= size * 8 &&
                                      (width >= 64 || (negative ? magnitude <= (1ULL << (width - 1))
                                                                : magnitude < (1ULL << width)));
                    long writes = fake_target()->writes;
                    int rc = variable_write(leaf_find(name), text, error, sizeof error);
                    const std::string what = std::string(name) + " = " + text;
                    ASSERT_EQ(rc, fits ? 0 : -1) << what << ": " << error;
                    if (!fits) {
                        EXPECT_EQ(fake_target()->writes, writes) << what;
                        continue;
                    }
                    uint64_t field = width >= 64 ? ~0ULL : (1ULL << width) - 1;
                    for (int i = 0; i < 32; i++) {
                        const uint8_t before = (uint8_t)(0xA5 ^ i);
                        const int bit0 = (i - 8) * 8;  // the byte's first bit within the unit
                        uint8_t mask = 0, want = 0;
                        for (int b = 0; b < 8; b++) {
                            const int bit = bit0 + b;
                            if (bit < offset || bit >= offset + width) continue;
                            mask |= (uint8_t)(1u << b);
                            want |= (uint8_t)((((value & field) >> (bit - offset)) & 1u) << b);
                        }
                        EXPECT_EQ(fake_target()->ram[0x1000 + i], (uint8_t)((before & ~mask) | want))
                            << what << " byte " << i;
                    }
                }
            }
}

// Scalars wider than 8 bytes (a 128-bit integer, a quad-precision long double) and text longer
// than the codec's 8 bytes cannot be written exactly: writing 8 bytes into such a variable would
// leave the rest of the old value behind (or put a double's bits into a quad). Refused, with the
// target untouched.
TEST_F(Acquisition, WritesThatWouldCoverPartOfTheVariableAreRefused) {
    fake_modules_load(true, false);
    leaf_add("i128", 0x20000500, 16, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("quad", 0x20000510, 16, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("half", 0x20000520, 2, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("label", 0x20000530, 32, TYPE_STRING, 0, 0, 0, 0, 0, nullptr);
    for (int i = 0; i < 0x60; i++) fake_target()->ram[0x500 + i] = 0xFF;  // -1 and NaNs everywhere
    char error[64];
    for (const char* name : {"i128", "quad", "half", "big"}) {
        long writes = fake_target()->writes;
        EXPECT_EQ(variable_write(leaf_find(name), "5", error, sizeof error), -1) << name;
        EXPECT_NE(error[0], 0) << name;
        EXPECT_EQ(fake_target()->writes, writes) << name << " was written in part";
    }
    // A 4-byte boolean is written whole: "false" over 0x100 must not leave it true.
    leaf_add("flag4", 0x20000560, 4, TYPE_BOOL, 0, 0, 0, 0, 0, nullptr);
    fake_target()->set_word(0x20000560, 0x100);
    ASSERT_EQ(variable_write(leaf_find("flag4"), "false", error, sizeof error), 0) << error;
    EXPECT_EQ(fake_target()->word(0x20000560), 0u);
    long writes = fake_target()->writes;
    EXPECT_EQ(variable_write(leaf_find("label"), "motor_left", error, sizeof error), -1);
    EXPECT_EQ(fake_target()->writes, writes) << "the text was cut";
    ASSERT_EQ(variable_write(leaf_find("label"), "axis_1", error, sizeof error), 0) << error;
    EXPECT_EQ(std::string((const char*)&fake_target()->ram[0x530]), "axis_1");
}

// A remote write carries the leaf's name and the text in 63 bytes each: a longer name must not
// be cut to the name of another leaf (here the 63-byte "gain" in front of "gain_limit"), nor a
// longer text to another value. Both are refused before anything is sent.
TEST_F(Acquisition, RemoteWritesNeverCutTheNameOrTheValue) {
    fake_modules_load(false, true);
    const std::string gain = "controller_axis_parameters.velocity_loop.proportional_path.gain";
    ASSERT_EQ(gain.size(), 63u);
    leaf_add(gain.c_str(), 0x20000400, 4, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add((gain + "_limit").c_str(), 0x20000404, 4, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    char error[64];
    fake_target()->last_net_write = NetWrite{};
    EXPECT_EQ(variable_write(leaf_find((gain + "_limit").c_str()), "1", error, sizeof error), -1);
    EXPECT_STREQ(fake_target()->last_net_write.leaf_name, "") << "sent as the write of another leaf";
    const std::string padded = "0x" + std::string(61, '0') + "FF";  // 0xFF, 65 characters
    EXPECT_EQ(variable_write(1, padded.c_str(), error, sizeof error), -1);
    EXPECT_STREQ(fake_target()->last_net_write.value_text, "") << "sent cut to another value";
    ASSERT_EQ(variable_write(leaf_find(gain.c_str()), "0x00FF", error, sizeof error), 0) << error;
    EXPECT_STREQ(fake_target()->last_net_write.leaf_name, gain.c_str());
    EXPECT_STREQ(fake_target()->last_net_write.value_text, "0x00FF");
}

// A firmware load rebuilds the leaf table the acquisition thread reads every cycle: the program's
// load command must stop a running acquisition before it touches the table and start it again
// after (here a load whose file is missing, which resumes at once).
TEST_F(Acquisition, AFirmwareLoadStopsTheRunFirstAndResumesIt) {
    fake_modules_load(true, false);
    acquisition_install_firmware_hooks();
    leaf_set_watched(0, 1);
    ASSERT_EQ(acquisition_start(), 0);
    EXPECT_EQ(elf_load_path_utf8("/kx-review-no-such-dir/firmware.elf"), -1);
    EXPECT_EQ(acquisition_state(), ACQ_RUNNING);
    g_vartable_hooks = VarTableHooks{};
    int stopped_at = -1, failed_at = -1, resumed_at = -1, i = 0;
    for (const std::string& l : lines()) {
        if (l == "INFO 采集已停止" && stopped_at < 0) stopped_at = i;
        if (l.rfind("WARN ELF 加载失败", 0) == 0) failed_at = i;
        if (l.rfind("INFO 采集已开始", 0) == 0 && failed_at >= 0) resumed_at = i;
        i++;
    }
    ASSERT_GE(stopped_at, 0);
    EXPECT_LT(stopped_at, failed_at);
    EXPECT_GT(resumed_at, failed_at);
}

// ---- Concurrency ------------------------------------------------------------------------------------

TEST_F(Acquisition, HistoryStopsBeforeASlotReservedButNotFilled) {
    for (int i = 1; i <= 3; i++) {
        Sample s = numbered(i);
        samples_publish(&s, 1);
    }
    uint32_t held = history_reserve(2);  // a writer that was interrupted after reserving
    for (int i = 6; i <= 8; i++) {
        Sample s = numbered(i);
        samples_publish(&s, 1);
    }
    Sample out[16];
    ASSERT_EQ(history_read(out, 16), 3);  // 1, 2, 3: never the empty slots, never 6 before 4
    EXPECT_EQ(out[2].value, 3);
    Sample late[2] = {numbered(4), numbered(5)};
    history_fill(held, late, 2);
    ASSERT_EQ(history_read(out, 16), 8);
    for (int i = 0; i < 8; i++) EXPECT_EQ(out[i].value, i + 1);
    ASSERT_EQ(history_read(out, 2), 2);  // the newest two
    EXPECT_EQ(out[0].value, 7);
}

TEST_F(Acquisition, ALappedWriterNeverPutsItsOlderSampleBackOverANewerOne) {
    // A writer reserves a number and is descheduled while others publish a whole history's worth
    // of later samples, so its slot now holds a newer sample. When it wakes, its stale sample must
    // not replace the newer one: readers would stop at that slot until the next lap.
    uint32_t held = history_reserve(1);
    const int32_t later = HISTORY_CAPACITY + 10;
    for (int32_t i = 1; i <= later; i++) {
        Sample s = numbered(i + 1);
        samples_publish(&s, 1);
    }
    Sample stale = numbered(1);
    history_fill(held, &stale, 1);
    std::vector<Sample> all(HISTORY_CAPACITY);
    ASSERT_EQ(history_read(all.data(), HISTORY_CAPACITY), HISTORY_CAPACITY);
    for (int32_t i = 0; i < HISTORY_CAPACITY; i++) {
        ASSERT_EQ(all[(size_t)i].value, (double)(later + 1 - HISTORY_CAPACITY + 1 + i)) << i;
    }
}

TEST_F(Acquisition, HistoryReadersNeverSeeAnUnfilledSlot) {
    // Writers publish numbered samples (value = producer * 10^7 + n, never 0) while a reader
    // copies the most recent history over and over: every copy is an unbroken run in which each
    // producer's numbers rise strictly, with no zero record from a reserved, unfilled slot.
    std::atomic<bool> done{false};
    const int producers = 3, per_producer = 150000;
    auto writer = [](int p) {
        for (int i = 1; i <= per_producer; i++) {
            Sample s = numbered(p * 10000000 + i, p);
            samples_publish(&s, 1);
        }
    };
    std::atomic<long> checked{0}, faults{0};
    std::thread reader([&] {
        std::vector<Sample> out(4096);
        while (!done.load()) {
            int32_t n = history_read(out.data(), (int32_t)out.size());
            double last[producers] = {0, 0, 0};
            for (int32_t i = 0; i < n; i++) {
                const Sample& s = out[(size_t)i];
                int p = s.leaf_id;
                if (p < 0 || p >= producers || s.value <= last[p] || s.value != (double)s.timestamp_us) {
                    faults++;
                    break;
                }
                last[p] = s.value;
            }
            checked += n;
        }
    });
    std::vector<std::thread> writers;
    for (int p = 0; p < producers; p++) writers.emplace_back(writer, p);
    for (auto& t : writers) t.join();
    done = true;
    reader.join();
    EXPECT_EQ(faults.load(), 0);
    EXPECT_GT(checked.load(), 0);
    std::vector<Sample> all(HISTORY_CAPACITY);
    ASSERT_EQ(history_read(all.data(), HISTORY_CAPACITY), HISTORY_CAPACITY);  // quiet: all filled
}

// A peer's write runs on its connection's thread, the user's on the main thread, while the
// acquisition thread polls the same driver and hands off samples: every write lands and is read
// back (the read-back samples reach the windows), with no data race between them.
TEST_F(Acquisition, WritesFromSeveralThreadsWhileAcquiring) {
    static int read_backs;
    read_backs = 0;
    g_acquisition_hooks.deliver_to_windows = [](const Sample* samples, int32_t count) {
        for (int32_t i = 0; i < count; i++) read_backs += samples[i].origin == 1;
    };
    fake_modules_load(true, false);
    // Every read takes a moment, as a probe's does: the acquisition then fills the 8192-slot
    // hand-off in seconds, not in the microseconds between two flushes of this test.
    fake_target()->read_delay_us = 200;
    leaf_set_watched(0, 1);
    leaf_set_watched(2, 1);
    ASSERT_EQ(acquisition_start(), 0);
    std::atomic<int> failed{0};
    std::atomic<bool> peer_done{false};
    auto writer = [&failed](int32_t leaf, int base, bool flush) {
        char error[64], text[16];
        for (int i = 0; i < 200; i++) {
            std::snprintf(text, sizeof text, "%d", (base + i) % 8);
            if (variable_write(leaf, text, error, sizeof error) != 0) failed++;
            if (flush) samples_flush();  // the main thread drains as the window does
        }
    };
    std::thread peer([&] {
        writer(2, 3, false);  // the bit field at bits 5..7: read, merge, write
        peer_done = true;
    });
    writer(1, 0, true);
    while (!peer_done) samples_flush();
    peer.join();
    acquisition_stop();
    samples_flush();
    EXPECT_EQ(failed.load(), 0);
    // Read-backs travel through the hand-off with the polled samples, and a full hand-off drops
    // its oldest: where the probe's delay is not kept (Windows sleeps in whole milliseconds or
    // not at all), the polls can outrun this thread's flushes and take some read-backs with them.
    EXPECT_GT(read_backs, 0);
    EXPECT_LE(read_backs, 400);
    EXPECT_EQ(fake_target()->word(0x20000010), 7u);                  // "199 % 8"
    EXPECT_EQ((fake_target()->word(0x20000020) >> 5) & 7u, 2u);       // "(3 + 199) % 8"
}

// In the network channel the target is the peer's, though the local probe stays connected: a
// watch list that a peer sends here (a module's start, posted or direct) must not start polling
// the local probe, whose samples would mix with the peer's under the same leaves.
TEST_F(Acquisition, AModuleStartInTheNetworkChannelLeavesTheLocalProbeAlone) {
    fake_modules_load(true, false);
    g_acquisition_hooks.network_channel = [] { return 1; };
    leaf_set_watched(0, 1);
    EXPECT_EQ(acquisition_request_start(), -1);          // on the main thread: would start at once
    acquisition_on_request(KX_MSG_ACQ_START_REQUEST);    // posted earlier, before the switch
    EXPECT_EQ(acquisition_state(), ACQ_IDLE);
    EXPECT_EQ(fake_target()->reads, 0);
    EXPECT_EQ(count_prefix("INFO 网络通道: 不启动本机采集"), 2);
    g_acquisition_hooks.network_channel = [] { return 0; };
    acquisition_on_request(KX_MSG_ACQ_START_REQUEST);
    EXPECT_EQ(acquisition_state(), ACQ_RUNNING);
}

TEST_F(Acquisition, OtherThreadsPostStartAndStopToTheMainThread) {
    fake_modules_load(true, false);
    leaf_set_watched(0, 1);
    int32_t rc = 1;
    std::thread([&rc] { rc = acquisition_request_start(); }).join();  // a module's thread
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(acquisition_state(), ACQ_IDLE);  // nothing started off the main thread
    std::vector<RecordedPost> posts = rec.posts_snapshot();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].msg, (unsigned)KX_MSG_ACQ_START_REQUEST);
    acquisition_on_request(KX_MSG_ACQ_START_REQUEST);  // the main window runs it
    EXPECT_EQ(acquisition_state(), ACQ_RUNNING);
    const size_t posted = rec.posts_snapshot().size();
    std::thread([] { acquisition_request_stop(); }).join();
    EXPECT_EQ(acquisition_state(), ACQ_RUNNING);
    // The running acquisition posts its sample notices meanwhile: look for the request among them.
    posts = rec.posts_snapshot();
    int32_t stop_requests = 0;
    for (size_t i = posted; i < posts.size(); i++) stop_requests += posts[i].msg == (unsigned)KX_MSG_ACQ_STOP_REQUEST;
    EXPECT_EQ(stop_requests, 1);
    acquisition_on_request(KX_MSG_ACQ_STOP_REQUEST);
    EXPECT_EQ(acquisition_state(), ACQ_IDLE);

    // While the program shuts down nothing starts, however the request arrives.
    acquisition_shutdown();
    size_t before = rec.posts_snapshot().size();
    std::thread([&rc] { rc = acquisition_request_start(); }).join();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(acquisition_start(), -1);
    acquisition_on_request(KX_MSG_ACQ_START_REQUEST);
    EXPECT_EQ(acquisition_state(), ACQ_IDLE);
    EXPECT_EQ(rec.posts_snapshot().size(), before);
    acquisition_shutdown_reset();
}

TEST_F(Acquisition, ConcurrentStartsAndStopsFromManyThreadsNeverOverlap) {
    // Direct calls from several threads at once (no main window to post to): the control lock
    // serialises them, so no running thread object is ever overwritten.
    rec.window_exists = false;
    fake_modules_load(true, false);
    leaf_set_watched(0, 1);
    std::atomic<int> started{0};
    auto worker = [&started](int seed) {
        for (int i = 0; i < 40; i++) {
            if ((i + seed) % 3 == 0) acquisition_stop();
            else if (acquisition_start() == 0) started++;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) threads.emplace_back(worker, t);
    for (auto& t : threads) t.join();
    EXPECT_GT(started.load(), 0);
    acquisition_stop();
    EXPECT_EQ(acquisition_state(), ACQ_IDLE);
    // Every run that began was stopped exactly once and every thread ended.
    EXPECT_EQ(count_prefix("INFO 采集已开始"), count_prefix("INFO 采集已停止"));
    EXPECT_TRUE(wait_for([] { return count_prefix("INFO 采集线程已退出") == count_prefix("INFO 采集已开始"); }));
}

TEST_F(Acquisition, AbandonedThreadDoesNotEndANewerRun) {
    fake_modules_load(true, false);
    leaf_set_watched(0, 1);
    fake_target()->read_delay_us = 3600000;  // the first run hangs in a read past the 3 s stop wait
    ASSERT_EQ(acquisition_start(), 0);
    // The stop below must meet a thread that is inside the read, not one still starting up.
    ASSERT_TRUE(wait_for([] { return fake_target()->reads_started >= 1; }));
    ASSERT_EQ(fake_target()->reads, 0);
    acquisition_stop();  // waits 3 s, then lets the thread go
    EXPECT_EQ(acquisition_state(), ACQ_IDLE);
    fake_target()->read_delay_us = 0;
    ASSERT_EQ(acquisition_start(), 0);  // the next run, while the old thread still sleeps
    size_t posts_at_start = rec.posts_snapshot().size();
    ASSERT_TRUE(wait_for([] { return acquisition_threads_alive() == 1; }));
    EXPECT_EQ(count_prefix("WARN 采集线程已退出") + count_prefix("INFO 采集线程已退出"), 1);
    // The old thread has returned; the new run reading on for a while afterwards shows that
    // the end did not stop it (a wrongly ended run stops polling).
    long reads = fake_target()->reads;
    EXPECT_TRUE(wait_for([reads] { return fake_target()->reads > reads + 10; }));  // still polling
    EXPECT_EQ(acquisition_state(), ACQ_RUNNING);  // the old thread's end left the new run alone
    for (size_t i = posts_at_start; i < rec.posts_snapshot().size(); i++)
        EXPECT_NE(rec.posts_snapshot()[i].msg, (unsigned)KX_MSG_ACQ_ENDED);
    acquisition_stop();
    EXPECT_EQ(acquisition_state(), ACQ_IDLE);
}

namespace {

// Recording hooks that log their calls in order; the first finish holds on for a while so that
// anything able to run between an ending thread's check and its finish gets its chance.
std::mutex g_recording_events_lock;
std::vector<std::string> g_recording_events;
std::atomic<bool> g_finish_entered{false};
void recording_event(const char* what) {
    std::lock_guard<std::mutex> hold(g_recording_events_lock);
    g_recording_events.push_back(what);
}
std::vector<std::string> recording_events() {
    std::lock_guard<std::mutex> hold(g_recording_events_lock);
    return g_recording_events;
}
bool fake_recording_on() { return true; }
void fake_recording_clear() { recording_event("clear"); }
int fake_recording_open() { recording_event("open"); return 0; }
void fake_recording_finish() {
    if (!g_finish_entered.exchange(true)) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    recording_event("finish");
}

}  // namespace

TEST_F(Acquisition, AbandonedThreadNeverFinishesTheRecordingOfANewerRun) {
    g_recording_events.clear();
    g_finish_entered = false;
    g_acquisition_hooks.recording_on = fake_recording_on;
    g_acquisition_hooks.recording_clear = fake_recording_clear;
    g_acquisition_hooks.recording_open = fake_recording_open;
    g_acquisition_hooks.recording_finish = fake_recording_finish;
    fake_modules_load(true, false);
    leaf_set_watched(0, 1);
    fake_target()->read_delay_us = 3600000;  // the first run hangs in a read past the 3 s stop wait
    ASSERT_EQ(acquisition_start(), 0);
    ASSERT_TRUE(wait_for([] { return fake_target()->reads_started >= 1; }));
    acquisition_stop();  // waits 3 s, then lets the thread go
    fake_target()->read_delay_us = 0;
    // The old thread, still current, finishes its own cache; a start right then must not have
    // its fresh cache finished by it.
    ASSERT_TRUE(wait_for([] { return g_finish_entered.load(); }));
    ASSERT_EQ(acquisition_start(), 0);
    ASSERT_TRUE(wait_for([] { return acquisition_threads_alive() == 1; }));
    std::vector<std::string> events = recording_events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "open") << ::testing::PrintToString(events);
    EXPECT_EQ(std::count(events.begin(), events.end(), "finish"), 1) << ::testing::PrintToString(events);
    acquisition_stop();
    EXPECT_EQ(recording_events().back(), "finish");  // the new run's own end finishes its cache
}

TEST_F(Acquisition, StressNoLostOrDuplicatedHistory) {
    fake_modules_load(true, false);
    // Slow enough polls that the acquisition's own samples leave room in the history for the
    // pushed ones even where short sleeps return at once (Wine's did: 73,000 samples in 66 ms).
    fake_target()->read_delay_us = 2000;
    leaf_set_watched(0, 1);
    ASSERT_EQ(acquisition_start(), 0);
    const int per_thread = 4000;
    auto pusher = [](int thread) {
        for (int i = 0; i < per_thread; i++) {
            Sample s = numbered(1000000 * (thread + 1) + i, -1);
            samples_publish(&s, 1);
        }
    };
    std::thread t1(pusher, 0), t2(pusher, 1);
    char error[64];
    for (int i = 0; i < 50; i++) {
        samples_flush();
        leaf_set_watched(1, i % 2);
        variable_write(1, std::to_string(i).c_str(), error, sizeof error);
    }
    t1.join();
    t2.join();
    acquisition_stop();
    samples_flush();
    uint32_t published = samples_published_count();
    ASSERT_LE(published, (uint32_t)HISTORY_CAPACITY) << "the run produced more than the history keeps";
    std::vector<Sample> history(published);
    ASSERT_EQ(history_read(history.data(), (int32_t)published), (int32_t)published);
    std::vector<int64_t> pushed;
    for (const Sample& s : history)
        if (s.leaf_id == -1) pushed.push_back(s.timestamp_us);
    std::sort(pushed.begin(), pushed.end());
    ASSERT_EQ(pushed.size(), 2u * per_thread);
    EXPECT_EQ(std::adjacent_find(pushed.begin(), pushed.end()), pushed.end());
}
