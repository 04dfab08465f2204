// The layout file: reading the written format, the limits, applying it through the hooks, and the
// pending bindings of restored windows.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../data/scratch_dir.h"
#include "core/log.h"
#include "platform_recorder.h"
#include "vartable/leaf_table.h"
#include "network/net_key.h"
#include "workspace/layout.h"

namespace fs = std::filesystem;

namespace {

const char kExample[] =
    "\xEF\xBB\xBF[layout]\nversion=1\nmain_x=100\nmain_y=80\nmain_w=1280\nmain_h=800\ntree_w=340\nlog_h=170\n"
    "log_hidden=0\ntree_hidden=1\ntree_auto=0\nactive=0\ntheme=1\nelf=D:\\fw\\app.elf\nwins=1\n[win]\n"
    "type=chart\ntitle=Default\nvars=motor.pid.kp\nvars+=buf[3]\n";

std::vector<std::string> g_calls;
std::vector<std::string> g_log;
int g_window_tokens[8];
int g_next_window;
bool g_on_monitor = true;
bool g_elf_exists = true;

void capture(LogLevel level, const char16_t* text) {
    char utf8[1024];
    utf16_to_utf8(text, utf8, sizeof utf8);
    g_log.push_back(std::string(log_level_name(level)) + " " + utf8);
}

LayoutHooks recording_hooks() {
    LayoutHooks h = {};
    h.apply_panel_flags = [](int32_t a, int32_t b, int32_t c) {
        g_calls.push_back("flags " + std::to_string(a) + std::to_string(b) + std::to_string(c));
    };
    h.apply_theme = [](int32_t dark) { g_calls.push_back("theme " + std::to_string(dark)); };
    h.rect_on_some_monitor = [](int32_t, int32_t, int32_t, int32_t) { return g_on_monitor; };
    h.set_main_size = [](int32_t w, int32_t hh) { g_calls.push_back("size " + std::to_string(w) + "x" + std::to_string(hh)); };
    h.set_main_rect = [](int32_t x, int32_t y, int32_t w, int32_t hh) {
        g_calls.push_back("rect " + std::to_string(x) + "," + std::to_string(y) + " " + std::to_string(w) + "x" +
                          std::to_string(hh));
    };
    h.apply_panel_sizes = [](int32_t t, int32_t l) { g_calls.push_back("panels " + std::to_string(t) + " " + std::to_string(l)); };
    h.create_tab_window = [](const char* type, const char* title) -> void* {
        g_calls.push_back(std::string("tab ") + type + " '" + title + "'");
        if (std::string(type) == "bogus") return nullptr;
        return &g_window_tokens[g_next_window++];
    };
    h.tab_count = [] { return (int32_t)g_next_window; };
    h.select_tab = [](int32_t i) { g_calls.push_back("select " + std::to_string(i)); };
    h.file_exists = [](const char*) { return g_elf_exists; };
    h.elf_load_path = [](const char* p) {
        g_calls.push_back(std::string("elf ") + p);
        leaf_add("motor.pid.kp", 0x20000000, 4, TYPE_FLOAT, 0, 0, 0, 0, 0, nullptr);
        return 0;
    };
    h.add_leaf_to_window = [](void* w, int32_t id) {
        g_calls.push_back("bind w" + std::to_string((int*)w - g_window_tokens) + " " + std::to_string(id));
    };
    h.window_alive = [](void* w) { return w != &g_window_tokens[7]; };
    return h;
}

class Layout : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_log.clear();
        g_next_window = 0;
        g_on_monitor = true;
        g_elf_exists = true;
        log_reset();
        log_set_sink(capture);
        leaf_table_reset();
        layout_pending_clear();
        g_layout_hooks = recording_hooks();
        dir = scratch_dir_create("kxlayout");
    }
    void TearDown() override {
        g_layout_hooks = LayoutHooks{};
        layout_pending_clear();
        leaf_table_reset();
        log_reset();
        fs::remove_all(dir);
    }
    std::string write(const std::string& name, const std::string& text) {
        fs::path p = dir / name;
        std::ofstream(p, std::ios::binary) << text;
        return p.string();
    }
    fs::path dir;
    PlatformRecorder rec;
};

bool contains(const std::vector<std::string>& v, const std::string& s) {
    for (const std::string& x : v)
        if (x == s) return true;
    return false;
}

}  // namespace

