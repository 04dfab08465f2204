// The firmware load command: the order of its steps with recording hooks, the failure path, the
// missing-variables box, acquisition stop and resume, and the file change check.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "../data/scratch_dir.h"
#include "core/log.h"
#include "platform_recorder.h"
#include "vartable/leaf_load.h"
#include "vartable/leaf_table.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> g_calls;
int g_acq_state;
int g_probe;

void capture_log(LogLevel, const char16_t* text) {
    char line[2048];
    utf16_to_utf8(text, line, sizeof line);
    g_calls.push_back(std::string("log:") + line);
}

std::string firmware(const char* variant) { return std::string(KX_BUILD_DIR) + "/tests/firmware/fw_" + variant + ".elf"; }

std::u16string wide(const std::string& s) {
    char16_t out[1024];
    utf8_to_utf16(s.c_str(), out, 1024);
    return out;
}

class LoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = firmware("gcc_dwarf4_O0");
        if (!fs::exists(path)) GTEST_SKIP() << "test firmware not built: " << path;
        leaf_table_reset();
        elf_unload_current();
        g_calls.clear();
        g_acq_state = 0;
        g_probe = 1;
        VarTableHooks& h = g_vartable_hooks;
        h = VarTableHooks{};
        h.acquisition_state = [] { return g_acq_state; };
        h.acquisition_stop = [] { g_calls.push_back("acq_stop"); g_acq_state = 0; };
        h.acquisition_start = [] { g_calls.push_back("acq_start"); g_acq_state = 1; return 0; };
        h.probe_connected = [] { return g_probe; };
        h.tree_rebuild = [] { g_calls.push_back("tree"); };
        h.layout_retry_bindings = [] { g_calls.push_back("layout_bind"); };
        h.rebind_windows = [] { g_calls.push_back("rebind"); };
        h.notify_window_modules = [](int code) { g_calls.push_back("modules:" + std::to_string(code)); };
        h.update_status = [] { g_calls.push_back("status"); };
        h.layout_save = [] { g_calls.push_back("layout_save"); };
        log_set_sink(capture_log);
    }
    void TearDown() override {
        log_set_sink(nullptr);
        g_vartable_hooks = VarTableHooks{};
        elf_unload_current();
        leaf_table_reset();
        if (!temp.empty()) fs::remove_all(temp.parent_path());
    }
    // A copy of the firmware whose file time the test can change.
    fs::path temp_copy() {
        fs::path dir = scratch_dir_create("kxload");
        temp = dir / "fw.elf";
        fs::copy_file(path, temp, fs::copy_options::overwrite_existing);
        return temp;
    }
    std::vector<std::string> boxes() const {
        std::vector<std::string> out;
        for (const auto& b : recorder.boxes) out.push_back(b.caption + "|" + b.text);
        return out;
    }
    PlatformRecorder recorder;
    std::string path;
    fs::path temp;
};

TEST_F(LoadTest, StepsRunInOrderAndAcquisitionResumes) {
    ASSERT_EQ(elf_load_path(wide(path).c_str()), 0);
    leaf_set_watched(leaf_find("g_u32"), 1);
    leaf_add("ghost", 0, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_set_watched(leaf_find("ghost"), 1);
    g_acq_state = 1;
    g_calls.clear();

    ASSERT_EQ(elf_load_command(wide(path).c_str()), 0);
    ASSERT_EQ(g_calls.size(), 11u);
    EXPECT_EQ(g_calls[0], "acq_stop");
    EXPECT_EQ(g_calls[1].rfind("log:ELF 变量表重建: ", 0), 0u) << g_calls[1];
    EXPECT_NE(g_calls[1].find("（原观测 2 个，缺失 1 个）"), std::string::npos) << g_calls[1];
    EXPECT_EQ(std::vector<std::string>(g_calls.begin() + 2, g_calls.begin() + 6),
              (std::vector<std::string>{"tree", "layout_bind", "rebind", "modules:11"}));
    EXPECT_EQ(g_calls[6], "log:已加载 ELF: " + path + " (32 位, " + elf_machine_name(current_elf_image()) + ")");
    EXPECT_EQ(std::vector<std::string>(g_calls.begin() + 7, g_calls.end()),
              (std::vector<std::string>{"acq_start", "log:ELF 重载后已恢复采集", "status", "layout_save"}));
    EXPECT_EQ(boxes(), (std::vector<std::string>{"变量缺失|以下 1 个变量在新 ELF 中未找到，是否忽略？\n\nghost\n"}));
    EXPECT_EQ(recorder.boxes[0].flags, (unsigned)(PLATFORM_MB_YESNO | PLATFORM_MB_ICONWARNING));
    EXPECT_EQ(leaf_is_watched(leaf_at(leaf_find("g_u32"))), 1);
    EXPECT_EQ(leaf_watched_count(), 1);
    EXPECT_TRUE(current_elf_path() == wide(path));
    EXPECT_NE(current_elf_file_time(), 0u);
}

TEST_F(LoadTest, NoResumeWithoutProbeOrWatchesAndNoSaveWithoutWindow) {
    ASSERT_EQ(elf_load_path(wide(path).c_str()), 0);
    g_acq_state = 1;  // running, but nothing watched
    recorder.window_exists = false;
    g_calls.clear();
    ASSERT_EQ(elf_load_command(wide(path).c_str()), 0);
    EXPECT_EQ(g_calls.front(), "acq_stop");
    EXPECT_EQ(g_calls.back(), "status");
    for (const auto& c : g_calls) EXPECT_NE(c, "acq_start");

    leaf_set_watched(0, 1);
    g_acq_state = 1;
    g_probe = 0;
    g_calls.clear();
    ASSERT_EQ(elf_load_command(wide(path).c_str()), 0);
    for (const auto& c : g_calls) EXPECT_NE(c, "acq_start");
    EXPECT_TRUE(recorder.boxes.empty());
}

TEST_F(LoadTest, FailureKeepsEverythingAndResumes) {
    ASSERT_EQ(elf_load_path(wide(path).c_str()), 0);
    ElfImage* before = current_elf_image();
    int32_t count = leaf_count();
    leaf_set_watched(0, 1);
    g_acq_state = 1;
    g_calls.clear();
    std::u16string bad = wide(path + ".missing");
    EXPECT_EQ(elf_load_command(bad.c_str()), -1);
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[0], "acq_stop");
    EXPECT_EQ(g_calls[1].rfind("log:ELF 加载失败: ", 0), 0u) << g_calls[1];
    EXPECT_EQ(g_calls[2], "acq_start");
    EXPECT_EQ(current_elf_image(), before);
    EXPECT_EQ(leaf_count(), count);
    EXPECT_TRUE(current_elf_path() == wide(path));

    EXPECT_EQ(elf_load_path(nullptr), -1);
    EXPECT_EQ(elf_load_path(u""), -1);
    EXPECT_EQ(elf_load_path_utf8(""), -1);
}

