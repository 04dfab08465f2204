// Probe selection and connection against scripted driver modules in the real registry: lists,
// speed table or default steps, scanning, connect requests, failures, channel switches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "acquisition/probe.h"
#include "core/app.h"
#include "core/log.h"
#include "core/text.h"
#include "modules/modules.h"
#include "platform_recorder.h"

namespace {

// Script of one fake driver (the context passed to its command entry).
struct ScriptedDriver {
    ModuleDescriptor descriptor;
    int32_t probes = 1;
    int32_t connect_result = 0;
    int32_t status = 1;
    int32_t speeds_result = 0;
    SpeedTable speeds = {};
    std::vector<int32_t> codes;
    ConnectRequest last_connect = {};
};

std::vector<ScriptedDriver*> g_drivers;
std::vector<std::string> g_log;
size_t g_next;
ScriptedDriver* g_loading;

int32_t scripted_command(void* context, int32_t code, void* in, void* out) {
    ScriptedDriver* d = (ScriptedDriver*)context;
    d->codes.push_back(code);
    switch (code) {
        case KX_DRV_CONNECT: d->last_connect = *(ConnectRequest*)in; return d->connect_result;
        case KX_DRV_STATUS: *(int32_t*)out = d->status; return 0;
        case KX_DRV_SCAN: {
            ScanRequest* r = (ScanRequest*)in;
            r->count = d->probes;
            for (int32_t i = 0; i < d->probes && (uint32_t)i < r->capacity; i++) {
                std::snprintf(r->probes[i].serial, sizeof r->probes[i].serial, "SN%02d", i);
                std::snprintf(r->probes[i].product, sizeof r->probes[i].product, "Probe %d", i);
            }
            return 0;
        }
        case KX_DRV_INFO: {
            ProbeDetails* p = (ProbeDetails*)out;
            text_copy(p->description, sizeof p->description, "Scripted probe");
            text_copy(p->library_version, sizeof p->library_version, "7.1");
            text_copy(p->target_name, sizeof p->target_name, "STM32F303RC");
            p->hardware_version = 11;
            p->firmware_version = 22;
            return 0;
        }
        case KX_DRV_SPEEDS: *(SpeedTable*)out = d->speeds; return d->speeds_result;
        default: return 0;
    }
}
int32_t scripted_init(const HostApi*, void** context) {
    *context = g_loading;
    return 0;
}

bool ops_exists(const char*) { return true; }
void* ops_open(const char*) {
    g_next = 0;
    return &g_next;
}
bool ops_next(void*, char* name, size_t capacity, bool* is_dir) {
    if (g_next >= g_drivers.size()) return false;
    text_printf(name, capacity, "d%zu.dll", g_next++);
    *is_dir = false;
    return true;
}
void ops_close(void*) {}
void* ops_load(const char* path, unsigned long*) {
    size_t len = std::strlen(path);
    return g_drivers[(size_t)(path[len - 5] - '0')];
}
const ModuleDescriptor* ops_get() { return &g_loading->descriptor; }
void* ops_symbol(void* library, const char*) {
    g_loading = (ScriptedDriver*)library;
    return (void*)&ops_get;
}
void ops_free(void*) {}
const ModuleLoaderOps kOps = {ops_exists, ops_open, ops_next, ops_close, ops_load, ops_symbol, ops_free};

void record_log(LogLevel level, const char16_t* text) {
    char utf8[1200];
    utf16_to_utf8(text, utf8, sizeof utf8);
    g_log.push_back(std::string(log_level_name(level)) + " " + utf8);
}

std::string g_status_text;
int g_refreshes;

class Probe : public ::testing::Test {
protected:
    void SetUp() override {
        modules_unload();
        g_drivers.clear();
        g_log.clear();
        g_status_text.clear();
        g_refreshes = 0;
        recorder.exe_dir = "/x";
        host_api_fill();
        modules_set_loader(&kOps);
        probe_reset();
        g_probe_toolbar.hardware_enabled = 0;  // as zero-initialised at process start
        g_probe_hooks = ProbeHooks{};
        g_probe_hooks.set_status_text = [](const char* t) { g_status_text = t; };
        g_probe_hooks.refresh_status_and_toolbar = [] { g_refreshes++; };
        g_app_settings.probe_speed_khz = 4000;
    }
    void TearDown() override {
        log_set_sink(nullptr);
        modules_unload();
        modules_set_loader(nullptr);
        g_probe_hooks = ProbeHooks{};
        for (ScriptedDriver* d : drivers_) delete d;
    }
    ScriptedDriver* add_driver(const char* name) {
        ScriptedDriver* d = new ScriptedDriver;
        std::memset(&d->descriptor, 0, sizeof d->descriptor);
        d->descriptor.api_version = 4;
        d->descriptor.flags = KX_MODULE_DRIVER;
        text_copy(d->descriptor.name, sizeof d->descriptor.name, name);
        d->descriptor.init = scripted_init;
        d->descriptor.command = scripted_command;
        g_drivers.push_back(d);
        drivers_.push_back(d);
        return d;
    }
    void start() {
        modules_load();
        log_set_sink(record_log);
        probe_fill_toolbar();
    }
    PlatformRecorder recorder;

private:
    std::vector<ScriptedDriver*> drivers_;
};

std::vector<std::string> speeds() {
    std::vector<std::string> out;
    for (int32_t i = 0; i < g_probe_toolbar.speed_count; i++) out.push_back(g_probe_toolbar.speeds[i]);
    return out;
}

}  // namespace

