// Replay: recordings read back exactly, every sample kept in its leaf's track, odd files, the
// store's hand-over to waveform windows and its lifetime, and the real-time step replay.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "platform_recorder.h"
#include "recording/recording.h"
#include "recording/replay.h"
#include "recording/replay_rows.h"
#include "test_recording_util.h"
#include "vartable/leaf_codec.h"
#include "vartable/leaf_table.h"

using namespace rectest;

namespace {

std::vector<Sample> g_delivered;
void collect(const Sample* samples, int32_t count) { g_delivered.insert(g_delivered.end(), samples, samples + count); }

std::vector<Sample> drain() {
    g_delivered.clear();
    samples_flush();
    return g_delivered;
}

TypeInfo g_enumerators[2];
TypeInfo* g_enumerator_list[2] = {&g_enumerators[0], &g_enumerators[1]};
TypeInfo g_enum_type;

class Replay : public ::testing::Test {
protected:
    void SetUp() override {
        leaf_table_reset();
        samples_reset();
        replay_store_reset();
        g_replay_chart_hooks = ReplayChartHooks{};
        g_acquisition_hooks = AcquisitionHooks{};
        recording_install_hooks();
        g_acquisition_hooks.deliver_to_windows = collect;
        rec.env["LOCALAPPDATA"] = scratch.path();
        g_enumerators[0] = TypeInfo{};
        g_enumerators[0].name = "MODE_IDLE";
        g_enumerators[0].enum_value = 0;
        g_enumerators[1] = TypeInfo{};
        g_enumerators[1].name = "MODE_FAULT";
        g_enumerators[1].enum_value = -2;
        g_enum_type = TypeInfo{};
        g_enum_type.kind = TYPE_ENUM;
        g_enum_type.byte_size = 1;
        g_enum_type.child_count = 2;
        g_enum_type.children = g_enumerator_list;
        leaf_add("a", 0x20000000, 4, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
        leaf_add("b", 0x20000004, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    }
    void TearDown() override {
        replay_stop();
        replay_store_reset();
        recording_shutdown();
        g_replay_chart_hooks = ReplayChartHooks{};
        g_acquisition_hooks = AcquisitionHooks{};
        acquisition_set_state(ACQ_IDLE);
        leaf_table_reset();
        samples_reset();
    }
    PlatformRecorder rec;
    LogCapture log;
    ScratchDir scratch;
};

// A sample as the acquisition thread makes it from target bytes.
Sample acquired(LeafId id, int64_t ts, uint64_t memory) {
    const VarLeaf* leaf = leaf_at(id);
    Sample s = {};
    s.timestamp_us = ts;
    s.leaf_id = id;
    s.address = leaf->address;
    uint32_t size = leaf->size < 8 ? leaf->size : 8;
    for (uint32_t i = 0; i < size; i++) s.raw[i] = (uint8_t)(memory >> (8 * i));
    s.size = (int32_t)size;
    leaf_decode(leaf, s.raw, size, s.text, sizeof s.text, &s.value);
    return s;
}

}  // namespace

TEST_F(Replay, ARecordingReadsBackWithTheSameTimesTextsValuesAndBytes) {
    leaf_add("big", 0x20000010, 8, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("mode", 0x20000018, 1, TYPE_ENUM, 1, 0, 0, 0, 0, &g_enum_type);  // signed: it has a negative enumerator
    leaf_add("on", 0x20000019, 1, TYPE_BOOL, 0, 0, 0, 0, 0, nullptr);
    leaf_add("ptr", 0x2000001C, 4, TYPE_POINTER, 0, 1, 0, 0, 0, nullptr);
    leaf_add("bits", 0x20000020, 4, TYPE_INT, 1, 0, 1, 5, 3, nullptr);
    leaf_add("gain", 0x20000024, 4, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("scale", 0x20000028, 8, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    for (LeafId id = 0; id < leaf_count(); id++) leaf_set_watched(id, 1);
    float gain = -0.15625f;
    double scale = 3.14159;
    uint32_t gain_bits;
    uint64_t scale_bits;
    memcpy(&gain_bits, &gain, 4);
    memcpy(&scale_bits, &scale, 8);
    std::vector<Sample> original = {
        acquired(0, 1733659200123456, 4000000000u),
        acquired(1, 1733659200123457, (uint32_t)-7),
        acquired(2, 1733659200123458, 0xFFFFFFFFFFFFFFF1ull),  // above 2^53: exact only as text
        acquired(3, 1733659200123459, 0xFE),                   // MODE_FAULT
        acquired(4, 1733659200123460, 1),
        acquired(5, 1733659200123461, 0x20001234),
        acquired(6, 1733659200123462, (6u << 5) | 0x1Fu),      // bits = 6 (3-bit signed: -2), neighbours set
        acquired(7, 1733659201000000, gain_bits),
        acquired(8, 1733659201999999, scale_bits),
        acquired(0, -1, 0),                                      // a sample without a time
    };
    ASSERT_EQ(recording_open(), 0);
    recording_append(original.data(), (int32_t)original.size());
    recording_finish();
    char cache[RECORDING_PATH_CAPACITY];
    recording_cache_path(cache, sizeof cache);

    ASSERT_EQ(replay_load_all(cache), 0);
    std::vector<Sample> back = drain();
    ASSERT_EQ(back.size(), original.size());
    for (size_t i = 0; i < back.size(); i++) {
        const Sample& o = original[i];
        const Sample& r = back[i];
        EXPECT_EQ(r.timestamp_us, o.timestamp_us) << i;
        EXPECT_EQ(r.leaf_id, o.leaf_id) << i;
        EXPECT_EQ(r.address, o.address) << i;
        EXPECT_STREQ(r.text, o.text) << i;
        EXPECT_EQ(r.value, o.value) << i;
        EXPECT_EQ(r.size, o.size) << i;
        EXPECT_EQ(r.origin, 0);
        if (o.leaf_id != 6) {
            EXPECT_EQ(memcmp(r.raw, o.raw, 8), 0) << i;  // a bit-field keeps only its bits
        }
    }
    EXPECT_STREQ(back[3].text, "MODE_FAULT");
    EXPECT_STREQ(back[6].text, "-2");
    EXPECT_STREQ(back[2].text, "18446744073709551601");
    const ReplaySeries* big = replay_series_at(2);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->track.count, 1);
    EXPECT_EQ(big->track.values[0], original[2].value);
    // The last line has no time: its sample takes the last valid one, and the span stays.
    const SampleTrack& a = replay_series_at(0)->track;
    ASSERT_EQ(a.count, 2);
    EXPECT_EQ(a.t0, 1733659200123456);
    EXPECT_EQ(a.t1, 1733659201999999);
    EXPECT_EQ(a.values[1], 0);
    EXPECT_EQ(replay_series_count(), 9);
}

TEST_F(Replay, EveryValueLandsInItsLeafsTrackAtItsLineTime) {
    std::string small = "timestamp_us,time_iso,a,b\n";
    for (int r = 0; r < 100; r++)
        small += std::to_string(1000 + r) + ",x," + (r % 2 ? "," + std::to_string(r) : std::to_string(r) + ",") + "\n";
    std::string path = scratch.path("small.csv");
    write_file(path, small);
    ASSERT_EQ(replay_load_all(path.c_str()), 0);
    EXPECT_TRUE(log.has("INFO 回放加载完成: " + path + "（100 行，2 个变量桶缓存）"));
    const ReplaySeries* a = replay_series_at(0);
    const ReplaySeries* b = replay_series_at(1);
    ASSERT_TRUE(a && b);
    EXPECT_STREQ(a->name, "a");
    ASSERT_EQ(a->track.count, 50);
    ASSERT_EQ(b->track.count, 50);
    for (int r = 0; r < 100; r++) {
        const SampleTrack& t = (r % 2 ? b : a)->track;
        EXPECT_EQ(t.times[r / 2], 1000 + r) << r;
        EXPECT_EQ(t.values[r / 2], r) << r;
    }
    EXPECT_EQ(a->track.t0, 1000);
    EXPECT_EQ(a->track.t1, 1098);
    EXPECT_EQ(b->track.t1, 1099);
    EXPECT_EQ(drain().size(), 100u);

    std::string large = "timestamp_us,a\n";
    for (int r = 0; r < 100000; r++) large += std::to_string(5000000 + r) + "," + std::to_string(r) + "\n";
    path = scratch.path("large.csv");
    write_file(path, large);
    ASSERT_EQ(replay_load_all(path.c_str()), 0);
    EXPECT_TRUE(log.has("INFO 回放加载完成: " + path + "（100000 行，1 个变量桶缓存）"));
    EXPECT_EQ(replay_series_at(1), nullptr);  // emptied by the new load
    a = replay_series_at(0);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->track.count, 100000);
    EXPECT_EQ(a->track.values[99999], 99999);
    double lo, hi;
    ASSERT_TRUE(replay_extremes("a", &lo, &hi));
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 99999);
    // The hand-off ring keeps the newest 8191; the track covers the whole file.
    std::vector<Sample> waiting = drain();
    ASSERT_EQ(waiting.size(), 8191u);
    EXPECT_EQ(waiting.back().value, 99999);
    EXPECT_EQ(waiting.back().timestamp_us, 5099999);
}

// A recording as wide as a big firmware with a single line: every column gets its track, each
// starts small (not tens of kilobytes a column), look-ups by name find the last of them, and the
// next load forgets them all.
TEST_F(Replay, AWideShortRecordingTakesSmallTracksAndTheNextLoadForgetsThem) {
    std::string header = "timestamp_us,time_iso,a,b", line = "1000,x,1,2";
    for (int i = 0; i < 3000; i++) {
        leaf_add(("w" + std::to_string(i)).c_str(), 0x20001000 + 4u * (uint32_t)i, 4, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
        header += ",w" + std::to_string(i);
        line += "," + std::to_string(i);
    }
    std::string path = scratch.path("wide.csv");
    write_file(path, header + "\n" + line + "\n");
    ASSERT_EQ(replay_load_all(path.c_str()), 0);
    EXPECT_EQ(replay_series_count(), 3002);
    for (LeafId id = 0; id < 3002; id++) {
        const ReplaySeries* s = replay_series_at(id);
        ASSERT_NE(s, nullptr) << id;
        EXPECT_EQ(s->track.count, 1) << id;
        EXPECT_LE(s->track.capacity, (int64_t)TRACK_FIRST_CAPACITY) << id;
    }
    const SampleTrack* last = replay_track_by_name("w2999");
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->values[0], 2999);
    EXPECT_EQ(drain().size(), 3002u);

    path = scratch.path("narrow.csv");
    write_file(path, "timestamp_us,b\n5,7\n");
    ASSERT_EQ(replay_load_all(path.c_str()), 0);
    EXPECT_EQ(replay_series_count(), 1);
    EXPECT_EQ(replay_series_at(0), nullptr);
    EXPECT_EQ(replay_series_at(1000), nullptr);
    EXPECT_EQ(replay_track_by_name("w2999"), nullptr);
    EXPECT_EQ(replay_track_by_name("a"), nullptr);
    ASSERT_NE(replay_track_by_name("b"), nullptr);
    EXPECT_EQ(replay_track_by_name("b")->values[0], 7);
}

// A leaf whose last value lies before the newest lines still hands that value over, once, ahead
// of the newest lines; and a track that grows past its first arrays keeps every sample in order.
TEST_F(Replay, ALeafQuietBeforeTheNewestLinesStillPublishesItsLastValue) {
    std::string text = "timestamp_us,a,b\n1,,41\n2,,42\n";
    const int lines = REPLAY_PUBLISH_LINES + 5000;
    for (int r = 0; r < lines; r++) text += std::to_string(10 + r) + "," + std::to_string(r) + ",\n";
    std::string path = scratch.path("quiet.csv");
    write_file(path, text);
    const uint32_t before = samples_published_count();
    ASSERT_EQ(replay_load_all(path.c_str()), 0);
    EXPECT_EQ(samples_published_count() - before, (uint32_t)REPLAY_PUBLISH_LINES + 1);
    const SampleTrack* a = replay_track_by_name("a");
    const SampleTrack* b = replay_track_by_name("b");
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->count, lines);
    for (int r = 0; r < lines; r++) ASSERT_EQ(a->values[r], r) << r;
    ASSERT_EQ(b->count, 2);
    EXPECT_EQ(b->values[1], 42);
}

TEST_F(Replay, TheLinesHandedOverArriveWholeAndInFileOrder) {
    // More samples than one batch of the hand-over holds: every line's samples, none twice,
    // in the file's order, with their texts; fields past the header's columns change nothing.
    std::string text = "timestamp_us,a,b\n";
    const int lines = 3000;
    for (int r = 0; r < lines; r++)
        text += std::to_string(100 + r) + "," + std::to_string(r) + "," + std::to_string(-r) +
                (r % 7 == 3 ? ",x,\"y,\"\"z\",9" : r % 7 == 5 ? "," : "") + "\n";
    std::string path = scratch.path("order.csv");
    write_file(path, text);
    ASSERT_EQ(replay_load_all(path.c_str()), 0);
    const std::vector<Sample> got = drain();
    ASSERT_EQ(got.size(), (size_t)(2 * lines));
    for (int r = 0; r < lines; r++) {
        const Sample& a = got[(size_t)(2 * r)];
        const Sample& b = got[(size_t)(2 * r + 1)];
        ASSERT_EQ(a.leaf_id, leaf_find("a")) << r;
        ASSERT_EQ(b.leaf_id, leaf_find("b")) << r;
        ASSERT_EQ(a.timestamp_us, 100 + r);
        ASSERT_EQ(b.timestamp_us, 100 + r);
        ASSERT_STREQ(a.text, std::to_string(r).c_str());
        ASSERT_STREQ(b.text, std::to_string(-r).c_str());
    }
}

TEST_F(Replay, PlainNumbersTakeTheFastPathWithTheCodecsValues) {
    // Every kind the fast path takes, and texts it must leave to the codec: the value must be the
    // one the codec decodes, whichever path it took.
    leaf_add("u8", 0x20000010, 1, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("i16", 0x20000012, 2, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("f32", 0x20000014, 4, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("f64", 0x20000018, 8, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("i64", 0x20000020, 8, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    const char* texts[] = {"0", "-0", "1", "-1", "255", "256", "-129", "32767", "-32768", "40000", "017", "0x1F",
                           "1e3", " 5", "7 ", "+3", "3.", ".5", "-2.5", "0.1", "123456.789012345",
                           "1234567890123456", "0.30000000000000004", "nan", "9223372036854775807",
                           "-9223372036854775808", "999999999999999999", "12abc", "-", "."};
    for (LeafId id = 0; id < leaf_count(); id++) {
        const VarLeaf* leaf = leaf_at(id);
        for (const char* text : texts) {
            Sample slow;
            double fast = 0;
            const bool took = replay_fast_value(leaf, text, strlen(text), &fast);
            const bool parsed = replay_make_sample(leaf, text, 0, &slow);
            if (!took) continue;
            ASSERT_TRUE(parsed) << leaf->name << " " << text;
            EXPECT_EQ(memcmp(&fast, &slow.value, sizeof fast), 0) << leaf->name << " " << text << " " << fast
                                                                   << " vs " << slow.value;
        }
    }
}

TEST_F(Replay, ALoadKeepsTheValueASampleOfTheSameTextGets) {
    // What the load keeps of a field is the value alone; it must be the sample's value to the
    // bit, and taken or refused alike, for every kind the codec reads (bit fields, enumerator
    // names, booleans, pointers, a unit wider than eight bytes) and texts it refuses.
    leaf_add("u32", 0x20000000, 4, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("i8", 0x20000004, 1, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("f32", 0x20000008, 4, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("u64", 0x20000010, 8, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("bits", 0x20000018, 4, TYPE_UINT, 0, 0, 1, 3, 5, nullptr);
    leaf_add("sbits", 0x2000001C, 2, TYPE_INT, 1, 0, 1, 9, 7, nullptr);
    leaf_add("flag", 0x20000020, 1, TYPE_BOOL, 0, 0, 0, 0, 0, nullptr);
    leaf_add("ptr", 0x20000024, 4, TYPE_UINT, 0, 1, 0, 0, 0, nullptr);
    leaf_add("wide", 0x20000030, 16, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("mode", 0x20000040, 1, TYPE_ENUM, 1, 0, 0, 0, 0, &g_enum_type);
    const char* texts[] = {"0", "-1", "300", "0x7F", "017", "1e3", "2.5", "-2.5", "true", "false", "MODE_IDLE",
                           "MODE_FAULT", "MODE_X", "18446744073709551615", "-9223372036854775808", "nan", "inf",
                           "", " ", "abc", "12abc", "0x", "-"};
    for (LeafId id = 0; id < leaf_count(); id++) {
        const VarLeaf* leaf = leaf_at(id);
        for (const char* text : texts) {
            Sample sample;
            double value = 12345;
            const bool made = replay_make_sample(leaf, text, 0, &sample);
            ASSERT_EQ(replay_field_value(leaf, text, &value), made) << leaf->name << " '" << text << "'";
            if (made) {
                EXPECT_EQ(memcmp(&value, &sample.value, sizeof value), 0)
                    << leaf->name << " '" << text << "' " << value << " vs " << sample.value;
            }
        }
    }
}

TEST_F(Replay, OddFilesGiveWhatTheyClearlySayAndNothingElse) {
    leaf_add("m.a,b", 0x20000008, 4, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    std::string odd =
        " a,unknown.var,time_iso_local,\"m.a,b\",b\r\n"  // no timestamp column; blanks before a name
        "1,9,x,7,-3\r\n"
        "\r\n"                                  // empty: no row
        "2\r\n"                                 // short line: a only
        "junk,9,x,\"8\",  -4  \r\n"             // a does not parse, quoted value, blanks
        "\"\",,,,\n"                            // nothing parses
        + std::string(CSV_LINE_CAPACITY + 10, '7') + "\n"  // too long: skipped whole
        "5,,,,";                                // last line without a line feed
    std::string path = scratch.path("odd.csv");
    write_file(path, odd);
    ASSERT_EQ(replay_load_all(path.c_str()), 0);
    EXPECT_TRUE(log.has("INFO 回放加载完成: " + path + "（5 行，3 个变量桶缓存）"));
    EXPECT_EQ(log.count("WARN 回放文件有 1 行超过"), 1);
    std::vector<Sample> got = drain();
    std::vector<std::pair<LeafId, std::string>> seen;
    for (const Sample& s : got) {
        EXPECT_EQ(s.timestamp_us, 0);
        seen.emplace_back(s.leaf_id, s.text);
    }
    LeafId mab = leaf_find("m.a,b");
    std::vector<std::pair<LeafId, std::string>> expected = {
        {0, "1"}, {mab, "7"}, {1, "-3"}, {0, "2"}, {mab, "8"}, {1, "-4"}, {0, "5"}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(replay_series_at(mab)->track.count, 2);
    EXPECT_FALSE(track_usable(&replay_series_at(0)->track));  // no times: no window takes it

    // A file that cannot be opened: -1 and the command's message box.
    rec.boxes.clear();
    replay_all_command(scratch.path("missing.csv").c_str());
    ASSERT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(rec.boxes[0].text, "无法打开回放文件");
    EXPECT_EQ(rec.boxes[0].caption, "回放");
    EXPECT_EQ(rec.boxes[0].flags, (unsigned)(PLATFORM_MB_OK | PLATFORM_MB_ICONERROR));
}

// ---- The store and the waveform windows ---------------------------------------------------------

namespace {

struct FakeWindow {
    std::vector<std::string> names;
};
FakeWindow g_windows[2];
struct Lent {
    void* window;
    int32_t leaf;
    const SampleTrack* track;
};
std::vector<Lent> g_lent;
int g_dropped;
std::vector<unsigned> g_posted;

int32_t fake_count() { return 2; }
void* fake_at(int32_t i) { return &g_windows[i]; }
int32_t fake_name(void* w, int32_t index, char* out, int32_t size) {
    FakeWindow* fw = (FakeWindow*)w;
    if (index < 0 || index >= (int32_t)fw->names.size()) return 0;
    text_copy(out, (size_t)size, fw->names[(size_t)index].c_str());
    return 1;
}
void fake_set(void* w, int32_t leaf, const SampleTrack* t) { g_lent.push_back({w, leaf, t}); }
int32_t fake_drop() {
    // The tracks are still alive when the windows are told to let go of them.
    for (const Lent& l : g_lent) EXPECT_GT(l.track->count, 0);
    g_dropped++;
    g_lent.clear();
    return 0;
}
void fake_post(unsigned msg) { g_posted.push_back(msg); }

}  // namespace

TEST_F(Replay, ReplayAllLendsEnvelopesToTheWindowsThatShowTheLeaves) {
    g_windows[0].names = {"a", "not.a.leaf", "b"};
    g_windows[1].names = {"b"};
    g_lent.clear();
    g_dropped = 0;
    g_posted.clear();
    g_replay_chart_hooks = {fake_count, fake_at, fake_name, fake_set, fake_drop, nullptr, nullptr};
    g_acquisition_hooks.post_to_waveform_windows = fake_post;
    std::string path = scratch.path("two.csv");
    write_file(path, "timestamp_us,time_iso,a,b\n10,x,1,\n20,x,,2\n30,x,3,\n");
    replay_all_command(path.c_str());
    ASSERT_EQ(g_lent.size(), 3u);
    EXPECT_EQ(g_lent[0].window, &g_windows[0]);
    EXPECT_EQ(g_lent[0].leaf, 0);
    EXPECT_EQ(g_lent[0].track, &replay_series_at(0)->track);
    EXPECT_EQ(g_lent[0].track->count, 2);
    EXPECT_EQ(g_lent[0].track->t0, 10);
    EXPECT_EQ(g_lent[0].track->t1, 30);
    EXPECT_EQ(g_lent[1].leaf, 1);
    EXPECT_EQ(g_lent[2].window, &g_windows[1]);
    EXPECT_EQ(g_posted, std::vector<unsigned>{KX_MSG_ACQ_STOPPED});
    EXPECT_EQ(acquisition_state(), ACQ_IDLE);
    ASSERT_NE(replay_track_by_name("a"), nullptr);
    EXPECT_EQ(replay_track_by_name("a")->values[1], 3);
    EXPECT_EQ(replay_track_by_name("not.a.leaf"), nullptr);
    // The next load first makes every window let go, then frees.
    replay_all_command(path.c_str());
    EXPECT_EQ(g_dropped, 2);  // once per load
    EXPECT_EQ(g_lent.size(), 3u);
}

// ---- Step replay ----------------------------------------------------------------------------------

TEST_F(Replay, StepReplayPublishesLinesAtTheirRecordedPace) {
    std::string path = scratch.path("steps.csv");
    write_file(path, "timestamp_us,time_iso,a\n7000000,x,1\n8000000,x,2\n\n9000000,x,3\n");
    EXPECT_EQ(replay_start(scratch.path("none.csv").c_str()), -1);
    EXPECT_EQ(acquisition_state(), ACQ_IDLE);
    ASSERT_EQ(replay_start(path.c_str()), 0);
    EXPECT_EQ(acquisition_state(), ACQ_REPLAY);
    EXPECT_TRUE(log.has("INFO 开始离线回放: " + path));
    replay_tick();  // the first line is due on the first tick
    std::vector<Sample> got = drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].timestamp_us, 7000000);
    rec.now += 999999;
    replay_tick();
    EXPECT_TRUE(drain().empty());
    rec.now += 1;
    replay_tick();
    got = drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].value, 2);
    auto ended_posts = [this] {
        int n = 0;
        for (const RecordedPost& p : rec.posts) n += p.msg == KX_MSG_ACQ_ENDED;
        return n;
    };
    EXPECT_EQ(ended_posts(), 0);
    rec.now += 1000000;
    replay_tick();  // the last line, then the end of the file
    EXPECT_EQ(drain().size(), 1u);
    EXPECT_FALSE(replay_step_running());
    EXPECT_EQ(acquisition_state(), ACQ_IDLE);
    EXPECT_EQ(ended_posts(), 1);
    EXPECT_TRUE(log.has("INFO 回放结束"));
    EXPECT_TRUE(log.has("INFO 回放已停止"));
    replay_tick();  // nothing left to do

    // Stopping halfway; an acquisition that took the state word meanwhile keeps it.
    ASSERT_EQ(replay_start(path.c_str()), 0);
    replay_tick();
    acquisition_set_state(ACQ_RUNNING);
    replay_stop();
    EXPECT_EQ(acquisition_state(), ACQ_RUNNING);
    EXPECT_EQ(log.count("INFO 回放已停止"), 2);
    acquisition_set_state(ACQ_IDLE);
}

TEST_F(Replay, StepReplayKeepsThePaceAtTheEndsOfTheTimeRange) {
    // Hostile or broken files may hold any 64-bit time: the due test must not overflow.
    std::string path = scratch.path("far.csv");
    write_file(path, "timestamp_us,a\n9223372036854775800,4\n9223372036854775807,5\n-9223372036854775808,6\n");
    ASSERT_EQ(replay_start(path.c_str()), 0);
    replay_tick();
    EXPECT_EQ(drain().size(), 1u);
    rec.now += 3;
    replay_tick();
    EXPECT_TRUE(drain().empty());
    rec.now += 1000;  // first time + elapsed lies past the 64-bit range
    replay_tick();  // the second line is due, and the third one (far in the past) right after it
    std::vector<Sample> got = drain();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].value, 5);
    EXPECT_EQ(got[1].timestamp_us, INT64_MIN);
    EXPECT_FALSE(replay_step_running());
}

TEST_F(Replay, StepReplayOfAFileWithoutTimesSpreadsOverTicks) {
    std::string body = "a\n";
    for (int i = 0; i < 50000; i++) body += std::to_string(i) + "\n";
    std::string path = scratch.path("untimed.csv");
    write_file(path, body);
    ASSERT_EQ(replay_start(path.c_str()), 0);
    uint32_t before = samples_published_count();
    replay_tick();
    EXPECT_EQ(samples_published_count() - before, (uint32_t)REPLAY_TICK_LINE_LIMIT);
    replay_tick();
    replay_tick();
    EXPECT_EQ(samples_published_count() - before, 50000u);
    EXPECT_FALSE(replay_step_running());
}

// ---- The load against a plain reader ------------------------------------------------------------

namespace {

// What a plain reader makes of a recording: split at line feeds and commas (quotes removed),
// each value through the codec, each line's time by the load's rules.
struct PlainTrack {
    std::vector<int64_t> times;
    std::vector<double> values;
};

std::vector<PlainTrack> read_plainly(const std::string& csv, int32_t leaves) {
    std::vector<PlainTrack> tracks((size_t)leaves);
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < csv.size()) {
        size_t lf = csv.find('\n', at);
        if (lf == std::string::npos) lf = csv.size();
        std::string line = csv.substr(at, lf - at);
        while (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        at = lf + 1;
    }
    std::vector<std::string> header = fields_of(lines[0].substr(3));  // after the byte-order mark
    int64_t first = 0, last = 0;
    std::vector<std::pair<LeafId, std::pair<size_t, double>>> untimed;  // before the first time
    for (size_t i = 1; i < lines.size(); i++) {
        if (lines[i].empty()) continue;
        std::vector<std::string> f = fields_of(lines[i]);
        const int64_t t = std::strtoll(f[0].c_str(), nullptr, 10);
        if (t != 0 && t != -1) {
            if (first == 0) first = t;
            last = t;
        }
        for (size_t c = 2; c < f.size() && c < header.size(); c++) {
            const LeafId id = leaf_find(header[c].c_str());
            Sample s;
            if (id < 0 || !replay_make_sample(leaf_at(id), f[c].c_str(), 0, &s)) continue;
            PlainTrack& track = tracks[(size_t)id];
            const int64_t held = track.times.empty() || last >= track.times.back() ? last : track.times.back();
            track.times.push_back(held);
            track.values.push_back(s.value);
        }
    }
    for (PlainTrack& track : tracks)
        for (int64_t& t : track.times)
            if (t == 0) t = first;
    return tracks;
}

}  // namespace

TEST_F(Replay, ALoadHoldsExactlyWhatAPlainReaderReadsFromAwkwardTexts) {
    // Every text that takes a short cut through the load must give the codec's value to the
    // last bit; texts that do not must still reach the codec. Random lines mix both, with CRLF
    // endings, quoted fields, lines without a time and times of every length.
    leaf_add("u8", 0x20000010, 1, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("i64", 0x20000018, 8, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("u64", 0x20000020, 8, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("f32", 0x20000028, 4, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("f64", 0x20000030, 8, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("mode", 0x20000038, 1, TYPE_ENUM, 1, 0, 0, 0, 0, &g_enum_type);
    const int32_t leaves = leaf_count();
    const std::vector<std::string> awkward = {
        "0", "-0", "+0", "-0.0", "0.0", "1", "-1", "255", "256", "-129", "017", "0x1F", " 5", "7 ",
        "9223372036854775807", "-9223372036854775808", "9223372036854775808", "18446744073709551615",
        "18446744073709551616", "-9223372036854775809", "999999999999999999", "1000000000000000000",
        "4.9406564584124654e-324", "2.2250738585072009e-308", "1e-310", "1.7976931348623157e+308", "1e308",
        "0.1", "0.30000000000000004", "123456.789012345", "9007199254740993", "9007199254740992.5",
        "1.23457e-05", "-1.5e+06", "1e22", "1e23", "1e-22", "1e-23", "3.4028235e+38", "3.4028236e+38",
        "1.17549435e-38", "1.4e-45", "1e", "1e+", "1e1000", "2.", ".5", "-.5", ".", "-", "+", "1.2.3",
        "nan", "-inf", "INF", "0x1.8p3", "1,5", "MODE_FAULT", "mode_idle", "MODE_RUN", "true", "12abc",
        "00000000000000000000000000012", "0.000000000000000000000000000001", "123456789012345678901234567890"};
    std::mt19937_64 rng(20240611);
    std::string csv = "\xEF\xBB\xBFtimestamp_us,time_iso,a,b,u8,i64,u64,f32,f64,mode\n";
    int64_t t = 1733659200000000;
    for (int line = 0; line < 20000; line++) {
        std::string time;
        switch (rng() % 16) {
        case 0: time = ""; break;                          // no time
        case 1: time = "-1"; break;                        // no time either
        case 2: time = std::to_string(rng() % 1000); break;  // a short one: runs backwards
        case 3: time = "0000" + std::to_string(t); break;  // leading zeros: past 18 digits
        case 4: time = std::to_string(t).insert(9, "."); break;  // digits up to a stray byte
        case 5: time = " " + std::to_string(t); break;     // a blank before the digits
        default: time = std::to_string(t += (int64_t)(rng() % 5000)); break;
        }
        std::string value;
        switch (rng() % 4) {
        case 0: value = awkward[rng() % awkward.size()]; break;
        case 1: {  // the recorder's float texts and full precision
            double x;
            const uint64_t bits = rng();
            memcpy(&x, &bits, sizeof x);
            char text[64];
            snprintf(text, sizeof text, rng() % 2 ? "%.6g" : "%.17g", x);
            value = text;
            break;
        }
        case 2: value = std::to_string((int64_t)rng() >> (rng() % 64)); break;
        default: {
            char text[64];
            snprintf(text, sizeof text, "%.*f", (int)(rng() % 12), (double)(int64_t)(rng() % 2000000 - 1000000) / 977.0);
            value = text;
            break;
        }
        }
        if (value.find(',') != std::string::npos || rng() % 50 == 0) value = "\"" + value + "\"";
        const int32_t column = (int32_t)(rng() % (uint64_t)leaves);
        std::string text = time + ",2024-12-08 12:00:00.000000";
        for (int32_t c = 0; c < leaves; c++) text += "," + (c == column ? value : std::string());
        csv += text + (rng() % 5 == 0 ? "\r\n" : "\n");
    }
    const std::string path = scratch.path("awkward.csv");
    write_file(path, csv);
    ASSERT_EQ(replay_load_all(path.c_str()), 0);
    const std::vector<PlainTrack> expected = read_plainly(csv, leaves);
    int64_t compared = 0;
    for (LeafId id = 0; id < leaves; id++) {
        const ReplaySeries* s = replay_series_at(id);
        const PlainTrack& want = expected[(size_t)id];
        ASSERT_EQ(s ? s->track.count : 0, (int64_t)want.values.size()) << leaf_at(id)->name;
        for (size_t i = 0; i < want.values.size(); i++) {
            ASSERT_EQ(s->track.times[i], want.times[i]) << leaf_at(id)->name << " " << i;
            ASSERT_EQ(memcmp(&s->track.values[i], &want.values[i], sizeof(double)), 0)
                << leaf_at(id)->name << " " << i << ": " << s->track.values[i] << " vs " << want.values[i];
            compared++;
        }
    }
    EXPECT_GT(compared, 15000);
}

TEST_F(Replay, FastNumbersAreStrtodsDoublesAndFloats) {
    // The float short cut against the C library directly, over random bit patterns written
    // the ways recordings write them.
    leaf_add("f32", 0x20000010, 4, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("f64", 0x20000018, 8, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    const VarLeaf* f32 = leaf_at(leaf_find("f32"));
    const VarLeaf* f64 = leaf_at(leaf_find("f64"));
    std::mt19937_64 rng(7);
    const char* formats[] = {"%.6g", "%.9g", "%.15g", "%.3f", "%.10e", "%g"};
    int64_t fast = 0;
    for (int i = 0; i < 200000; i++) {
        double x;
        const uint64_t bits = rng();
        memcpy(&x, &bits, sizeof x);
        if (i % 2) x = (double)(int64_t)(rng() % 20000001 - 10000000) * std::pow(10.0, (double)(int)(rng() % 30) - 15);
        char text[400];
        snprintf(text, sizeof text, formats[rng() % 6], x);
        const double want = strtod(text, nullptr);
        double got64 = 0, got32 = 0;
        if (replay_fast_value(f64, text, strlen(text), &got64)) {
            fast++;
            ASSERT_EQ(memcmp(&got64, &want, sizeof want), 0) << text;
        }
        if (replay_fast_value(f32, text, strlen(text), &got32)) {
            const double narrowed = (double)(float)want;
            ASSERT_EQ(memcmp(&got32, &narrowed, sizeof narrowed), 0) << text;
        }
    }
    EXPECT_GT(fast, 100000);  // the short cut does take the common texts
}
