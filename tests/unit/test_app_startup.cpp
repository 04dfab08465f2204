// The start-up sequence: the order of its steps, the automation options and the delayed actions.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/app.h"
#include "core/log.h"
#include "core/message_panel.h"
#include "platform_recorder.h"

namespace {

std::mutex g_calls_lock;  // delayed actions call hooks from their own threads
std::vector<std::string> g_calls;
std::vector<std::string> g_log;
int g_create_result = 0;

void call(const std::string& what) {
    std::lock_guard<std::mutex> hold(g_calls_lock);
    g_calls.push_back(what);
}

void sink(LogLevel level, const char16_t* text) {
    char utf8[1024];
    utf16_to_utf8(text, utf8, sizeof utf8);
    g_log.push_back(std::string(log_level_name(level)) + " " + utf8);
    call("log:" + std::string(utf8));
}

// Every panel row becomes a call, so log lines interleave with the steps in the record.
void panel_row_added(void*, int, int) {
    char utf8[1024];
    utf16_to_utf8(message_panel_row(0)->message, utf8, sizeof utf8);
    call("log:" + std::string(utf8));
}

// Known leaves for leaf_find: id = position.
const char* kLeaves[] = {"motor.speed", "pid.kp", "pid.ki"};
int fake_leaf_find(const char* name) {
    for (int i = 0; i < 3; i++)
        if (std::string(kLeaves[i]) == name) return i;
    return -1;
}
int g_window_token;

AppHooks recording_hooks() {
    AppHooks h = {};
    h.create_sample_lock = [] { call("sample_lock"); };
    h.delete_sample_lock = [] { call("delete_sample_lock"); };
    h.crash_filter_install = [] { call("crash_filter"); };
    h.host_api_fill = [] { call("host_api"); };
    h.init_common_controls = [] { call("common_controls"); };
    h.register_window_classes = [] { call("classes"); };
    h.layout_default_off = [] { call("layout_default_off"); };
    h.theme_load_setting = [] { call("theme_load"); };
    h.create_main_window = [] {
        call("main_window");
        // The creation handler makes the message panel, installs the sink and logs the started line.
        message_panel_create(panel_row_added, nullptr);
        log_set_sink(log_to_panel);
        log_printf(LOG_INFO, "Kestrelix 已启动");
        return g_create_result;
    };
    h.modules_load = [] { call("modules_load"); };
    h.update_command_states = [] { call("command_states"); };
    h.rebuild_window_menu = [] { call("window_menu"); };
    h.probe_fill_toolbar = [] { call("probe_toolbar"); };
    h.show_main_window = [](int show) { call("show:" + std::to_string(show)); };
    h.theme_apply = [] { call("theme_apply"); };
    h.layout_load = [](const char* p) { call(std::string("layout_load:") + p); return 0; };
    h.layout_load_default = [] { call("layout_load_default"); return 0; };
    h.layout_save = [](const char* p) { call(std::string("layout_save:") + p); return 0; };
    h.elf_load_path = [](const char* p) { call(std::string("elf:") + p); return 0; };
    h.select_leaf = [](const char* n) { call(std::string("select:") + n); return fake_leaf_find(n) >= 0 ? 0 : -1; };
    h.set_toolbar_net_address = [](const char* a, const char* p) { call(std::string("netset:") + a + "|" + p); };
    h.replay_start = [](const char* p) { call(std::string("replay:") + p); return 0; };
    h.start_replay_timer = [] { call("replay_timer"); };
    h.replay_all = [](const char* p) { call(std::string("replay_all:") + p); };
    h.net_command = [](int code, const char* t, int port) {
        call("net:" + std::to_string(code) + ":" + t + ":" + std::to_string(port));
        return 0;
    };
    h.net_key_set = [](const char* key) { call(std::string("net_key:") + key); };
    h.leaf_find = fake_leaf_find;
    h.leaf_watch_flag_set = [](int id) { call("watch:" + std::to_string(id)); };
    h.tree_set_leaf_check = [](int id, int c) { call("check:" + std::to_string(id) + "=" + std::to_string(c)); };
    h.watch_recount = [] { call("recount"); };
    h.create_hosted_window = [](int tab, const char* kind, const char* title) -> void* {
        call("window:" + std::to_string(tab) + ":" + kind + ":" + title);
        return &g_window_token;
    };
    h.chart_add_var = [](void*, int id) { call("chart_add:" + std::to_string(id)); return 0; };
    h.num_add_var = [](void*, int id) { call("num_add:" + std::to_string(id)); return 0; };
    h.screenshot_current = [](const char* p) { call(std::string("shot:") + p); };
    h.create_accelerators = [] { call("accelerators"); };
    h.run_message_loop = [] { call("loop"); return 0; };
    h.destroy_accelerators = [] { call("destroy_accelerators"); };
    return h;
}

// Runs start-up with the recording hooks on a command line; returns the exit code.
class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_log.clear();
        g_create_result = 0;
        log_reset();
        g_app_hooks = recording_hooks();
    }
    void TearDown() override {
        log_reset();
        message_panel_destroy();
        g_app_hooks = AppHooks{};
    }
    int run(const char16_t* text) {
        line = text;
        return app_run(line.data(), 5);
    }
    // Index of the first call equal to `what`, or -1.
    int at(const std::string& what) {
        std::lock_guard<std::mutex> hold(g_calls_lock);
        for (size_t i = 0; i < g_calls.size(); i++)
            if (g_calls[i] == what) return (int)i;
        return -1;
    }
    std::u16string line;
    PlatformRecorder rec;
};

}  // namespace

