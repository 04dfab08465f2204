// probe_connect.cpp - probe selection and connection (channel switch, speed list, scan, connect,
// disconnect) over the selected driver module.
//
// Index
//   [SECTION] State and helpers
//   [SECTION] Filling the lists
//   [SECTION] Scanning
//   [SECTION] Channel switch
//   [SECTION] Connect and disconnect
#include <cstdio>
#include <cstring>

#include "acquisition/probe.h"
#include "core/app.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/text.h"
#include "modules/modules.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] State and helpers
//-------------------------------------------------------------------------------------------------

ProbeToolbar g_probe_toolbar;
ProbeState g_probe_state = {0, -1, 0};
ProbeHooks g_probe_hooks;

namespace {

const char* const kCoreNames[PROBE_CORE_COUNT] = {"Cortex-M4",  "Cortex-M3",  "Cortex-M0+", "Cortex-M0",
                                                  "Cortex-M7",  "Cortex-M23", "Cortex-M33", "Cortex-A5",
                                                  "Cortex-R4",  "Cortex-A7"};
const int32_t kDefaultSteps[PROBE_SPEEDS_MAX] = {0,     50,    100,   200,   400,   1000,  2000,  4000,  5000,
                                                 8000,  10000, 12000, 15000, 20000, 25000, 30000, 40000, 50000};

void toolbar_changed() {
    if (g_probe_hooks.toolbar_changed) g_probe_hooks.toolbar_changed();
}
void refresh_status_and_toolbar() {
    if (g_probe_hooks.refresh_status_and_toolbar) g_probe_hooks.refresh_status_and_toolbar();
}
void set_status_text(const char* text) {
    if (g_probe_hooks.set_status_text) g_probe_hooks.set_status_text(text);
}
void sync_from_controls() {
    if (g_probe_hooks.sync_from_controls) g_probe_hooks.sync_from_controls();
}

// The selected driver's name for messages: "J-Link" when there is none or it is empty.
const char* driver_display_name() {
    const char* name = selected_driver_name();
    return name && name[0] ? name : "J-Link";
}

// Copies a driver-filled text field that may lack its terminator.
void copy_field(char* out, size_t capacity, const char* field, size_t field_size) {
    size_t n = 0;
    while (n < field_size && n + 1 < capacity && field[n]) {
        out[n] = field[n];
        n++;
    }
    out[n] = 0;
}

void show_no_probe_box() {
    char text[256], caption[200];
    text_copy(caption, sizeof caption, driver_display_name());
    text_printf(text, sizeof text, "没有发现 %s 设备，请确认仿真器已插入 USB 并点击「刷新」。", caption);
    platform()->message_box(text, caption, PLATFORM_MB_OK | PLATFORM_MB_ICONWARNING);
}

}  // namespace

const char* probe_core_name(int32_t index) {
    if (index < 0 || index >= PROBE_CORE_COUNT) return nullptr;
    return kCoreNames[index];
}

