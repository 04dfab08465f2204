// The log: line format, byte-order mark, truncation, the file fallback chain, and the panel sink.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../data/scratch_dir.h"
#include "core/log.h"
#include "core/message_panel.h"
#include "platform_recorder.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// A fresh directory per test, and the log closed around it.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = scratch_dir_create("kxlog");
        log_reset();
    }
    void TearDown() override {
        log_reset();
        fs::remove_all(dir);
    }
    void use_override(const fs::path& p) {
        char16_t wide[260];
        utf8_to_utf16(p.string().c_str(), wide, 260);
        log_set_override_path(wide);
    }
    fs::path dir;
    PlatformRecorder rec;
};

std::vector<std::pair<int, std::u16string>> g_sunk;
void record_sink(LogLevel level, const char16_t* text) { g_sunk.push_back({level, text}); }

}  // namespace

TEST_F(LogTest, LineFormatLevelNamesAndSingleBom) {
    use_override(dir / "a.log");
    log_open_file();
    ASSERT_STREQ(log_file_path(), (dir / "a.log").string().c_str());
    log_printf(LOG_WARN, "hello %d", 42);
    log_printf(7, "level seven");
    log_printf(LOG_ERROR, "e");
    log_printf(LOG_DEBUG, "d");
    log_close_file();
    log_open_file();  // reopening a non-empty file writes no second byte-order mark
    log_printf(LOG_INFO, "again");
    std::string text = read_file(dir / "a.log");
    ASSERT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(text.find("\xEF\xBB\xBF", 3), std::string::npos);
    std::istringstream lines(text.substr(3));
    std::string line;
    std::vector<std::string> all;
    while (std::getline(lines, line)) all.push_back(line);
    ASSERT_EQ(all.size(), 5u);
    // "YYYY-MM-DD hh:mm:ss.uuuuuu [LEVEL] message"
    EXPECT_EQ(all[0][4], '-');
    EXPECT_EQ(all[0][19], '.');
    EXPECT_EQ(all[0].substr(26), " [WARN] hello 42");
    EXPECT_EQ(all[1].substr(26), " [INFO] level seven");
    EXPECT_EQ(all[2].substr(26), " [ERROR] e");
    EXPECT_EQ(all[3].substr(26), " [DEBUG] d");
    EXPECT_EQ(all[4].substr(26), " [INFO] again");
    EXPECT_STREQ(log_level_panel_name(7), "信息");
    EXPECT_STREQ(log_level_panel_name(1), "警告");
}

TEST_F(LogTest, TruncatesMessageAndLine) {
    use_override(dir / "t.log");
    log_open_file();
    log_set_sink(record_sink);
    g_sunk.clear();
    std::string big(5000, 'x');
    log_printf(LOG_INFO, "%s", big.c_str());
    std::string text = read_file(dir / "t.log");
    std::string line = text.substr(3, text.find('\n') - 3);
    // 26-character timestamp, " [INFO] ", then the message cut at 1023 bytes.
    EXPECT_EQ(line.size(), 26u + 8u + 1023u);
    ASSERT_EQ(g_sunk.size(), 1u);
    EXPECT_EQ(g_sunk[0].second.size(), 1023u);
    // The debugger output gets the message, then a separate newline.
    ASSERT_GE(rec.debug_output.size(), 2u);
    EXPECT_EQ(rec.debug_output.back(), u"\n");
}

// Each receiver gets the line whatever the others are: a platform without debugger output still
// fills the file and the sink, and a line nobody receives is dropped quietly.
TEST_F(LogTest, EachReceiverGetsTheLineWithoutTheOthers) {
    Platform quiet = *platform();
    quiet.debug_output_utf16 = nullptr;
    const Platform* recorder = platform();
    platform_install(&quiet);
    g_sunk.clear();
    log_printf(LOG_WARN, "nobody %s", "listens");  // no file, no sink, no debugger: nothing, no crash
    log_set_sink(record_sink);
    log_printf(LOG_ERROR, "sink only %d", 1);
    ASSERT_EQ(g_sunk.size(), 1u);
    EXPECT_EQ(g_sunk[0], std::make_pair((int)LOG_ERROR, std::u16string(u"sink only 1")));
    log_set_sink(nullptr);
    use_override(dir / "q.log");
    log_open_file();
    log_printf(LOG_INFO, "file only %s", "还在");
    platform_install(recorder);
    std::string text = read_file(dir / "q.log");
    EXPECT_NE(text.find(" [INFO] file only 还在\n"), std::string::npos);
    EXPECT_EQ(text.find("nobody"), std::string::npos);
    EXPECT_EQ(g_sunk.size(), 1u);
    EXPECT_TRUE(rec.debug_output.empty());  // the recorder was not installed meanwhile
    // With the recorder back, the debugger output gets lines again, file or not.
    log_close_file();
    log_printf(LOG_INFO, "debugger");
    ASSERT_EQ(rec.debug_output.size(), 2u);
    EXPECT_EQ(rec.debug_output[0], u"debugger");
}