TEST_F(Startup, StepsRunInOrder) {
    ASSERT_EQ(run(u"fw.elf --select-leaf=pid.kp --net-set=10.0.0.1 --replay=r.csv --replay-all=a.csv "
                  u"--layout-save=s.ini --net-listen=9000"),
              0);
    std::vector<std::string> expected = {
        "sample_lock", "crash_filter", "host_api", "common_controls", "classes", "theme_load", "main_window",
        "log:Kestrelix 已启动", "modules_load", "command_states", "window_menu", "probe_toolbar", "show:5",
        "theme_apply", "layout_load_default", "elf:fw.elf", "select:pid.kp",
        "log:命令行选中叶变量: pid.kp (rc=0)", "log:net-set 钩子: 10.0.0.1:(空)", "netset:10.0.0.1|",
        "replay:r.csv", "replay_timer", "replay_all:a.csv", "layout_save:s.ini", "net:20:127.0.0.1:9000",
        "accelerators", "loop", "destroy_accelerators", "delete_sample_lock"};
    EXPECT_EQ(g_calls, expected);
}

// The key from the command line reaches the network side before the layout could offer its own.
TEST_F(Startup, NetworkKeyGoesOutBeforeTheLayout) {
    run(u"--net-key=秘钥 fw.elf");
    ASSERT_GE(at("net_key:秘钥"), 0);
    EXPECT_LT(at("net_key:秘钥"), at("layout_load_default"));
    g_calls.clear();
    run(u"fw.elf");
    for (const std::string& c : g_calls) EXPECT_NE(c.rfind("net_key:", 0), 0u) << c;
}

TEST_F(Startup, MainWindowFailureEndsWithOne) {
    g_create_result = -1;
    EXPECT_EQ(run(u"fw.elf"), 1);
    EXPECT_EQ(at("modules_load"), -1);
    EXPECT_EQ(at("loop"), -1);
}

TEST_F(Startup, LayoutOptions) {
    run(u"--no-layout --layout-save=x.ini --layout-load=y.ini");
    EXPECT_EQ(at("layout_save:x.ini"), -1);
    EXPECT_EQ(at("layout_load:y.ini"), -1);
    EXPECT_EQ(at("layout_load_default"), -1);
    // The user's file is switched off before the theme is read from it.
    EXPECT_LT(at("layout_default_off"), at("theme_load"));
    g_calls.clear();
    run(u"\"--no-layout\" \"C:\\My Firmware\\fw.elf\"");
    EXPECT_NE(at("layout_default_off"), -1);
    EXPECT_NE(at("elf:C:\\My Firmware\\fw.elf"), -1);
    g_calls.clear();
    run(u"--layout-load=y.ini fw.elf");
    EXPECT_EQ(at("layout_default_off"), -1);
    EXPECT_NE(at("layout_load:y.ini"), -1);
    EXPECT_EQ(at("layout_load_default"), -1);
    // The explicit image is loaded after the layout, so it wins over the one the layout names.
    EXPECT_LT(at("layout_load:y.ini"), at("elf:fw.elf"));
}

