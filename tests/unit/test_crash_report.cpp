// Crash report lines: header with and without a record, captured frames, the guarded frame walk.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/crash_report.h"
#include "../data/scratch_dir.h"
#include "core/log.h"
#include "platform_recorder.h"

namespace {

std::map<uint64_t, uint64_t> g_memory;  // readable words of the fake process

bool fake_module_of(uint64_t address, char* name, size_t capacity, uint64_t* base) {
    if (address >= 0x140000000ULL && address < 0x140100000ULL) {
        snprintf(name, capacity, "C:\\kx\\Kestrelix.exe");
        *base = 0x140000000ULL;
        return true;
    }
    return false;
}

bool fake_read_word(uint64_t address, uint64_t* value) {
    auto it = g_memory.find(address);
    if (it == g_memory.end()) return false;
    *value = it->second;
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
    info.frame_count = 2;
    info.frames[0] = 0x140002000ULL;
    info.frames[1] = 0x7FF000000000ULL;  // in no module
    info.has_context = 1;
    info.frame_pointer = 0x20000;
    g_memory = {{0x20000, 0x20100}, {0x20008, 0x140003000ULL},  // frame 0 -> next frame, return
                {0x20100, 0x0}, {0x20108, 0x140004000ULL}};     // frame 1 -> fp 0 ends the walk
    CrashServices services = {fake_module_of, fake_read_word};
    std::vector<std::string> lines = report_lines(info, &services);
    // "0x%p": glibc's %p adds its own 0x, Windows prints 16 bare digits.
    ASSERT_EQ(lines.size(), 5u);
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
    EXPECT_EQ(lines[3].substr(26), " [FATAL]   #00 0x140003000  C:\\kx\\Kestrelix.exe+0x3000");
    EXPECT_EQ(lines[4].substr(26), " [FATAL]   #01 0x140004000  C:\\kx\\Kestrelix.exe+0x4000");
}

TEST(CrashReport, NoRecordAndBrokenChains) {
    PlatformRecorder rec;
    CrashServices services = {fake_module_of, fake_read_word};
    CrashInfo info = {};
    info.has_context = 1;
    info.frame_pointer = 0;  // a zero frame pointer walks nothing
    std::vector<std::string> lines = report_lines(info, &services);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(26), " [FATAL] unhandled exception (no record)");

    // A frame pointer into unreadable memory ends the walk without faulting.
    info.frame_pointer = 0x50000;
    g_memory.clear();
    EXPECT_EQ(report_lines(info, &services).size(), 1u);
    // A return address below 0x10000 ends it too; so does a chain that loops forever (24 steps).
    g_memory = {{0x30000, 0x30000}, {0x30008, 0x140000010ULL}};
    info.frame_pointer = 0x30000;
    EXPECT_EQ(report_lines(info, &services).size(), 1u + 24u);
    g_memory = {{0x30008, 0x100}};
    EXPECT_EQ(report_lines(info, &services).size(), 1u);
}