TEST_F(LogTest, RawWritesAndFileLines) {
    log_write_raw("before open");  // no file: nothing, no crash
    use_override(dir / "r.log");
    log_open_file();
    log_write_raw("raw line");
    log_write_raw(nullptr);
    log_raw_printf("crash %s %d", "at", 7);
    std::string text = read_file(dir / "r.log");
    EXPECT_EQ(text, "\xEF\xBB\xBFraw line\ncrash at 7\n");
    FILE* f = fopen((dir / "lines.txt").string().c_str(), "wb");
    file_printf_line(f, "[%s]", "Tab");
    file_printf_line(f, "%s", std::string(2000, 'y').c_str());
    fclose(f);
    std::string lines = read_file(dir / "lines.txt");
    EXPECT_EQ(lines.substr(0, 6), "[Tab]\n");
    EXPECT_EQ(lines.size(), 6u + 1023u + 1u);
}

TEST_F(LogTest, FallbackChain) {
    // Override in a missing directory: falls back to the executable's directory.
    use_override(dir / "missing" / "x.log");
    fs::create_directories(dir / "exe");
    rec.exe_dir = (dir / "exe").string();
    log_open_file();
    EXPECT_STREQ(log_file_path(), (dir / "exe" / "kestrelix.log").string().c_str());

    // Executable directory not writable (here: it does not exist): LOCALAPPDATA\Kestrelix.
    rec.exe_dir = (dir / "nowhere").string();
    rec.env["LOCALAPPDATA"] = (dir / "appdata").string();
    fs::create_directories(dir / "appdata");
    log_open_file();
    EXPECT_STREQ(log_file_path(), (dir / "appdata" / "Kestrelix" / "kestrelix.log").string().c_str());
    EXPECT_TRUE(fs::is_directory(dir / "appdata" / "Kestrelix"));
    log_printf(LOG_INFO, "in appdata");
    EXPECT_NE(read_file(dir / "appdata" / "Kestrelix" / "kestrelix.log").find("in appdata"), std::string::npos);

    // Nothing works: no file, but the sink still gets every message. The old file stays open
    // when LOCALAPPDATA is missing (nothing changes).
    rec.env.clear();
    log_open_file();
    EXPECT_STREQ(log_file_path(), (dir / "appdata" / "Kestrelix" / "kestrelix.log").string().c_str());
    log_close_file();
    log_open_file();
    EXPECT_STREQ(log_file_path(), "");
    log_set_sink(record_sink);
    g_sunk.clear();
    log_printf(LOG_WARN, "still shown");
    ASSERT_EQ(g_sunk.size(), 1u);
    EXPECT_EQ(g_sunk[0].first, LOG_WARN);
    EXPECT_EQ(g_sunk[0].second, u"still shown");
}

// Sets TZ for one test and puts back what the process had: the Windows run and the sanitizer
// runs execute many tests in one process, and a zone left behind would decide what every later
// local-time check sees.
namespace {
struct TimeZoneOverride {
    bool had = false;
    std::string before;
    explicit TimeZoneOverride(const char* tz) {
        if (const char* now = getenv("TZ")) {
            had = true;
            before = now;
        }
        set(tz);
    }
    ~TimeZoneOverride() { set(had ? before.c_str() : nullptr); }
    TimeZoneOverride(const TimeZoneOverride&) = delete;
    TimeZoneOverride& operator=(const TimeZoneOverride&) = delete;
    static void set(const char* tz) {  // null: no TZ at all
#ifdef _WIN32
        _putenv_s("TZ", tz ? tz : "");  // an empty value removes the variable
        _tzset();
#else
        if (tz) setenv("TZ", tz, 1);
        else unsetenv("TZ");
        tzset();
#endif
    }
};
}  // namespace

TEST(Clock, TimestampFormatting) {
    TimeZoneOverride zone("UTC-8");  // POSIX sign: eight hours east of UTC
    char buf[40];
    format_timestamp_us(0, buf, sizeof buf);
    EXPECT_STREQ(buf, "1970-01-01 08:00:00.000000");
    format_timestamp_us(-5000000, buf, sizeof buf);  // before 1970: shown as 1970
    EXPECT_STREQ(buf, "1970-01-01 08:00:00.000000");
    format_timestamp_us(1741327331004512LL, buf, sizeof buf);  // 2025-03-07 06:02:11.004512 UTC
    EXPECT_STREQ(buf, "2025-03-07 14:02:11.004512");
}

TEST(Clock, AZoneSetForOneTestIsPutBack) {
    const char* at_start = getenv("TZ");
    const bool had = at_start != nullptr;
    const std::string before = had ? at_start : "";
    {
        TimeZoneOverride outer("UTC-3");
        { TimeZoneOverride inner("UTC-8"); }
        ASSERT_NE(getenv("TZ"), nullptr);
        EXPECT_STREQ(getenv("TZ"), "UTC-3");
        char buf[40];
        format_timestamp_us(0, buf, sizeof buf);  // the C library reread the zone, too
        EXPECT_STREQ(buf, "1970-01-01 03:00:00.000000");
    }
    const char* now = getenv("TZ");
    ASSERT_EQ(now != nullptr, had) << (now ? now : "(unset)");
    if (had) {
        EXPECT_EQ(std::string(now), before);
    }
}

