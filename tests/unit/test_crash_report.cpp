// Crash report lines: header with and without a record, captured frames, the guarded frame walk.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <atomic>
#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/crash_report.h"
#include "../data/scratch_dir.h"
#include "core/log.h"
#include "platform_recorder.h"

namespace {

// The walk's frames as the unwinder would give them: the faulting pc first, then return addresses.
struct FakeWalk {
    std::vector<uint64_t> frames;
    size_t next;
};

bool fake_module_of(uint64_t address, char* name, size_t capacity, uint64_t* base) {
    if (address == 0 || (address >= 0x140000000ULL && address < 0x140100000ULL)) {  // null: as Windows answers it
        snprintf(name, capacity, "C:\\kx\\Kestrelix.exe");
        *base = 0x140000000ULL;
        return true;
    }
    return false;
}

bool fake_next_frame(void* data, uint64_t* address) {
    FakeWalk* w = (FakeWalk*)data;
    if (w->next >= w->frames.size()) return false;
    *address = w->frames[w->next++];
    return true;
}

std::vector<std::string> report_lines(const CrashInfo& info, const CrashServices* services) {
    ScratchFolder scratch("kx_crash");
    std::filesystem::path path = scratch.path / "kx_crash_report.log";
    log_reset();
    char16_t wide[260];
    utf8_to_utf16(path.string().c_str(), wide, 260);
    log_set_override_path(wide);
    log_open_file();
    crash_write_report(&info, services);
    log_reset();
    std::string text;
    {
        std::ifstream f(path, std::ios::binary);  // closed before the remove: Windows refuses open files
        text.assign((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    std::vector<std::string> lines;
    if (text.size() < 3) return lines;  // no log at all: the caller's size check reports it
    std::istringstream in(text.substr(3));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

TEST(CrashReport, HeaderCapturedAndWalkedFrames) {
    PlatformRecorder rec;
    CrashInfo info = {};
    info.has_record = 1;
    info.code = 0xC0000005;
    info.address = 0x140001234ULL;
    info.frame_count = 3;
    info.frames[0] = 0x140002000ULL;
    info.frames[1] = 0x7FF000000000ULL;  // in no module
    info.frames[2] = 0;                  // the end of a captured stack
    FakeWalk walk = {{0x140001234ULL, 0x140003000ULL, 0x140004000ULL}, 0};
    CrashServices services = {fake_module_of, fake_next_frame, &walk};
    std::vector<std::string> lines = report_lines(info, &services);
    // "0x%p": glibc's %p adds its own 0x, Windows prints 16 bare digits.
    ASSERT_EQ(lines.size(), 7u);
    std::string stamp = lines[0].substr(0, 26);
    for (const std::string& l : lines) EXPECT_EQ(l.substr(0, 26), stamp);
    EXPECT_TRUE(std::regex_match(lines[0].substr(26),
                                 std::regex(" \\[FATAL\\] unhandled exception code=0xC0000005 at 0x(0x)?0*140001234  "
                                            "C:\\\\kx\\\\Kestrelix\\.exe\\+0x1234")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1].substr(26), std::regex(" \\[FATAL\\]   #00 0x(0x)?0*140002000  .*Kestrelix\\.exe\\+0x2000")))
        << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2].substr(26), std::regex(" \\[FATAL\\]   #01 0x(0x)?0*7ff000000000  \\?\\+0x0",
                                                                 std::regex::icase)))
        << lines[2];
    EXPECT_TRUE(std::regex_match(lines[3].substr(26), std::regex(" \\[FATAL\\]   #02 (0x)?\\(?[0nil]*\\)?  \\?\\+0x0")))
        << lines[3];
    // The walk starts at the faulting instruction itself.
    EXPECT_EQ(lines[4].substr(26), " [FATAL]   #00 0x140001234  C:\\kx\\Kestrelix.exe+0x1234");
    EXPECT_EQ(lines[5].substr(26), " [FATAL]   #01 0x140003000  C:\\kx\\Kestrelix.exe+0x3000");
    EXPECT_EQ(lines[6].substr(26), " [FATAL]   #02 0x140004000  C:\\kx\\Kestrelix.exe+0x4000");
}

TEST(CrashReport, NoRecordAndBrokenWalks) {
    PlatformRecorder rec;
    CrashInfo info = {};
    // No context: no walk at all.
    CrashServices services = {fake_module_of, nullptr, nullptr};
    std::vector<std::string> lines = report_lines(info, &services);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(26), " [FATAL] unhandled exception (no record)");

    // A call through a null pointer: the faulting pc is skipped, its caller is kept; a later wild
    // address ends the walk, and a walk that never ends stops at 24 frames.
    FakeWalk walk = {{0x0, 0x140000010ULL, 0x140000020ULL, 0x100, 0x140000030ULL}, 0};
    services = {fake_module_of, fake_next_frame, &walk};
    lines = report_lines(info, &services);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].substr(26), " [FATAL]   #01 0x140000010  C:\\kx\\Kestrelix.exe+0x10");
    walk = {std::vector<uint64_t>(100, 0x140000040ULL), 0};
    EXPECT_EQ(report_lines(info, &services).size(), 1u + 24u);
}

TEST(CrashReport, WritesPastAHeldLogLockAndNamesTheFileInUse) {
    PlatformRecorder rec;
    namespace fs = std::filesystem;
    ScratchFolder scratch("kx_crash_held");
    fs::path path = scratch.path / "kx_crash_held.log";
    log_reset();
    char16_t wide[260];
    utf8_to_utf16(path.string().c_str(), wide, 260);
    log_set_override_path(wide);
    log_open_file();
    char box[1400];
    crash_box_text(box, sizeof box);
    EXPECT_EQ(std::string(box), "Kestrelix 发生未处理异常，详细信息已写入日志文件 " + path.string() + "。");

    // Another thread is stuck inside a log write: the report still lands in the same file.
    std::atomic<bool> release{false}, holding{false};
    struct Hold {
        std::atomic<bool>* release;
        std::atomic<bool>* holding;
    } hold = {&release, &holding};
    std::thread stuck([&hold] {
        log_with_lock_held(
            [](void* d) {
                Hold* h = (Hold*)d;
                h->holding->store(true);
                while (!h->release->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            },
            &hold);
    });
    while (!holding.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    CrashInfo info = {};
    CrashServices services = {fake_module_of, nullptr, nullptr};
    crash_write_report(&info, &services);
    release.store(true);
    stuck.join();
    log_printf(LOG_INFO, "after");
    log_reset();
    std::string text;
    {
        std::ifstream f(path, std::ios::binary);
        text.assign((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    fs::remove(path);
    size_t report = text.find("[FATAL] unhandled exception (no record)\n");
    EXPECT_NE(report, std::string::npos) << text;
    EXPECT_LT(report, text.find("[INFO] after"));

    // No log file at all: the box says so instead of naming a file that holds nothing.
    crash_box_text(box, sizeof box);
    EXPECT_EQ(std::string(box), "Kestrelix 发生未处理异常，日志文件未能打开，详细信息未能保存。");
}