TEST_F(LoadTest, MissingBoxListsTwelveNames) {
    ASSERT_EQ(elf_load_path(wide(path).c_str()), 0);
    for (int i = 0; i < 20; i++) {
        leaf_add(("lost" + std::to_string(i)).c_str(), 0, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
        leaf_set_watched(leaf_count() - 1, 1);
    }
    ASSERT_EQ(elf_load_command(wide(path).c_str()), 0);
    ASSERT_EQ(recorder.boxes.size(), 1u);
    std::string names;
    for (int i = 0; i < 12; i++) names += "lost" + std::to_string(i) + "\n";
    EXPECT_EQ(recorder.boxes[0].text, "以下 20 个变量在新 ELF 中未找到，是否忽略？\n\n" + names);
    EXPECT_EQ(missing_count(), 20);
}

TEST_F(LoadTest, ChangeCheckPromptsOncePerChange) {
    fs::path copy = temp_copy();
    ASSERT_EQ(elf_load_path_utf8(copy.string().c_str()), 0);
    uint64_t loaded_time = current_elf_file_time();
    ASSERT_NE(loaded_time, 0u);
    EXPECT_EQ(elf_file_time(wide(copy.string() + ".none").c_str()), 0u);

    elf_check_changed();
    EXPECT_TRUE(recorder.boxes.empty());  // unchanged file: silent

    // Two saves before the timer fires: one prompt. No: nothing reloads, no second prompt.
    auto t0 = fs::last_write_time(copy);
    fs::last_write_time(copy, t0 + std::chrono::seconds(5));
    fs::last_write_time(copy, t0 + std::chrono::seconds(7));
    recorder.box_answers = {PLATFORM_ID_NO};
    g_calls.clear();
    elf_check_changed();
    elf_check_changed();
    ASSERT_EQ(recorder.boxes.size(), 1u);
    EXPECT_EQ(recorder.boxes[0].caption, "ELF 更新");
    EXPECT_EQ(recorder.boxes[0].text, "检测到 ELF 文件已更新（可能重新编译），是否立即重新加载并刷新变量地址？");
    EXPECT_EQ(recorder.boxes[0].flags, (unsigned)(PLATFORM_MB_YESNO | PLATFORM_MB_ICONQUESTION));
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(current_elf_file_time(), loaded_time + 7000);

    // A later rebuild: a new prompt; Yes reloads.
    fs::last_write_time(copy, t0 + std::chrono::seconds(20));
    recorder.box_answers = {PLATFORM_ID_YES};
    elf_check_changed();
    ASSERT_EQ(recorder.boxes.size(), 2u);
    ASSERT_FALSE(g_calls.empty());
    EXPECT_EQ(g_calls.back(), "layout_save");

    // A deleted file gives time 0 and stays silent.
    fs::remove(copy);
    elf_check_changed();
    EXPECT_EQ(recorder.boxes.size(), 2u);
}

TEST_F(LoadTest, ReloadCurrentUsesTheRememberedPath) {
    elf_reload_current();  // nothing remembered: nothing happens
    EXPECT_TRUE(g_calls.empty());
    ASSERT_EQ(elf_load_path_utf8(path.c_str()), 0);
    g_calls.clear();
    elf_reload_current();
    ASSERT_FALSE(g_calls.empty());
    EXPECT_EQ(g_calls.back(), "layout_save");
    EXPECT_GT(leaf_count(), 100);
}

}  // namespace