TEST(MessagePanel, TimeColumnWrapsEachHour) {
    char16_t out[64];
    message_panel_format_time(59LL * 60000000 + 59999500, out, 64);
    EXPECT_EQ(std::u16string(out), u"59:59.999");
    message_panel_format_time(60LL * 60000000, out, 64);
    EXPECT_EQ(std::u16string(out), u"00:00.000");
    message_panel_format_time(3LL * 3600000000LL + 61001000, out, 64);
    EXPECT_EQ(std::u16string(out), u"01:01.001");
}

TEST(MessagePanel, NewestFirstAndCappedAt5000) {
    PlatformRecorder rec;
    message_panel_add(LOG_INFO, u"dropped: no list yet");
    EXPECT_EQ(message_panel_count(), 0);
    message_panel_create(nullptr, nullptr);
    for (int i = 1; i <= 5001; i++) {
        char16_t text[32];
        char narrow[32];
        snprintf(narrow, sizeof narrow, "m%d", i);
        utf8_to_utf16(narrow, text, 32);
        message_panel_add(i == 5001 ? 7 : LOG_WARN, text);
    }
    EXPECT_EQ(message_panel_count(), 5000);
    EXPECT_EQ(std::u16string(message_panel_row(0)->message), u"m5001");
    EXPECT_EQ(std::u16string(message_panel_row(0)->level), u"信息");
    EXPECT_EQ(std::u16string(message_panel_row(1)->level), u"警告");
    EXPECT_EQ(std::u16string(message_panel_row(4999)->message), u"m2");  // m1 is gone
    EXPECT_EQ(message_panel_row(5000), nullptr);
    message_panel_add(LOG_INFO, nullptr);
    EXPECT_EQ(std::u16string(message_panel_row(0)->message), u"");
    message_panel_destroy();
}

std::vector<std::pair<int, int>> g_panel_changes;

TEST(MessagePanel, ViewIsToldHowFarOlderRowsMoved) {
    // A view that keeps its selection by row index needs the shift of every insertion, also once
    // the list is full and the count no longer grows.
    PlatformRecorder rec;
    g_panel_changes.clear();
    message_panel_create([](void*, int count, int inserted) { g_panel_changes.push_back({count, inserted}); }, nullptr);
    message_panel_add(LOG_INFO, u"a");
    message_panel_add(LOG_INFO, u"b");
    for (int i = 2; i < MESSAGE_PANEL_MAX_ROWS + 1; i++) message_panel_add(LOG_INFO, u"c");
    message_panel_clear();
    ASSERT_EQ(g_panel_changes.size(), (size_t)MESSAGE_PANEL_MAX_ROWS + 2);
    EXPECT_EQ(g_panel_changes[0], std::make_pair(1, 1));
    EXPECT_EQ(g_panel_changes[1], std::make_pair(2, 1));
    EXPECT_EQ(g_panel_changes[MESSAGE_PANEL_MAX_ROWS], std::make_pair((int)MESSAGE_PANEL_MAX_ROWS, 1));
    EXPECT_EQ(g_panel_changes.back(), std::make_pair(0, 0));
    message_panel_destroy();
}

TEST(MessagePanel, SinkPostsFromOtherThreadsInOrder) {
    PlatformRecorder rec;
    message_panel_create(nullptr, nullptr);
    log_to_panel(LOG_INFO, u"main first");
    std::thread worker([] { log_to_panel(LOG_ERROR, u"from worker"); });
    worker.join();
    log_to_panel(LOG_INFO, u"main second");
    // The main thread's messages are shown at once; the worker's waits for the main loop.
    EXPECT_EQ(message_panel_count(), 2);
    ASSERT_EQ(rec.posts.size(), 1u);
    EXPECT_EQ(rec.posts[0].msg, KX_MSG_LOG_RECORD);
    EXPECT_EQ(rec.posts[0].lparam, 0);
    log_record_deliver((LogRecord*)rec.posts[0].wparam);
    EXPECT_EQ(std::u16string(message_panel_row(0)->message), u"from worker");
    EXPECT_EQ(std::u16string(message_panel_row(0)->level), u"错误");
    EXPECT_EQ(std::u16string(message_panel_row(2)->message), u"main first");

    // A failed post drops the record (no leak under ASan); no main window drops everything.
    rec.post_fails = true;
    std::thread([] { log_to_panel(LOG_INFO, u"lost"); }).join();
    rec.post_fails = false;
    rec.window_exists = false;
    log_to_panel(LOG_INFO, u"no window");
    EXPECT_EQ(message_panel_count(), 3);
    message_panel_destroy();
}