TEST(LayoutFormat, ParsesTheWrittenExample) {
    static LayoutData d;
    layout_parse(kExample, sizeof kExample - 1, &d);
    EXPECT_EQ(d.main_x, 100);
    EXPECT_EQ(d.main_h, 800);
    EXPECT_EQ(d.tree_hidden, 1);
    EXPECT_EQ(d.theme, 1);
    EXPECT_STREQ(d.elf, "D:\\fw\\app.elf");
    ASSERT_EQ(d.section_count, 1);
    EXPECT_STREQ(d.sections[0].type, "chart");
    EXPECT_STREQ(d.sections[0].title, "Default");
    ASSERT_EQ(d.sections[0].var_count, 2);
    EXPECT_STREQ(d.sections[0].vars[1], "buf[3]");

    // Writing the parsed data gives the same bytes back.
    FILE* f = tmpfile();
    layout_write(f, &d);
    rewind(f);
    char back[4096];
    size_t n = fread(back, 1, sizeof back, f);
    fclose(f);
    EXPECT_EQ(std::string(back, n), std::string(kExample));
}

TEST(LayoutFormat, OddLinesAndLimits) {
    static LayoutData d;
    std::string text = "main_x=-1200\r\nmain_y=x5\nlog_h\ntree_w=+77abc\nunknown=1\n[win]\ntype=num\nvars=\n"
                       "vars+a.b\nvars+=\nvars+=c\nmain_x=5\n";
    layout_parse(text.data(), text.size(), &d);
    EXPECT_EQ(d.main_x, -1200);
    EXPECT_EQ(d.main_y, 0);      // no digits
    EXPECT_EQ(d.log_h, 0);       // a key without "=" has an empty value
    EXPECT_EQ(d.tree_w, 77);
    EXPECT_EQ(d.active, -1);     // absent
    ASSERT_EQ(d.section_count, 1);
    ASSERT_EQ(d.sections[0].var_count, 2);
    EXPECT_STREQ(d.sections[0].vars[0], "a.b");
    EXPECT_STREQ(d.sections[0].vars[1], "c");

    // 65 sections: the lines after the 65th "[win]" count as global lines.
    std::string many;
    for (int i = 0; i < 65; i++) many += "[win]\ntype=chart\n";
    many += "main_w=999\n";
    layout_parse(many.data(), many.size(), &d);
    EXPECT_EQ(d.section_count, 64);
    EXPECT_EQ(d.main_w, 999);

    // 70 variables in one section keep 64; a 2000-byte line is cut, not overrun.
    std::string vars = "[win]\ntype=num\n";
    for (int i = 0; i < 70; i++) vars += "vars+=v" + std::to_string(i) + "\n";
    vars += "title=" + std::string(2000, 't') + "\n";
    layout_parse(vars.data(), vars.size(), &d);
    EXPECT_EQ(d.sections[0].var_count, 64);
    EXPECT_EQ(strlen(d.sections[0].title), 511u);

    // The same record read again: a section keeps nothing of the previous file's.
    std::string bare = "[win]\n";
    layout_parse(bare.data(), bare.size(), &d);
    ASSERT_EQ(d.section_count, 1);
    EXPECT_STREQ(d.sections[0].type, "");
    EXPECT_STREQ(d.sections[0].title, "");
    EXPECT_EQ(d.sections[0].var_count, 0);

    // A NUL ends a line's text, and a carriage return before it is still part of the line end,
    // so what is read can be written back and read the same.
    std::string nul("elf=C:\\fw.elf\r\0junk\nwins=2\n", 27);
    layout_parse(nul.data(), nul.size(), &d);
    EXPECT_STREQ(d.elf, "C:\\fw.elf");
    EXPECT_EQ(d.tab_count, 2);
    // Cut to its 64-byte field, a type ends where carriage returns inside the line began.
    std::string cut = "[win]\ntype=" + std::string(60, 't') + std::string(10, '\r') + "x\n";
    layout_parse(cut.data(), cut.size(), &d);
    EXPECT_EQ(std::string(d.sections[0].type), std::string(60, 't'));
}

