// Recording: CSV writing and reading rules, the cache through a real acquisition with the fake
// driver, the RAM-to-file boundary, fixed columns, the record command's save question, and what
// happens to the data when the disk refuses it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "acquisition/acquisition.h"
#include "core/app.h"
#include "core/platform.h"
#include "fake_driver.h"
#include "platform_recorder.h"
#include "recording/recording.h"
#include "recording/recording_csv.h"
#include "recording/replay.h"
#include "test_recording_util.h"
#include "vartable/leaf_table.h"

using namespace rectest;

namespace {

// This instance's cache file name, and whether a path ends in it.
std::string own_cache_name() { return "recording." + std::to_string(platform()->process_id()) + ".csv"; }
bool is_own_cache(const std::string& p) {
    const std::string name = own_cache_name();
    return p.size() >= name.size() && p.substr(p.size() - name.size()) == name;
}

}  // namespace

namespace {

Sample sample_of(LeafId id, int64_t ts, const char* text) {
    Sample s = {};
    s.timestamp_us = ts;
    s.leaf_id = id;
    s.size = 4;
    text_copy(s.text, sizeof s.text, text);
    s.value = atof(text);
    return s;
}

// Appends `count` samples of one leaf with timestamps first, first + 1, ... and text = timestamp.
void append_run(LeafId id, int64_t first, int32_t count) {
    std::vector<Sample> batch;
    for (int32_t i = 0; i < count; i++) {
        batch.push_back(sample_of(id, first + i, std::to_string(first + i).c_str()));
        if (batch.size() == 64 || i == count - 1) {
            recording_append(batch.data(), (int32_t)batch.size());
            batch.clear();
        }
    }
}

std::string g_save_path;
int choose_path(char* out, size_t capacity) {
    if (g_save_path.empty()) return 0;
    text_copy(out, capacity, g_save_path.c_str());
    return 1;
}

class Recording : public ::testing::Test {
protected:
    void SetUp() override {
        leaf_table_reset();
        samples_reset();
        g_acquisition_hooks = AcquisitionHooks{};
        recording_install_hooks();
        g_recording_ui_hooks = RecordingUiHooks{};
        g_recording_ui_hooks.choose_save_path = choose_path;
        g_save_path.clear();
        rec.env["LOCALAPPDATA"] = scratch.path();
        leaf_add("a", 0x20000000, 4, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
        leaf_add("b", 0x20000010, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
        leaf_add("c", 0x20000020, 4, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    }
    void TearDown() override {
        acquisition_stop();
        fake_modules_unload();
        recording_shutdown();
        g_acquisition_hooks = AcquisitionHooks{};
        g_recording_ui_hooks = RecordingUiHooks{};
        leaf_table_reset();
        samples_reset();
    }
    std::string cache_path() {
        char p[RECORDING_PATH_CAPACITY];
        recording_cache_path(p, sizeof p);
        return p;
    }
    std::string expected_cache_path() {
        char sep = platform_path_separator();
        return scratch.path() + sep + "Kestrelix" + sep + "cache" + sep + own_cache_name();
    }
    PlatformRecorder rec;
    LogCapture log;
    ScratchDir scratch;
};

}  // namespace

// ---- CSV rules ------------------------------------------------------------------------------------

TEST(RecordingCsv, FieldsQuoteOnlyWhatNeedsItAndSplitBack) {
    const char* texts[] = {"plain", "a,b", "say \"hi\"", "line\nfeed", "cr\r", "", "\"", "日本,語"};
    std::string line;
    for (const char* t : texts) {
        char buf[64];
        size_t used = 0;
        ASSERT_TRUE(csv_append_field(buf, sizeof buf, &used, t, strlen(t)));
        if (!line.empty() || t != texts[0]) line += ',';
        line.append(buf, used);
    }
    EXPECT_EQ(line.substr(0, 30), "plain,\"a,b\",\"say \"\"hi\"\"\",\"line");
    std::vector<std::string> back = fields_of(line);
    ASSERT_EQ(back.size(), 8u);
    for (size_t i = 0; i < 8; i++) EXPECT_EQ(back[i], texts[i]) << i;
    // A field too long for the buffer is refused whole.
    char small[4];
    size_t used = 1;
    EXPECT_FALSE(csv_append_field(small, sizeof small, &used, "a,b", 3));
    EXPECT_EQ(used, 1u);
    // Text after a closing quote stays with the field; the line's field cap holds.
    EXPECT_EQ(fields_of("\"ab\"cd,e")[0], "abcd");
    EXPECT_EQ(fields_of("")[0], "");
    EXPECT_EQ(fields_of("x,").size(), 2u);
    EXPECT_EQ(fields_of("\"q\"\"x\"tail,plain,\"\",,end"),
              (std::vector<std::string>{"q\"xtail", "plain", "", "", "end"}));
    char capped[] = "a,bb,c";
    CsvField two[2];
    ASSERT_EQ(csv_split(capped, strlen(capped), two, 2), 2);
    EXPECT_STREQ(two[1].text, "bb");
    EXPECT_EQ(two[1].length, 2u);
}

TEST(RecordingCsv, TimestampTexts) {
    EXPECT_EQ(csv_parse_i64("1733659200123456"), 1733659200123456LL);
    EXPECT_EQ(csv_parse_i64("  -42xyz"), -42);
    EXPECT_EQ(csv_parse_i64("abc"), 0);
    EXPECT_EQ(csv_parse_i64(""), 0);
    EXPECT_EQ(csv_parse_i64("99999999999999999999"), INT64_MAX);
    EXPECT_EQ(csv_parse_i64("-9223372036854775808"), INT64_MIN);
    // Right at the limits, one past them, and past them by a last digit only.
    EXPECT_EQ(csv_parse_i64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(csv_parse_i64("9223372036854775806,1"), INT64_MAX - 1);
    EXPECT_EQ(csv_parse_i64("9223372036854775808"), INT64_MAX);
    EXPECT_EQ(csv_parse_i64("-9223372036854775807"), INT64_MIN + 1);
    EXPECT_EQ(csv_parse_i64("-9223372036854775809"), INT64_MIN);
    EXPECT_EQ(csv_parse_i64("922337203685477580"), 922337203685477580LL);
    EXPECT_EQ(csv_parse_i64("+0000000000000000000000012"), 12);
    // The cached local-time text is exactly format_timestamp_us's, across second boundaries.
    CsvTimeCache cache;
    csv_time_cache_reset(&cache);
    std::mt19937_64 rng(3);
    int64_t t = 1733659199999990;
    for (int i = 0; i < 2000; i++) {
        t += (int64_t)(rng() % 3000);
        if (i % 500 == 0) t = (int64_t)(rng() % 4000000000000000ULL);
        char a[40], b[40];
        csv_time_text(&cache, t, a, sizeof a);
        format_timestamp_us(t, b, sizeof b);
        ASSERT_STREQ(a, b) << t;
    }
    char a[40], b[40];
    csv_time_text(&cache, -5, a, sizeof a);
    format_timestamp_us(-5, b, sizeof b);
    EXPECT_STREQ(a, b);
}

TEST(RecordingCsv, ReaderLinesBomCrLfAndOverlongLines) {
    ScratchDir dir;
    std::string path = dir.path("odd.csv");
    std::string overlong(CSV_LINE_CAPACITY + 100, 'x');
    write_file(path, "\xEF\xBB\xBFh1,h2\r\n\nfirst\r\r\n" + overlong + "\nafter\nlast-no-lf");
    FILE* f = platform()->open_file(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    CsvLineReader r;
    ASSERT_TRUE(csv_reader_open(&r, f));
    std::vector<std::string> got;
    char* line;
    size_t n;
    while (csv_read_line(&r, &line, &n)) got.emplace_back(line, n);
    EXPECT_EQ(got, (std::vector<std::string>{"h1,h2", "", "first", "after", "last-no-lf"}));
    EXPECT_EQ(r.overlong_lines, 1);
    ASSERT_TRUE(csv_reader_rewind(&r));
    ASSERT_TRUE(csv_read_line(&r, &line, &n));
    EXPECT_STREQ(line, "h1,h2");  // the mark is skipped again after a rewind
    csv_reader_close(&r);
}

// The buffer starts small and grows for wide lines: every line up to the longest the reader takes
// comes back whole, with the file offset a later seek needs, and short lines after it still read.
TEST(RecordingCsv, ReaderGrowsForWideLinesAndKeepsTheirOffsets) {
    ScratchDir dir;
    std::string path = dir.path("wide.csv");
    const std::vector<std::string> lines = {
        "head", std::string(CSV_READ_START_CAPACITY - 2, 'a'), std::string(CSV_READ_START_CAPACITY + 7, 'b'),
        "short", std::string(1 << 20, 'c'), std::string(CSV_LINE_CAPACITY - 2, 'd'), "tail"};
    std::string text;
    std::vector<int64_t> offsets;
    for (const std::string& l : lines) {
        offsets.push_back((int64_t)text.size());
        text += l + "\n";
    }
    write_file(path, text + std::string(CSV_LINE_CAPACITY + 1, 'e') + "\nend");
    FILE* f = platform()->open_file(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    CsvLineReader r;
    ASSERT_TRUE(csv_reader_open(&r, f));
    char* line;
    size_t n;
    for (size_t i = 0; i < lines.size(); i++) {
        ASSERT_TRUE(csv_read_line(&r, &line, &n)) << i;
        EXPECT_EQ(n, lines[i].size()) << i;
        EXPECT_EQ(std::string(line, n), lines[i]) << i;
        EXPECT_EQ(csv_line_offset(&r, line), offsets[i]) << i;
    }
    ASSERT_TRUE(csv_read_line(&r, &line, &n));
    EXPECT_STREQ(line, "end");  // the one line past the capacity is skipped whole
    EXPECT_EQ(r.overlong_lines, 1);
    EXPECT_FALSE(csv_read_line(&r, &line, &n));
    ASSERT_TRUE(csv_reader_seek(&r, offsets[4]));
    ASSERT_TRUE(csv_read_line(&r, &line, &n));
    EXPECT_EQ(n, lines[4].size());
    csv_reader_close(&r);
}

// ---- The cache through a real acquisition -----------------------------------------------------------

TEST_F(Recording, AcquisitionRecordsEveryPublishedSampleExactly) {
    fake_modules_load(true, false);
    fake_target()->read_delay_us = 300;
    fake_target()->set_word(0x20000000, 4000000000u);
    fake_target()->set_word(0x20000010, (uint32_t)-123456);
    rec.clock_advances = true;
    leaf_set_watched(0, 1);
    leaf_set_watched(1, 1);
    recording_command();  // on while idle: nothing is opened yet
    EXPECT_TRUE(recording_switch_on());
    EXPECT_FALSE(recording_active());
    EXPECT_FALSE(exists(expected_cache_path()));
    EXPECT_TRUE(log.has("INFO 录制已开启（可先于采集；数据写入临时缓存）"));

    ASSERT_EQ(acquisition_start(), 0);
    EXPECT_TRUE(recording_active());
    EXPECT_EQ(cache_path(), expected_cache_path());
    for (int i = 0; i < 2500 && recording_recorded_count() < 600; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    acquisition_stop();  // the thread's end finishes the cache
    ASSERT_GE(recording_recorded_count(), 600);
    EXPECT_FALSE(recording_active());
    EXPECT_EQ(recording_has_data(), 1);

    // Every published sample, in order, is one line with its value in its own column.
    std::vector<Sample> published(HISTORY_CAPACITY);
    int32_t n = history_read(published.data(), HISTORY_CAPACITY);
    std::vector<std::string> lines = file_lines(expected_cache_path());
    ASSERT_EQ((int64_t)lines.size(), recording_recorded_count() + 1);
    ASSERT_EQ((int32_t)lines.size() - 1, n);
    EXPECT_EQ(lines[0], "\xEF\xBB\xBFtimestamp_us,time_iso,a,b");
    for (int32_t i = 0; i < n; i++) {
        std::vector<std::string> f = fields_of(lines[i + 1]);
        ASSERT_EQ(f.size(), 4u) << lines[i + 1];
        EXPECT_EQ(f[0], std::to_string(published[i].timestamp_us));
        char iso[40];
        format_timestamp_us(published[i].timestamp_us, iso, sizeof iso);
        EXPECT_EQ(f[1], iso);
        int column = published[i].leaf_id == 0 ? 2 : 3;
        EXPECT_EQ(f[column], published[i].text);
        EXPECT_EQ(f[5 - column], "");
    }
    EXPECT_EQ(fields_of(lines[1])[published[0].leaf_id == 0 ? 2 : 3], published[0].leaf_id == 0 ? "4000000000" : "-123456");

    // Switching off: Yes, a path; the copy is byte for byte the cache, which is then deleted.
    std::string saved = scratch.path("保存.csv");
    g_save_path = saved;
    rec.box_answers = {PLATFORM_ID_YES};
    std::string cache_bytes = read_file(expected_cache_path());
    recording_command();
    EXPECT_FALSE(recording_switch_on());
    ASSERT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(rec.boxes[0].text, "是否保存录制的 log 数据？");
    EXPECT_EQ(rec.boxes[0].flags, (unsigned)(PLATFORM_MB_YESNO | PLATFORM_MB_ICONQUESTION));
    EXPECT_EQ(read_file(saved), cache_bytes);
    EXPECT_FALSE(exists(expected_cache_path()));
    EXPECT_FALSE(exists(saved + ".kxpart"));
    EXPECT_EQ(cache_path(), "");
}

TEST_F(Recording, SwitchingOnDuringAcquisitionRestartsItWithTheCache) {
    fake_modules_load(true, false);
    fake_target()->read_delay_us = 300;
    leaf_set_watched(2, 1);
    ASSERT_EQ(acquisition_start(), 0);
    EXPECT_FALSE(recording_active());
    recording_command();
    EXPECT_EQ(acquisition_state(), ACQ_RUNNING);
    EXPECT_TRUE(recording_active());
    for (int i = 0; i < 2500 && recording_recorded_count() < 50; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    rec.box_answers = {PLATFORM_ID_NO};
    recording_command();  // stops, asks, deletes, starts again without recording
    EXPECT_EQ(acquisition_state(), ACQ_RUNNING);
    EXPECT_FALSE(recording_active());
    EXPECT_TRUE(log.has("INFO 用户放弃保存录制数据"));
    EXPECT_FALSE(exists(expected_cache_path()));
}

// ---- RAM, file and columns ------------------------------------------------------------------------

TEST_F(Recording, RamHoldsExactly87381SamplesThenTheFileTakesOver) {
    leaf_set_watched(0, 1);
    ASSERT_EQ(recording_open(), 0);
    append_run(0, 1, RECORDING_RAM_SAMPLES);
    EXPECT_EQ(recording_ram_count(), RECORDING_RAM_SAMPLES);
    EXPECT_FALSE(exists(expected_cache_path()));
    append_run(0, RECORDING_RAM_SAMPLES + 1, 1);
    EXPECT_EQ(recording_ram_count(), 0);
    std::vector<std::string> lines = file_lines(expected_cache_path());  // flushed at the spill
    ASSERT_EQ(lines.size(), (size_t)RECORDING_RAM_SAMPLES + 2);
    append_run(0, RECORDING_RAM_SAMPLES + 2, 10);
    recording_finish();
    EXPECT_TRUE(log.has("INFO 采集落盘完成: " + expected_cache_path() + "（87392 样本）"));
    lines = file_lines(expected_cache_path());
    ASSERT_EQ(lines.size(), (size_t)RECORDING_RAM_SAMPLES + 12);
    for (size_t i = 1; i < lines.size(); i++) {
        std::vector<std::string> f = fields_of(lines[i]);
        ASSERT_EQ(f.size(), 3u);
        ASSERT_EQ(f[0], std::to_string(i)) << "no line lost or written twice";
        ASSERT_EQ(f[2], std::to_string(i));
    }
}

TEST_F(Recording, ColumnsStayThoseOfTheHeaderWhateverIsTickedLater) {
    leaf_set_watched(0, 1);
    leaf_set_watched(1, 1);
    leaf_set_watched(2, 1);
    ASSERT_EQ(recording_open(), 0);
    Sample s[] = {sample_of(0, 10, "1"), sample_of(1, 11, "2"), sample_of(2, 12, "3")};
    recording_append(s, 3);
    leaf_set_watched(1, 0);  // b unticked while its sample waits in RAM: it keeps its column
    recording_append(&s[2], 1);
    recording_finish();
    std::vector<std::string> lines = file_lines(expected_cache_path());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "\xEF\xBB\xBFtimestamp_us,time_iso,a,b,c");
    for (size_t i = 1; i < lines.size(); i++) EXPECT_EQ(fields_of(lines[i]).size(), 5u) << lines[i];
    EXPECT_EQ(fields_of(lines[4])[4], "3");

    // After the header is written, a newly ticked leaf has no column: counted and reported.
    leaf_set_watched(1, 0);
    leaf_set_watched(2, 0);
    ASSERT_EQ(recording_open(), 0);
    append_run(0, 1, RECORDING_RAM_SAMPLES + 1);
    leaf_set_watched(2, 1);
    append_run(2, 1, 5);
    append_run(0, 1, 1);
    EXPECT_EQ(recording_unwritten_count(), 5);
    recording_finish();
    EXPECT_EQ(log.count("WARN 录制开始后新勾选的变量不在表头中，5 个样本未写入"), 1);
    lines = file_lines(expected_cache_path());
    EXPECT_EQ(lines.size(), (size_t)RECORDING_RAM_SAMPLES + 3);
    EXPECT_EQ(lines[0], "\xEF\xBB\xBFtimestamp_us,time_iso,a");
    EXPECT_EQ(lines.back().substr(0, 2), "1,");
}

TEST_F(Recording, NamesWithCommasAndQuotesAreQuotedInTheHeader) {
    leaf_table_reset();
    leaf_add("m.a,b", 0x20000000, 4, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("say \"x\"", 0x20000004, 4, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_set_watched(0, 1);
    leaf_set_watched(1, 1);
    ASSERT_EQ(recording_open(), 0);
    append_run(1, 5, 100);
    recording_finish();
    std::vector<std::string> lines = file_lines(expected_cache_path());
    ASSERT_EQ(lines.size(), 101u);
    EXPECT_EQ(lines[0], "\xEF\xBB\xBFtimestamp_us,time_iso,\"m.a,b\",\"say \"\"x\"\"\"");
    EXPECT_EQ(lines[1].substr(lines[1].size() - 3), ",,5");
}

// ---- The save question ----------------------------------------------------------------------------

TEST_F(Recording, SaveQuestionAnswersAndWhatStays) {
    leaf_set_watched(0, 1);
    // No data at all: an information box, and the cache goes.
    recording_command();
    ASSERT_EQ(recording_open(), 0);  // as the acquisition start would
    recording_command();
    ASSERT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(rec.boxes[0].text, "没有录制到数据。");
    EXPECT_EQ(rec.boxes[0].flags, (unsigned)(PLATFORM_MB_OK | PLATFORM_MB_ICONINFORMATION));
    EXPECT_FALSE(exists(expected_cache_path()));

    // Yes, then the dialog is cancelled: the cache is deleted all the same.
    recording_command();
    ASSERT_EQ(recording_open(), 0);
    append_run(0, 1, 100);
    rec.box_answers = {PLATFORM_ID_YES};
    recording_command();
    EXPECT_FALSE(exists(expected_cache_path()));
    EXPECT_TRUE(log.has("INFO 录制缓存已清除: " + expected_cache_path()));

    // Saving over an existing file replaces it; a folder that does not exist fails and leaves
    // the message box.
    std::string target = scratch.path("old.csv");
    write_file(target, "old contents");
    recording_command();
    ASSERT_EQ(recording_open(), 0);
    append_run(0, 1, 100);
    recording_finish();
    EXPECT_EQ(recording_save_as(scratch.path("missing-folder/x.csv").c_str()), -1);
    EXPECT_EQ(recording_save_as(""), -1);
    EXPECT_EQ(recording_save_as(cache_path().c_str()), -1);  // never onto the cache itself
    EXPECT_EQ(recording_save_as(target.c_str()), 0);
    EXPECT_EQ(file_lines(target).size(), 101u);
    EXPECT_TRUE(log.has("INFO 录制已保存: " + target + "（100 样本）"));
    g_save_path = scratch.path("missing-folder/y.csv");
    rec.box_answers = {PLATFORM_ID_YES};
    rec.boxes.clear();
    recording_command();
    ASSERT_EQ(rec.boxes.size(), 2u);
    EXPECT_EQ(rec.boxes[1].text, "保存失败");
    EXPECT_EQ(rec.boxes[1].flags, (unsigned)(PLATFORM_MB_OK | PLATFORM_MB_ICONERROR));
    EXPECT_EQ(log.count("ERROR 保存录制失败: "), 3);
    EXPECT_FALSE(exists(expected_cache_path()));
    EXPECT_EQ(recording_has_data(), 0);
}

// ---- When the disk refuses ------------------------------------------------------------------------

namespace {

bool g_refuse_cache_file;
FILE* refusing_open(const char* path, const char* mode) {
    std::string p = path;
    if (g_refuse_cache_file && is_own_cache(p) && mode[0] == 'w') return nullptr;
    return platform_default()->open_file(path, mode);
}

}  // namespace

TEST_F(Recording, SamplesInRamSurviveACacheFileThatCannotBeCreated) {
    Platform refusing = *platform();
    refusing.open_file = refusing_open;
    const Platform* previous = platform_install(&refusing);
    g_refuse_cache_file = true;
    leaf_set_watched(0, 1);
    ASSERT_EQ(recording_open(), 0);
    append_run(0, 1, RECORDING_RAM_SAMPLES + 5);  // RAM full, the file refuses: the cache stops
    EXPECT_FALSE(recording_active());
    EXPECT_EQ(log.count("ERROR 录制缓存文件打开失败: "), 1);
    EXPECT_EQ(recording_recorded_count(), RECORDING_RAM_SAMPLES);
    recording_finish();  // still refused: RAM is kept for the save
    EXPECT_EQ(log.count("ERROR 录制缓存文件打开失败: "), 2);
    EXPECT_EQ(recording_has_data(), 1);
    std::string target = scratch.path("rescued.csv");
    EXPECT_EQ(recording_save_as(target.c_str()), 0);
    std::vector<std::string> lines = file_lines(target);
    ASSERT_EQ(lines.size(), (size_t)RECORDING_RAM_SAMPLES + 1);
    EXPECT_EQ(lines[0], "\xEF\xBB\xBFtimestamp_us,time_iso,a");
    EXPECT_EQ(fields_of(lines.back())[2], std::to_string(RECORDING_RAM_SAMPLES));
    g_refuse_cache_file = false;
    platform_install(previous);
}

#if defined(__GLIBC__)
namespace {

// A stream that takes `budget` bytes into the real file and then fails like a full disk, having
// written the part of the last chunk that still fitted.
struct FullDisk {
    FILE* real;
    long budget;
};
ssize_t full_disk_write(void* cookie, const char* data, size_t n) {
    FullDisk* d = (FullDisk*)cookie;
    size_t take = n < (size_t)d->budget ? n : (size_t)d->budget;
    fwrite(data, 1, take, d->real);
    d->budget -= (long)take;
    return take < n ? -1 : (ssize_t)n;
}
int full_disk_close(void* cookie) {
    FullDisk* d = (FullDisk*)cookie;
    int r = fclose(d->real);
    delete d;
    return r;
}
long g_disk_budget;
FILE* full_disk_open(const char* path, const char* mode) {
    std::string p = path;
    if (is_own_cache(p) && mode[0] == 'w') {
        FullDisk* d = new FullDisk{platform_default()->open_file(path, mode), g_disk_budget};
        cookie_io_functions_t io = {nullptr, full_disk_write, nullptr, full_disk_close};
        return fopencookie(d, "w", io);
    }
    return platform_default()->open_file(path, mode);
}

}  // namespace

TEST_F(Recording, DiskFullStopsTheCacheAndLeavesOnlyWholeLines) {
    Platform full = *platform();
    full.open_file = full_disk_open;
    const Platform* previous = platform_install(&full);
    leaf_set_watched(0, 1);
    // The disk fills during the RAM spill: RAM keeps everything and the finish writes it again.
    g_disk_budget = 100000;
    ASSERT_EQ(recording_open(), 0);
    append_run(0, 1700000000000000LL, RECORDING_RAM_SAMPLES + 1);
    EXPECT_FALSE(recording_active());
    EXPECT_EQ(recording_ram_count(), RECORDING_RAM_SAMPLES);
    EXPECT_EQ(log.count("ERROR 录制缓存写盘失败，停止写入"), 1);
    g_disk_budget = 1L << 30;
    recording_finish();
    EXPECT_EQ(file_lines(expected_cache_path()).size(), (size_t)RECORDING_RAM_SAMPLES + 1);

    // The disk fills after the spill: the file ends with a whole line and every line reads.
    g_disk_budget = 6000000;  // the spill takes about 4.4 MB
    ASSERT_EQ(recording_open(), 0);
    for (int i = 0; i < 100 && recording_active(); i++) append_run(0, 1700000000000000LL + i * 10000, 10000);
    EXPECT_FALSE(recording_active());
    EXPECT_EQ(log.count("ERROR 录制缓存写盘失败，停止写入"), 2);
    recording_finish();
    std::string bytes = read_file(expected_cache_path());
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.back(), '\n');
    EXPECT_LE(bytes.size(), 6000000u);
    std::vector<std::string> lines = file_lines(expected_cache_path());
    EXPECT_GT(lines.size(), (size_t)RECORDING_RAM_SAMPLES);
    for (size_t i = 1; i < lines.size(); i++) {
        std::vector<std::string> f = fields_of(lines[i]);
        ASSERT_EQ(f.size(), 3u) << i;
        ASSERT_EQ(f[0], f[2]) << i;
    }
    platform_install(previous);
}
#endif

TEST_F(Recording, CacheLeftByACrashIsKeptAndTheExecutableFolderServesWithoutLocalAppData) {
    std::string folder = scratch.path() + platform_path_separator() + "Kestrelix";
    ASSERT_EQ(platform()->make_dir(folder.c_str()), 0);
    std::string cache_folder = folder + platform_path_separator() + "cache";
    ASSERT_EQ(platform()->make_dir(cache_folder.c_str()), 0);
    // Caches of an older version, of a process that is gone and of one that still runs (another
    // instance, recording right now): only the first two are leftovers.
    const char sep0 = platform_path_separator();
    Platform processes = *platform();
    processes.process_alive = [](uint32_t pid) { return pid == 424242u; };
    const Platform* before = platform_install(&processes);
    const std::string gone = "recording.4294967.csv";
    const std::string running = "recording.424242.csv";
    write_file(cache_folder + sep0 + "recording.csv", "\xEF\xBB\xBFtimestamp_us,time_iso,a\n1,x,5\n");
    write_file(cache_folder + sep0 + gone, "\xEF\xBB\xBFtimestamp_us,time_iso,a\n1,x,5\n2,x,6\n");
    write_file(cache_folder + sep0 + running, "\xEF\xBB\xBFtimestamp_us,time_iso,a\n7,x,8\n");
    ASSERT_EQ(recording_open(), 0);
    EXPECT_EQ(cache_path(), expected_cache_path());
    std::string kept = cache_folder + sep0 + "recording.recovered.csv";
    EXPECT_TRUE(log.has("WARN 上次运行留下的录制缓存已保留为: " + kept));
    EXPECT_EQ(file_lines(kept).size(), 2u);
    EXPECT_EQ(file_lines(cache_folder + sep0 + "recording.recovered.4294967.csv").size(), 3u);
    EXPECT_FALSE(exists(cache_folder + sep0 + gone));
    EXPECT_EQ(file_lines(cache_folder + sep0 + running).size(), 2u);  // untouched
    recording_clear();
    EXPECT_EQ(file_lines(cache_folder + sep0 + running).size(), 2u);
    platform_install(before);

    rec.env.erase("LOCALAPPDATA");
    rec.exe_dir = scratch.path("exe");
    ASSERT_EQ(platform()->make_dir(rec.exe_dir.c_str()), 0);
    ASSERT_EQ(recording_open(), 0);
    char sep = platform_path_separator();
    EXPECT_EQ(cache_path(), rec.exe_dir + sep + "Kestrelix" + sep + "cache" + sep + own_cache_name());
}

TEST_F(Recording, ClosingTheProgramOffersToSaveInsteadOfDeleting) {
    recording_offer_save_before_exit();  // nothing recorded: no question
    EXPECT_TRUE(rec.boxes.empty());
    leaf_set_watched(0, 1);
    recording_command();
    ASSERT_EQ(recording_open(), 0);
    append_run(0, 1, 20);
    std::string target = scratch.path("on-exit.csv");
    g_save_path = target;
    rec.box_answers = {PLATFORM_ID_YES};
    recording_offer_save_before_exit();
    ASSERT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(rec.boxes[0].text, "是否保存录制的 log 数据？");
    EXPECT_EQ(file_lines(target).size(), 21u);
    EXPECT_FALSE(recording_switch_on());
    EXPECT_FALSE(exists(expected_cache_path()));
}

TEST_F(Recording, StartingAgainKeepsTheUnaskedPreviousRecording) {
    leaf_set_watched(0, 1);
    ASSERT_EQ(recording_open(), 0);
    append_run(0, 1, 10);
    recording_finish();
    g_acquisition_hooks.recording_clear();  // the next acquisition start, switch still on
    char sep = platform_path_separator();
    std::string kept = scratch.path() + sep + "Kestrelix" + sep + "cache" + sep + "recording.previous." +
                       std::to_string(platform()->process_id()) + ".csv";
    EXPECT_TRUE(log.has("WARN 上一次录制未保存，已保留为: " + kept));
    EXPECT_EQ(file_lines(kept).size(), 11u);
    EXPECT_FALSE(exists(expected_cache_path()));
    // Once the question was answered nothing is kept: the record command clears for good.
    ASSERT_EQ(recording_open(), 0);
    recording_finish();  // nothing recorded
    g_acquisition_hooks.recording_clear();
    EXPECT_EQ(log.count("WARN 上一次录制未保存"), 1);
}

TEST_F(Recording, TwoInstancesKeepTheirUnaskedPreviousRecordingsApart) {
    // Two instances in one cache folder, one after the other as process ids 1001 and 1002 (both
    // alive): each one's unasked recording is kept under its own name, and neither replaces the
    // other's, nor takes it for a leftover, nor touches an older version's single kept file.
    static uint32_t pid;
    Platform instance = *platform();
    instance.process_id = [] { return pid; };
    instance.process_alive = [](uint32_t p) { return p == 1001u || p == 1002u; };
    const Platform* before = platform_install(&instance);
    const char sep = platform_path_separator();
    const std::string folder = scratch.path() + sep + "Kestrelix" + sep + "cache" + sep;
    leaf_set_watched(0, 1);
    ASSERT_EQ(recording_open(), 0);  // makes the folder
    recording_clear();
    write_file(folder + "recording.previous.csv", "\xEF\xBB\xBFtimestamp_us,time_iso,a\n1,x,5\n");
    const int lines[2] = {10, 4};
    for (int i = 0; i < 2; i++) {
        pid = 1001u + (uint32_t)i;
        ASSERT_EQ(recording_open(), 0);
        append_run(0, 1 + 100 * i, lines[i]);
        recording_finish();
        g_acquisition_hooks.recording_clear();  // this instance starts again, switch still on
        const std::string kept = folder + "recording.previous." + std::to_string(pid) + ".csv";
        EXPECT_TRUE(log.has("WARN 上一次录制未保存，已保留为: " + kept));
    }
    ASSERT_EQ(recording_open(), 0);  // a third start of 1002 sweeps leftovers: there are none
    recording_clear();
    const std::vector<std::string> first = file_lines(folder + "recording.previous.1001.csv");
    ASSERT_EQ(first.size(), 11u);
    EXPECT_EQ(fields_of(first[1])[0], "1");
    const std::vector<std::string> second = file_lines(folder + "recording.previous.1002.csv");
    ASSERT_EQ(second.size(), 5u);
    EXPECT_EQ(fields_of(second[1])[0], "101");
    EXPECT_EQ(file_lines(folder + "recording.previous.csv").size(), 2u);
    EXPECT_EQ(log.count("WARN 上次运行留下的录制缓存已保留为"), 0);
    platform_install(before);
}

TEST_F(Recording, SamplesPushedFromAnotherThreadWhileTheCacheIsFinishedAndCleared) {
    leaf_set_watched(0, 1);
    recording_command();  // switch on while idle
    std::atomic<bool> stop{false};
    std::thread module([&stop] {
        int64_t t = 1;
        while (!stop.load()) {
            Sample batch[16];
            for (Sample& s : batch) s = sample_of(0, t, std::to_string(t).c_str()), t++;
            samples_publish(batch, 16);
        }
    });
    for (int round = 0; round < 20; round++) {
        ASSERT_EQ(recording_open(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        recording_finish();
        if (recording_has_data()) {
            std::vector<std::string> lines = file_lines(expected_cache_path());
            ASSERT_EQ((int64_t)lines.size(), recording_recorded_count() + 1);
            for (size_t i = 1; i < lines.size(); i++) {
                std::vector<std::string> f = fields_of(lines[i]);
                ASSERT_EQ(f.size(), 3u);
                ASSERT_EQ(f[0], f[2]);
            }
        }
        recording_clear();
    }
    stop = true;
    module.join();
}