TEST_F(Probe, FillListsChannelsCoresAndDefaultSpeeds) {
    ScriptedDriver* d = add_driver("ST-Link");
    d->speeds_result = -1;  // no table
    add_driver("JLink");
    start();
    const ProbeToolbar& t = g_probe_toolbar;
    ASSERT_EQ(t.channel_count, 3);
    EXPECT_STREQ(t.channels[0], "ST-Link");
    EXPECT_STREQ(t.channels[2], "网络");
    EXPECT_EQ(t.channel_selected, 1);  // the default driver
    EXPECT_EQ(t.core_selected, 0);
    EXPECT_STREQ(probe_core_name(0), "Cortex-M4");
    EXPECT_STREQ(probe_core_name(9), "Cortex-A7");
    EXPECT_EQ(t.iface_selected, 0);
    EXPECT_EQ(t.hardware_enabled, 1);
    EXPECT_EQ(g_probe_state.probe_count, 1);
    EXPECT_EQ(g_log.back(), "INFO JLink 设备扫描: 1 个");
}

TEST_F(Probe, SpeedTableForTheSelectedInterfaceElseTheEighteenSteps) {
    ScriptedDriver* d = add_driver("JLink");
    d->speeds.swd_khz[0] = 4000;
    d->speeds.swd_khz[1] = -1;  // skipped
    d->speeds.swd_khz[2] = 12000;
    d->speeds.swd_count = 3;
    d->speeds.jtag_count = 0;
    start();
    EXPECT_EQ(speeds(), (std::vector<std::string>{"4000", "12000"}));
    EXPECT_EQ(g_probe_toolbar.speed_selected, 0);
    EXPECT_STREQ(g_probe_toolbar.speed_text, "4000");

    g_probe_toolbar.iface_selected = 1;  // JTAG while the list is built: its count 0 is invalid
    probe_fill_speeds();
    std::vector<std::string> all = speeds();
    ASSERT_EQ(all.size(), 18u);
    EXPECT_EQ(all[0], "0 (自动)");
    EXPECT_EQ(all[17], "50000");
    EXPECT_EQ(g_probe_toolbar.speed_selected, 7);
    EXPECT_STREQ(g_probe_toolbar.speed_text, "4000");

    d->speeds.swd_count = 17;  // out of range: the defaults again
    g_probe_toolbar.iface_selected = 0;
    probe_fill_speeds();
    EXPECT_EQ(speeds().size(), 18u);
}

TEST_F(Probe, TwentyProbesListSixteenAndKeepTheCount) {
    add_driver("JLink")->probes = 20;
    start();
    EXPECT_EQ(g_probe_state.probe_count, 20);
    ASSERT_EQ(g_probe_toolbar.probe_list_count, 16);
    EXPECT_STREQ(g_probe_toolbar.probes[15], "Probe 15 (SN:SN15)");
    EXPECT_EQ(g_log.back(), "INFO JLink 设备扫描: 20 个");
}