TEST_F(Layout, LoadAppliesInOrderAndBindsAfterTheElfLoad) {
    std::string text = std::string(kExample) + "[win]\ntype=num\ntitle=\nvars=missing.leaf\n[win]\ntype=bogus\n";
    std::string path = write("a.ini", text);
    ASSERT_EQ(layout_load(path.c_str()), 0);
    std::vector<std::string> expected = {"flags 010", "theme 1", "rect 100,80 1280x800", "panels 340 170",
                                         "tab chart 'Default'", "tab num 'num'", "tab bogus 'bogus'", "select 0",
                                         "elf D:\\fw\\app.elf"};
    EXPECT_EQ(g_calls, expected);
    // Both names were parked before the ELF load; the retry (done by the load command) binds one.
    EXPECT_EQ(layout_pending_count(), 3);
    layout_retry_bindings();
    EXPECT_EQ(layout_pending_count(), 2);
    EXPECT_EQ(g_calls.back(), "bind w0 0");
    EXPECT_TRUE(contains(g_log, "INFO 已自动加载上次 ELF: D:\\fw\\app.elf"));
    EXPECT_TRUE(contains(g_log, "INFO 布局已加载: " + path + " (3 个窗口)"));
}

TEST_F(Layout, MainWindowAndPanelRules) {
    std::string path = write("b.ini", "main_x=-1200\nmain_y=10\nmain_w=900\nmain_h=600\ntree_w=100\nlog_h=59\n");
    ASSERT_EQ(layout_load(path.c_str()), 0);
    EXPECT_TRUE(contains(g_calls, "size 900x600"));   // a negative position counts as absent
    EXPECT_TRUE(contains(g_calls, "panels -1 -1"));   // below 120 and below 60: ignored
    g_calls.clear();
    g_on_monitor = false;
    path = write("c.ini", "main_x=5000\nmain_y=4000\nmain_w=900\nmain_h=600\nmain_x=5000\n");
    ASSERT_EQ(layout_load(path.c_str()), 0);
    EXPECT_TRUE(contains(g_calls, "size 900x600"));
    EXPECT_TRUE(contains(g_log, "INFO 布局主窗口位置 (5000,4000) 在屏幕外，回退默认位置"));
    g_calls.clear();
    path = write("d.ini", "main_w=200\nmain_h=600\nelf=gone.elf\n");
    g_elf_exists = false;
    ASSERT_EQ(layout_load(path.c_str()), 0);
    EXPECT_TRUE(contains(g_log, "WARN 上次的 ELF 文件不存在，跳过自动加载: gone.elf"));
    for (const std::string& c : g_calls) EXPECT_NE(c.rfind("size", 0), 0u) << c;  // width 200 is too small
    EXPECT_EQ(layout_load((dir / "none.ini").string().c_str()), -1);
}