void probe_reset() {
    std::memset(&g_probe_toolbar, 0, sizeof g_probe_toolbar);
    g_probe_toolbar.channel_selected = -1;
    g_probe_toolbar.core_selected = -1;
    g_probe_toolbar.iface_selected = -1;
    g_probe_toolbar.speed_selected = -1;
    g_probe_toolbar.probe_selected = -1;
    g_probe_toolbar.hardware_enabled = 1;
    g_probe_state = {0, -1, 0};
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Filling the lists
//-------------------------------------------------------------------------------------------------

void probe_fill_toolbar() {
    ProbeToolbar& t = g_probe_toolbar;
    t.channel_count = 0;
    int32_t drivers = driver_count();
    for (int32_t i = 0; i < drivers && t.channel_count < PROBE_CHANNELS_MAX - 1; i++) {
        // The name as the list shows it: at most 64 UTF-16 units.
        char16_t wide[64];
        utf8_to_utf16(driver_name(i), wide, 64);
        utf16_to_utf8(wide, t.channels[t.channel_count++], sizeof t.channels[0]);
    }
    text_copy(t.channels[t.channel_count++], sizeof t.channels[0], "网络");
    int32_t selected = selected_driver_index();
    t.channel_selected = selected >= 0 ? selected : 0;
    t.core_selected = 0;
    t.iface_selected = 0;
    t.hardware_enabled = g_probe_state.network_channel ? 0 : 1;
    toolbar_changed();
    probe_fill_speeds();
    probe_scan();
}

void probe_fill_speeds() {
    ProbeToolbar& t = g_probe_toolbar;
    SpeedTable table;
    std::memset(&table, 0, sizeof table);
    bool usable = false;
    bool jtag = t.iface_selected == 1;
    if (driver_available() && driver_command(KX_DRV_SPEEDS, nullptr, &table) == 0) {
        int32_t count = jtag ? table.jtag_count : table.swd_count;
        usable = count >= 1 && count <= 16;
    }
    t.speed_count = 0;
    if (usable) {
        const int32_t* steps = jtag ? table.jtag_khz : table.swd_khz;
        int32_t count = jtag ? table.jtag_count : table.swd_count;
        for (int32_t i = 0; i < count; i++)
            if (steps[i] > 0) text_printf(t.speeds[t.speed_count++], sizeof t.speeds[0], "%d", (int)steps[i]);
        t.speed_selected = t.speed_count > 0 ? 0 : -1;
    } else {
        for (int32_t i = 0; i < PROBE_SPEEDS_MAX; i++) {
            if (i == 0) text_copy(t.speeds[t.speed_count++], sizeof t.speeds[0], "0 (自动)");
            else text_printf(t.speeds[t.speed_count++], sizeof t.speeds[0], "%d", (int)kDefaultSteps[i]);
        }
        t.speed_selected = PROBE_DEFAULT_SPEED_SELECTION;
    }
    text_copy(t.speed_text, sizeof t.speed_text, t.speed_selected >= 0 ? t.speeds[t.speed_selected] : "");
    toolbar_changed();
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Scanning
//-------------------------------------------------------------------------------------------------

int32_t probe_scan() {
    if (!driver_available()) return -1;
    ProbeInfo found[PROBE_LIST_MAX];
    std::memset(found, 0, sizeof found);
    ScanRequest request = {found, PROBE_LIST_MAX, 0};
    driver_command(KX_DRV_SCAN, &request, nullptr);
    int32_t count = request.count;
    g_probe_state.probe_count = count;

    ProbeToolbar& t = g_probe_toolbar;
    const char* name = driver_display_name();
    t.probe_list_count = 0;
    if (count <= 0) {
        text_printf(t.probes[t.probe_list_count++], sizeof t.probes[0], "未发现 %s 设备", name);
    } else {
        int32_t listed = count < PROBE_LIST_MAX ? count : PROBE_LIST_MAX;
        for (int32_t i = 0; i < listed; i++) {
            char product[128], serial[64];
            copy_field(product, sizeof product, found[i].product, sizeof found[i].product);
            copy_field(serial, sizeof serial, found[i].serial, sizeof found[i].serial);
            text_printf(t.probes[t.probe_list_count++], sizeof t.probes[0], "%s (SN:%s)", product, serial);
        }
    }
    t.probe_selected = 0;
    toolbar_changed();
    log_printf(LOG_INFO, "%s 设备扫描: %d 个", name, (int)count);
    return count;
}

void probe_refresh() {
    if (probe_scan() <= 0) show_no_probe_box();
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Channel switch
//-------------------------------------------------------------------------------------------------

bool probe_channel_choice_is_new(int32_t position) {
    const ProbeToolbar& t = g_probe_toolbar;
    if (position < 0 || position >= t.channel_count) return false;
    if (position != t.channel_selected) return true;
    bool network_entry = position == driver_count();
    return network_entry != (g_probe_state.network_channel != 0);
}

void probe_select_channel(int32_t position) {
    ProbeToolbar& t = g_probe_toolbar;
    if (position == driver_count()) {
        // In the network channel the start and stop commands speak to the peer, so a local run
        // left going could not be stopped any more and would mix the probe's samples with the
        // peer's under the same leaves: it stops before the switch.
        if (!g_probe_state.network_channel && g_probe_hooks.acquisition_running &&
            g_probe_hooks.acquisition_running() && g_probe_hooks.acquisition_stop)
            g_probe_hooks.acquisition_stop();
        g_probe_state.network_channel = 1;
        t.channel_selected = position;
        t.hardware_enabled = 0;
        toolbar_changed();
        refresh_status_and_toolbar();
        log_printf(LOG_INFO, "通道切换: 网络（连接=网络连接，开始采集=下达监视列表，停止采集=停止下达）");
        return;
    }
    if (select_driver(position) != 0) return;
    g_probe_state.network_channel = 0;
    t.channel_selected = position;
    t.hardware_enabled = 1;
    g_probe_state.connected = 0;
    g_probe_state.probe_count = -1;
    toolbar_changed();
    probe_scan();
    probe_fill_speeds();
    refresh_status_and_toolbar();
    log_printf(LOG_INFO, "切换仿真器: %s", driver_display_name());
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Connect and disconnect
//-------------------------------------------------------------------------------------------------

namespace {

// Leading decimal digits of the speed text ("0 (自动)" gives 0, no digits give 0).
int32_t parse_speed_text(const char* text) {
    char cut[64];
    text_copy(cut, sizeof cut, text);
    char16_t wide[64];
    utf8_to_utf16(cut, wide, 64);
    int value = text16_to_int(wide);
    return value < 0 ? 0 : value;
}

void build_connect_request(ConnectRequest* request) {
    const ProbeToolbar& t = g_probe_toolbar;
    std::memset(request, 0, sizeof *request);
    request->iface = t.iface_selected == 1 ? KX_IFACE_JTAG : KX_IFACE_SWD;
    request->clock_khz = parse_speed_text(t.speed_text);
    g_app_settings.probe_speed_khz = request->clock_khz;
    const char* core = probe_core_name(t.core_selected);
    text_copy(request->core_name, sizeof request->core_name, core ? core : "Cortex-M4");
    request->probe_index = t.probe_selected >= 0 ? t.probe_selected : -1;
}

}  // namespace

void probe_connect() {
    if (g_probe_state.network_channel) {
        if (g_probe_hooks.net_user_command) g_probe_hooks.net_user_command(KX_NET_CONNECT);
        return;
    }
    if (!driver_available()) {
        log_printf(LOG_ERROR, "未加载驱动模块");
        set_status_text("未加载驱动模块");
        return;
    }
    if (g_probe_state.probe_count <= 0) {
        show_no_probe_box();
        return;
    }
    sync_from_controls();
    ConnectRequest request;
    build_connect_request(&request);
    int32_t rc = driver_command(KX_DRV_CONNECT, &request, nullptr);
    if (rc != 0) {
        set_status_text("连接失败");
        log_printf(LOG_ERROR, "连接失败 (rc=%d)，请检查仿真器与目标板", (int)rc);
        refresh_status_and_toolbar();
        return;
    }
    int32_t status = 0;
    driver_command(KX_DRV_STATUS, nullptr, &status);
    g_probe_state.connected = status;
    ProbeDetails details;
    std::memset(&details, 0, sizeof details);
    driver_command(KX_DRV_INFO, nullptr, &details);
    char target[128], description[96], version[32];
    copy_field(target, sizeof target, details.target_name, sizeof details.target_name);
    copy_field(description, sizeof description, details.description, sizeof details.description);
    copy_field(version, sizeof version, details.library_version, sizeof details.library_version);
    log_printf(LOG_INFO, "已连接: %s（%s, %s DLL %s, HW %d, FW %d）", target[0] ? target : "?", description,
               driver_display_name(), version, (int)details.hardware_version, (int)details.firmware_version);
    refresh_status_and_toolbar();
}

void probe_disconnect() {
    if (g_probe_state.network_channel) {
        if (g_probe_hooks.net_user_command) g_probe_hooks.net_user_command(KX_NET_STOP);
        return;
    }
    if (g_probe_hooks.acquisition_running && g_probe_hooks.acquisition_running() && g_probe_hooks.acquisition_stop)
        g_probe_hooks.acquisition_stop();
    if (driver_available()) driver_command(KX_DRV_DISCONNECT, nullptr, nullptr);
    g_probe_state.connected = 0;
    log_printf(LOG_INFO, "已断开连接");
    refresh_status_and_toolbar();
}

void probe_status_text(char* out, size_t capacity) {
    if (g_probe_state.network_channel) {
        text_copy(out, capacity, "通道: 网络（连接/断开/采集按键按网络语义复用）");
    } else if (g_probe_state.connected && selected_driver_name()) {
        text_printf(out, capacity, "已连接 %s", selected_driver_name());
    } else {
        text_copy(out, capacity, "未连接");
    }
}