TEST_F(Probe, ConnectSendsTheToolbarStateAsTheRequest) {
    ScriptedDriver* d = add_driver("JLink");
    d->probes = 2;
    start();
    g_probe_toolbar.iface_selected = 1;
    g_probe_toolbar.core_selected = 2;
    g_probe_toolbar.probe_selected = 1;
    text_copy(g_probe_toolbar.speed_text, sizeof g_probe_toolbar.speed_text, "12000");
    g_log.clear();
    probe_connect();
    EXPECT_EQ(d->last_connect.iface, 1);
    EXPECT_EQ(d->last_connect.clock_khz, 12000);
    EXPECT_EQ(g_app_settings.probe_speed_khz, 12000);
    EXPECT_STREQ(d->last_connect.core_name, "Cortex-M0+");
    EXPECT_EQ(d->last_connect.probe_index, 1);
    EXPECT_EQ(g_probe_state.connected, 1);
    EXPECT_EQ(g_log, (std::vector<std::string>{"INFO 已连接: STM32F303RC（Scripted probe, JLink DLL 7.1, HW 11, FW 22）"}));
    std::vector<int32_t> tail(d->codes.end() - 3, d->codes.end());
    EXPECT_EQ(tail, (std::vector<int32_t>{1, 3, 7}));
    char status[128];
    probe_status_text(status, sizeof status);
    EXPECT_STREQ(status, "已连接 JLink");

    for (const char* text : {"0 (自动)", "abc", "-50"}) {
        text_copy(g_probe_toolbar.speed_text, sizeof g_probe_toolbar.speed_text, text);
        g_probe_toolbar.core_selected = -1;
        probe_connect();
        EXPECT_EQ(d->last_connect.clock_khz, 0) << text;
        EXPECT_STREQ(d->last_connect.core_name, "Cortex-M4");
    }
}

TEST_F(Probe, ConnectWithoutProbeShowsTheBoxAndDoesNotCallTheDriver) {
    ScriptedDriver* d = add_driver("JLink");
    d->probes = 0;
    start();
    EXPECT_STREQ(g_probe_toolbar.probes[0], "未发现 JLink 设备");
    d->codes.clear();
    probe_connect();
    EXPECT_TRUE(d->codes.empty());
    ASSERT_EQ(recorder.boxes.size(), 1u);
    EXPECT_EQ(recorder.boxes[0].text, "没有发现 JLink 设备，请确认仿真器已插入 USB 并点击「刷新」。");
    EXPECT_EQ(recorder.boxes[0].caption, "JLink");
    EXPECT_EQ(recorder.boxes[0].flags, (unsigned)PLATFORM_MB_ICONWARNING);
    probe_refresh();
    EXPECT_EQ(recorder.boxes.size(), 2u);
}

TEST_F(Probe, RefusedConnectAndTargetNotAnswering) {
    ScriptedDriver* d = add_driver("JLink");
    d->connect_result = -7;
    start();
    g_log.clear();
    probe_connect();
    EXPECT_EQ(g_status_text, "连接失败");
    EXPECT_EQ(g_log, (std::vector<std::string>{"ERROR 连接失败 (rc=-7)，请检查仿真器与目标板"}));
    EXPECT_EQ(g_probe_state.connected, 0);
    d->connect_result = 0;
    d->status = 0;  // connected to the probe, but no target
    probe_connect();
    EXPECT_EQ(g_probe_state.connected, 0);
}

TEST_F(Probe, NoDriverModule) {
    start();
    EXPECT_EQ(g_probe_toolbar.channel_count, 1);
    EXPECT_STREQ(g_probe_toolbar.channels[0], "网络");
    EXPECT_EQ(probe_scan(), -1);
    probe_connect();
    EXPECT_EQ(g_log.back(), "ERROR 未加载驱动模块");
    EXPECT_EQ(g_status_text, "未加载驱动模块");
    probe_refresh();
    ASSERT_EQ(recorder.boxes.size(), 1u);
    EXPECT_EQ(recorder.boxes[0].caption, "J-Link");
}