TEST_F(Layout, PendingBindingsDropGoneWindowsAndCapAt512) {
    layout_bind_variable(&g_window_tokens[7], "later");  // this window will be gone
    layout_bind_variable(&g_window_tokens[1], "later");
    layout_bind_variable(nullptr, "x");
    layout_bind_variable(&g_window_tokens[1], "");
    EXPECT_EQ(layout_pending_count(), 2);
    leaf_add("later", 0x20000000, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    layout_retry_bindings();
    EXPECT_EQ(layout_pending_count(), 0);
    EXPECT_EQ(g_calls, std::vector<std::string>{"bind w1 0"});
    for (int i = 0; i < 600; i++) layout_bind_variable(&g_window_tokens[2], "nowhere");
    EXPECT_EQ(layout_pending_count(), 512);
}

TEST_F(Layout, SaveWritesSectionsThroughTheHooks) {
    g_layout_hooks.main_rect = [](int32_t* x, int32_t* y, int32_t* w, int32_t* h) { *x = 10, *y = 20, *w = 1280, *h = 800; };
    g_layout_hooks.tab_count = [] { return (int32_t)3; };
    g_layout_hooks.current_elf_path = [] { return "C:\\fw\\demo.elf"; };
    g_layout_hooks.tab_section = [](int32_t tab, LayoutSection* s) -> int32_t {
        if (tab == 1) return 0;  // a tab without a window to write
        text_copy(s->type, sizeof s->type, tab == 0 ? "chart" : "num");
        text_copy(s->title, sizeof s->title, "波形 1");
        text_copy(s->vars[0], LAYOUT_VAR_CAPACITY, "a");
        text_copy(s->vars[1], LAYOUT_VAR_CAPACITY, "b[2]");
        s->var_count = tab == 0 ? 2 : 0;
        return 1;
    };
    std::string path = (dir / "saved.ini").string();
    ASSERT_EQ(layout_save(path.c_str()), 0);
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_NE(text.find("main_x=10\nmain_y=20\n"), std::string::npos);
    EXPECT_NE(text.find("elf=C:\\fw\\demo.elf\nwins=3\n[win]\ntype=chart\ntitle=波形 1\nvars=a\nvars+=b[2]\n[win]\n"
                        "type=num\ntitle=波形 1\nvars=\n"),
              std::string::npos)
        << text;
    EXPECT_TRUE(contains(g_log, "INFO 布局已保存: " + path + " (3 个窗口)"));
    EXPECT_EQ(layout_save((dir / "no" / "such" / "dir.ini").string().c_str()), -1);
    EXPECT_EQ(layout_save(nullptr), -1);
}

TEST_F(Layout, RemembersTheNetworkKeyWithoutLoggingIt) {
    net_key_set("k=1 密钥");
    std::string path = (dir / "keyed.ini").string();
    ASSERT_EQ(layout_save(path.c_str()), 0);
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\nnet_key=k=1 密钥\n"), std::string::npos) << text;
    net_key_reset();
    ASSERT_EQ(layout_load(path.c_str()), 0);
    char key[NET_KEY_CAPACITY];
    net_key_copy(key, sizeof key);
    EXPECT_STREQ(key, "k=1 密钥");
    for (const std::string& line : g_log) EXPECT_EQ(line.find("密钥"), std::string::npos) << line;
    net_key_reset();
}

TEST_F(Layout, DefaultPaths) {
    char path[1100];
    rec.env["LOCALAPPDATA"] = dir.string();
    layout_default_path(true, path, sizeof path);
    EXPECT_EQ(std::string(path), (dir / "Kestrelix" / "layout.ini").string());
    EXPECT_TRUE(fs::is_directory(dir / "Kestrelix"));
    rec.env.clear();
    rec.exe_dir = dir.string();
    layout_default_path(true, path, sizeof path);
    EXPECT_EQ(std::string(path), (dir / "layout.ini").string());
    layout_default_path(false, path, sizeof path);
    EXPECT_STREQ(path, "layout.ini");
    // No default file: nothing is loaded and nothing is logged.
    rec.env["LOCALAPPDATA"] = (dir / "empty").string();
    g_log.clear();
    EXPECT_EQ(layout_load_default(), -1);
    EXPECT_TRUE(g_log.empty());
}

TEST_F(Layout, HostileSizesAreClampedToWhatADragCouldGive) {
    g_layout_hooks.work_area = [](int32_t, int32_t, int32_t, int32_t, LayoutRect* a) {
        *a = {0, 0, 1280, 1024};
        return true;
    };
    g_layout_hooks.main_client_height = [] { return (int32_t)700; };
    // A window bigger than the screen, a panel wider than any drag, a message panel taller than the window.
    std::string path = write("h.ini", "main_x=100\nmain_y=50\nmain_w=99999\nmain_h=99999\ntree_w=100000\nlog_h=5000\n");
    ASSERT_EQ(layout_load(path.c_str()), 0);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"rect 0,0 1280x1024", "panels 900 580"}));
    // A window hanging off the right and bottom edges is moved back onto the work area.
    g_calls.clear();
    path = write("i.ini", "main_x=1000\nmain_y=900\nmain_w=800\nmain_h=600\n");
    ASSERT_EQ(layout_load(path.c_str()), 0);
    EXPECT_TRUE(contains(g_calls, "rect 480,424 800x600")) << g_calls[0];
    // Off every monitor, or with a negative position: only the size is used, still clamped.
    g_calls.clear();
    g_on_monitor = false;
    path = write("j.ini", "main_x=9000\nmain_y=9000\nmain_w=5000\nmain_h=300\n");
    ASSERT_EQ(layout_load(path.c_str()), 0);
    EXPECT_TRUE(contains(g_calls, "size 1280x300"));

    EXPECT_EQ(layout_clamp_tree_width(119, -1), -1);  // below the old threshold: ignored as before
    EXPECT_EQ(layout_clamp_tree_width(120, -1), 120);
    EXPECT_EQ(layout_clamp_tree_width(900, 1264), 900);
    EXPECT_EQ(layout_clamp_tree_width(900, 412), 292);  // a narrow window keeps room for the workspace
    EXPECT_EQ(layout_clamp_tree_width(300, 200), 120);  // narrower still: the smallest restored width
    // A position near the end of the integer range must not wrap when the width is added.
    LayoutRect far = {INT32_MAX - 100, INT32_MAX - 100, 1000, 500};
    LayoutRect screen = {0, 0, 1280, 1024};
    layout_clamp_main_rect(&far, &screen);
    EXPECT_EQ(far.x, 280);
    EXPECT_EQ(far.y, 524);
    EXPECT_EQ(layout_clamp_log_height(59, 700), -1);
    EXPECT_EQ(layout_clamp_log_height(60, 700), 60);
    EXPECT_EQ(layout_clamp_log_height(170, -1), 170);  // no window yet: nothing to measure against
    EXPECT_EQ(layout_clamp_log_height(500, 300), 180);
    EXPECT_EQ(layout_clamp_log_height(100, 150), 30);   // a very low window: the workspace's room wins
}