TEST_F(Startup, SelectLeafNotFoundLogsMinusOne) {
    run(u"--select-leaf=nope --net-set=192.168.1.9:10001");
    EXPECT_NE(at("log:命令行选中叶变量: nope (rc=-1)"), -1);
    EXPECT_NE(at("log:net-set 钩子: 192.168.1.9:10001"), -1);
    EXPECT_NE(at("netset:192.168.1.9|10001"), -1);
}

TEST_F(Startup, NetworkConnectSequence) {
    run(u"--net-connect=127.0.0.1:10000 --net-sync --watch=pid.kp --net-win=num,pid.ki --net-watch "
        u"--net-write=pid.kp=2.5 --net-download");
    std::vector<std::string> net;
    for (const std::string& c : g_calls)
        if (c.rfind("net:", 0) == 0 || c.rfind("watch:", 0) == 0 || c.rfind("window:", 0) == 0) net.push_back(c);
    std::vector<std::string> expected = {"net:21:127.0.0.1:10000", "net:23::0", "net:25::0", "net:23::0",
                                         "watch:1", "window:-1:num:网络数值", "net:26::0", "net:27:pid.kp:0",
                                         "net:28::0"};
    EXPECT_EQ(net, expected);
}

TEST_F(Startup, ConnectWithoutColonIgnoresNetworkFollowUps) {
    run(u"--net-connect=10.0.0.5 --net-sync --net-watch --net-write=a=1 --net-download --watch=pid.ki "
        u"--net-win=chart,motor.speed");
    for (const std::string& c : g_calls) EXPECT_NE(c.rfind("net:", 0), 0u) << c;
    EXPECT_NE(at("watch:2"), -1);
    EXPECT_NE(at("chart_add:0"), -1);
}

TEST_F(Startup, WatchOption) {
    apply_watch_option(u"pid.kp, \tpid.ki,missing,pid.kp ,");
    std::vector<std::string> expected = {
        "watch:1", "check:1=1", "log:命令行勾选叶变量: pid.kp (id=1)", "watch:2", "check:2=1",
        "log:命令行勾选叶变量: pid.ki (id=2)", "log:命令行勾选失败（未找到）: missing",
        // Trailing blanks stay, so "pid.kp " is not found; the empty last piece is looked up too.
        "log:命令行勾选失败（未找到）: pid.kp ", "log:命令行勾选失败（未找到）: ", "recount"};
    log_set_sink(sink);
    g_calls.clear();
    apply_watch_option(u"pid.kp, \tpid.ki,missing,pid.kp ,");
    EXPECT_EQ(g_calls, expected);
    EXPECT_EQ(g_log[2], "WARN 命令行勾选失败（未找到）: missing");
}

TEST_F(Startup, WindowOption) {
    log_set_sink(sink);
    apply_window_option(u"chartX,pid.kp,missing,pid.ki,,motor.speed");
    ASSERT_GE(g_calls.size(), 5u);
    EXPECT_EQ(g_calls[0], "window:-1:chart:网络波形");
    EXPECT_EQ(g_calls[1].rfind("log:命令行建波形窗口 (hwnd=", 0), 0u);
    EXPECT_EQ(g_calls[2], "chart_add:1");
    EXPECT_EQ(g_calls[3], "log:窗口添加变量: pid.kp (id=1)");
    EXPECT_EQ(g_calls[4], "chart_add:2");
    EXPECT_EQ(g_calls.size(), 6u);  // the empty piece ends the list before motor.speed
    g_calls.clear();
    apply_window_option(u"table,pid.kp");
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(Startup, DelayedActions) {
    CommandLineOptions o;
    command_line_clear(&o);
    o.net_exit_ms = 5;
    o.net_watchstop_ms = 5;
    std::u16string shot = u"c.bmp";
    text16_copy(o.net_shot_at_path, 260, shot.c_str());
    o.net_shot_at_ms = 0;  // no screenshot with 0 ms
    app_start_delayed_actions(&o);
    for (int i = 0; i < 2000 && (rec.posts_snapshot().empty() || at("net:29::0") < 0); i++)  // up to 10 s
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(rec.posts.size(), 1u);
    EXPECT_EQ(rec.posts[0].msg, (unsigned)KX_WM_CLOSE);
    EXPECT_NE(at("net:29::0"), -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(at("shot:c.bmp"), -1);
}