TEST_F(Probe, ChannelSwitchNetworkKeepsTheProbeADifferentDriverDisconnects) {
    ScriptedDriver* a = add_driver("ST-Link");
    ScriptedDriver* b = add_driver("JLink");
    start();
    probe_connect();
    ASSERT_EQ(g_probe_state.connected, 1);
    std::vector<int32_t> net_codes;
    static std::vector<int32_t>* codes = &net_codes;
    g_probe_hooks.net_user_command = [](int32_t code) { codes->push_back(code); };

    b->codes.clear();
    probe_select_channel(2);
    EXPECT_EQ(g_probe_state.network_channel, 1);
    EXPECT_EQ(g_probe_toolbar.hardware_enabled, 0);
    EXPECT_EQ(g_probe_state.connected, 1);
    EXPECT_TRUE(b->codes.empty());
    EXPECT_EQ(g_log.back(), "INFO 通道切换: 网络（连接=网络连接，开始采集=下达监视列表，停止采集=停止下达）");
    probe_connect();
    probe_disconnect();
    EXPECT_EQ(net_codes, (std::vector<int32_t>{21, 22}));
    EXPECT_TRUE(b->codes.empty());

    probe_select_channel(1);  // the same driver again: no disconnect
    EXPECT_TRUE(std::find(b->codes.begin(), b->codes.end(), 2) == b->codes.end());
    EXPECT_EQ(g_probe_state.connected, 0);
    EXPECT_EQ(g_probe_state.probe_count, 1);  // rescanned
    EXPECT_EQ(g_log.back(), "INFO 切换仿真器: JLink");
    probe_select_channel(0);
    EXPECT_TRUE(std::find(b->codes.begin(), b->codes.end(), KX_DRV_DISCONNECT) != b->codes.end());
    EXPECT_EQ(selected_driver_index(), 0);
    EXPECT_FALSE(a->codes.empty());
    probe_select_channel(5);  // no such driver: nothing happens
    EXPECT_EQ(selected_driver_index(), 0);
}

TEST_F(Probe, SwitchToTheNetworkChannelStopsALocalRunFirst) {
    add_driver("JLink");
    start();
    probe_connect();
    static int running;
    static int stops;
    running = 1;
    stops = 0;
    g_probe_hooks.acquisition_running = [] { return running; };
    g_probe_hooks.acquisition_stop = [] {
        // Still the probe's channel: the stop is the local run's, not a "stop sending" to a peer.
        EXPECT_EQ(g_probe_state.network_channel, 0);
        stops++;
        running = 0;
    };
    probe_select_channel(1);
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(g_probe_state.network_channel, 1);
    EXPECT_EQ(g_probe_state.connected, 1);  // the probe itself stays connected
    probe_select_channel(1);                // already in the network channel: nothing to stop
    EXPECT_EQ(stops, 1);
    running = 0;
    probe_select_channel(0);
    probe_select_channel(1);  // nothing running: no stop
    EXPECT_EQ(stops, 1);
}

// A remote-only PC: the list's only entry is shown selected from the start, so choosing it must
// still count as a change; once in effect, choosing it again does not.
TEST_F(Probe, ChannelChoiceIsNewForTheNetworkEntryShownBeforeItWasChosen) {
    start();
    EXPECT_TRUE(probe_channel_choice_is_new(0));
    EXPECT_FALSE(probe_channel_choice_is_new(1));
    EXPECT_FALSE(probe_channel_choice_is_new(-1));
    probe_select_channel(0);
    EXPECT_EQ(g_probe_state.network_channel, 1);
    EXPECT_FALSE(probe_channel_choice_is_new(0));
}

TEST_F(Probe, ChannelChoiceWithDriversFollowsTheEntryInEffect) {
    add_driver("JLink");
    start();
    EXPECT_FALSE(probe_channel_choice_is_new(0));
    EXPECT_TRUE(probe_channel_choice_is_new(1));
    probe_select_channel(1);
    EXPECT_FALSE(probe_channel_choice_is_new(1));
    EXPECT_TRUE(probe_channel_choice_is_new(0));
}

TEST_F(Probe, DisconnectStopsAcquisitionFirst) {
    ScriptedDriver* d = add_driver("JLink");
    start();
    probe_connect();
    static std::vector<std::string> order;
    order.clear();
    static ScriptedDriver* driver = d;
    g_probe_hooks.acquisition_running = [] { return 1; };
    static size_t codes_at_stop;
    g_probe_hooks.acquisition_stop = [] {
        order.push_back("stop");
        codes_at_stop = driver->codes.size();
    };
    size_t before = d->codes.size();
    probe_disconnect();
    ASSERT_EQ(order.size(), 1u);
    EXPECT_EQ(codes_at_stop, before);  // stopped before the driver heard the disconnect
    EXPECT_EQ(d->codes.back(), KX_DRV_DISCONNECT);
    EXPECT_EQ(g_probe_state.connected, 0);
    EXPECT_EQ(g_log.back(), "INFO 已断开连接");
}