TEST_F(Layout, MissingKeysLeaveSettingsAndNoLayoutLeavesTheUserFileAlone) {
    // Only sizes: the theme and the panel flags are not touched (an absent key is not a 0).
    std::string path = write("k.ini", "[layout]\nmain_w=900\nmain_h=600\n");
    ASSERT_EQ(layout_load(path.c_str()), 0);
    for (const std::string& c : g_calls) {
        EXPECT_NE(c.rfind("theme", 0), 0u) << c;
        EXPECT_NE(c.rfind("flags", 0), 0u) << c;
    }
    g_calls.clear();
    path = write("l.ini", "tree_auto=1\ntheme=0\n");
    ASSERT_EQ(layout_load(path.c_str()), 0);
    EXPECT_TRUE(contains(g_calls, "flags -1-11"));
    EXPECT_TRUE(contains(g_calls, "theme 0"));

    rec.env["LOCALAPPDATA"] = dir.string();
    fs::create_directories(dir / "Kestrelix");
    std::string user = (dir / "Kestrelix" / "layout.ini").string();
    std::ofstream(user, std::ios::binary) << "theme=1\n";
    layout_set_default_file_enabled(false);
    g_calls.clear();
    EXPECT_EQ(layout_load_default(), -1);
    EXPECT_EQ(layout_save_default(), -1);
    layout_set_default_file_enabled(true);
    EXPECT_TRUE(g_calls.empty());
    std::ifstream in(user, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), "theme=1\n");
    EXPECT_EQ(layout_load_default(), 0);
    EXPECT_TRUE(contains(g_calls, "theme 1"));
}

TEST_F(Layout, NarrowWindowGetsAPanelThatLeavesTheWorkspaceVisible) {
    g_layout_hooks.main_client_width = [] { return (int32_t)412; };
    g_layout_hooks.main_client_height = [] { return (int32_t)260; };
    std::string path = write("n.ini", "main_x=50\nmain_y=50\nmain_w=420\nmain_h=300\ntree_w=900\nlog_h=500\n");
    ASSERT_EQ(layout_load(path.c_str()), 0);
    EXPECT_TRUE(contains(g_calls, "panels 292 140"));
}

TEST_F(Layout, VariablesStillWaitingForTheirFirmwareAreSavedAgain) {
    // The last firmware is missing at start-up: the restored window's variables stay parked, and
    // closing the program must not write the window back without them.
    g_elf_exists = false;
    std::string path = write("w.ini", "elf=D:\\gone.elf\n[win]\ntype=num\ntitle=T\nvars=motor.speed\nvars+=buf[3]\n"
                                      "[win]\ntype=chart\ntitle=C\nvars=x\n");
    ASSERT_EQ(layout_load(path.c_str()), 0);
    ASSERT_EQ(layout_pending_count(), 3);
    g_layout_hooks.tab_window = [](int32_t tab) -> void* { return &g_window_tokens[tab]; };
    g_layout_hooks.tab_section = [](int32_t tab, LayoutSection* s) -> int32_t {
        text_copy(s->type, sizeof s->type, tab == 0 ? "num" : "chart");
        text_copy(s->title, sizeof s->title, tab == 0 ? "T" : "C");
        if (tab == 1) {  // this window holds one variable of its own and waits for the same one
            text_copy(s->vars[0], LAYOUT_VAR_CAPACITY, "x");
            s->var_count = 1;
        }
        return 1;
    };
    std::string saved = (dir / "again.ini").string();
    ASSERT_EQ(layout_save(saved.c_str()), 0);
    std::ifstream in(saved, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("[win]\ntype=num\ntitle=T\nvars=motor.speed\nvars+=buf[3]\n[win]\ntype=chart\ntitle=C\nvars=x\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("vars+=x"), std::string::npos) << text;
}
