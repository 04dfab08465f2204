// app.cpp - the start-up sequence, automation options and delayed actions.
//
// Index
//   [SECTION] State
//   [SECTION] Automation options (--watch=, --net-win=)
//   [SECTION] Delayed actions
//   [SECTION] Start-up sequence
#include "core/app.h"

#include <cstring>
#include <string>
#include <thread>

#include "core/log.h"
#include "core/message_panel.h"
#include "core/platform.h"
#include "core/text.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] State
//-------------------------------------------------------------------------------------------------

AppSettings g_app_settings;
CommandLineOptions g_app_options;
AppHooks g_app_hooks;

namespace {

void app_settings_reset() {
    g_app_settings.var_panel_width = 340;
    g_app_settings.msg_panel_height = 170;
    g_app_settings.probe_speed_khz = 4000;
}

void to_utf8(const char16_t* text, char* out, size_t capacity) { utf16_to_utf8(text, out, capacity); }

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Automation options (--watch=, --net-win=)
//-------------------------------------------------------------------------------------------------

void apply_watch_option(const char16_t* list) {
    const AppHooks& h = g_app_hooks;
    char16_t copy[1024];
    text16_copy(copy, 1024, list);
    char16_t* piece = copy;
    while (piece) {
        char16_t* comma = piece;
        while (*comma && *comma != u',') comma++;
        char16_t* next = *comma ? comma + 1 : nullptr;
        *comma = 0;
        while (*piece == u' ' || *piece == u'\t') piece++;
        char name[512];
        to_utf8(piece, name, sizeof name);
        int id = h.leaf_find ? h.leaf_find(name) : -1;
        if (id < 0) {
            log_printf(LOG_WARN, "命令行勾选失败（未找到）: %s", name);
        } else {
            if (h.leaf_watch_flag_set) h.leaf_watch_flag_set(id);
            if (h.tree_set_leaf_check) h.tree_set_leaf_check(id, 1);
            log_printf(LOG_INFO, "命令行勾选叶变量: %s (id=%d)", name, id);
        }
        piece = next;
    }
    if (h.watch_recount) h.watch_recount();
}

void apply_window_option(const char16_t* window_list) {
    const AppHooks& h = g_app_hooks;
    char16_t copy[1024];
    text16_copy(copy, 1024, window_list);
    char16_t* comma = copy;
    while (*comma && *comma != u',') comma++;
    char16_t* names = *comma ? comma + 1 : nullptr;
    *comma = 0;
    bool is_chart = text16_starts_with(copy, "chart");
    bool is_num = !is_chart && text16_starts_with(copy, "num");
    if (!is_chart && !is_num) return;

    void* window = h.create_hosted_window
                       ? h.create_hosted_window(-1, is_chart ? "chart" : "num", is_chart ? "网络波形" : "网络数值")
                       : nullptr;
    log_printf(LOG_INFO, "命令行建%s窗口 (hwnd=%p)", is_chart ? "波形" : "数值", window);
    if (!window) return;
    char16_t* piece = names;
    while (piece) {
        char16_t* end = piece;
        while (*end && *end != u',') end++;
        if (end == piece) break;  // an empty piece ends the list
        char16_t* next = *end ? end + 1 : nullptr;
        *end = 0;
        char name[512];
        to_utf8(piece, name, sizeof name);
        int id = h.leaf_find ? h.leaf_find(name) : -1;
        if (id >= 0) {
            if (is_chart && h.chart_add_var) h.chart_add_var(window, id);
            if (is_num && h.num_add_var) h.num_add_var(window, id);
            log_printf(LOG_INFO, "窗口添加变量: %s (id=%d)", name, id);
        }
        piece = next;
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Delayed actions
//-------------------------------------------------------------------------------------------------

namespace {

// Starts a detached thread; a thread that cannot be created means the action silently does not happen.
template <typename F>
void start_detached(F action) {
    try {
        std::thread(action).detach();
    } catch (...) {
    }
}

}  // namespace

void app_start_delayed_actions(const CommandLineOptions* o) {
    if (o->net_exit_ms > 0) {
        unsigned ms = (unsigned)o->net_exit_ms;
        start_detached([ms] {
            platform()->sleep_ms(ms);
            if (platform()->main_window_exists()) platform()->post_main(KX_WM_CLOSE, 0, 0);
        });
    }
    if (o->net_shot_at_path[0] && o->net_shot_at_ms > 0) {
        unsigned ms = (unsigned)o->net_shot_at_ms;
        char path[1024];
        to_utf8(o->net_shot_at_path, path, sizeof path);
        start_detached([ms, p = std::string(path)] {
            platform()->sleep_ms(ms);
            if (g_app_hooks.screenshot_current) g_app_hooks.screenshot_current(p.c_str());
        });
    }
    if (o->net_watchstop_ms > 0) {
        unsigned ms = (unsigned)o->net_watchstop_ms;
        start_detached([ms] {
            platform()->sleep_ms(ms);
            if (g_app_hooks.net_command) g_app_hooks.net_command(29, "", 0);
        });
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Start-up sequence
//-------------------------------------------------------------------------------------------------

namespace {

// Steps 20 to 28: the options that act once the window and the modules exist.
void run_command_line_steps(const CommandLineOptions* o) {
    const AppHooks& h = g_app_hooks;
    char text[1024];
    if (!o->no_layout) {
        if (o->layout_load_path) {
            to_utf8(o->layout_load_path, text, sizeof text);
            if (h.layout_load) h.layout_load(text);
        } else if (h.layout_load_default) {
            h.layout_load_default();
        }
    }
    if (o->elf_path) {
        to_utf8(o->elf_path, text, sizeof text);
        if (h.elf_load_path) h.elf_load_path(text);
    }
    if (o->select_leaf) {
        to_utf8(o->select_leaf, text, sizeof text);
        int rc = h.select_leaf ? h.select_leaf(text) : -1;
        log_printf(LOG_INFO, "命令行选中叶变量: %s (rc=%d)", text, rc);
    }
    if (o->net_set_address[0]) {
        char address[256], port[64];
        to_utf8(o->net_set_address, address, sizeof address);
        to_utf8(o->net_set_port, port, sizeof port);
        log_printf(LOG_INFO, "net-set 钩子: %s:%s", address, port[0] ? port : "(空)");
        if (h.set_toolbar_net_address) h.set_toolbar_net_address(address, port);
    }
    if (o->replay_path[0]) {
        to_utf8(o->replay_path, text, sizeof text);
        if (h.replay_start && h.replay_start(text) == 0 && h.start_replay_timer) h.start_replay_timer();
    }
    if (o->replay_all_path[0]) {
        to_utf8(o->replay_all_path, text, sizeof text);
        if (h.replay_all) h.replay_all(text);
    }
    if (!o->no_layout && o->layout_save_path) {
        to_utf8(o->layout_save_path, text, sizeof text);
        if (h.layout_save) h.layout_save(text);
    }
    if (o->net_listen_port >= 0 && h.net_command) h.net_command(20, "127.0.0.1", o->net_listen_port);

    if (o->net_connect_host[0]) {
        const Platform* p = platform();
        char host[64];
        to_utf8(o->net_connect_host, host, sizeof host);
        auto net = [&h](int code, const char* t, int port) { if (h.net_command) h.net_command(code, t, port); };
        net(21, host, o->net_connect_port);
        if (o->net_sync) {
            p->sleep_ms(300);
            net(23, "", 0);
            net(25, "", 0);
            p->sleep_ms(500);
            net(23, "", 0);
        }
        if (o->watch_list[0]) apply_watch_option(o->watch_list);
        if (o->window_spec[0]) apply_window_option(o->window_spec);
        if (o->net_watch) { p->sleep_ms(300); net(26, "", 0); }
        if (o->net_write_name[0]) { p->sleep_ms(300); net(27, o->net_write_name, 0); }
        if (o->net_download) { p->sleep_ms(300); net(28, "", 0); }
    } else {
        if (o->watch_list[0]) apply_watch_option(o->watch_list);
        if (o->window_spec[0]) apply_window_option(o->window_spec);
    }
}

}  // namespace

int app_run(char16_t* command_line, int show_command) {
    const AppHooks& h = g_app_hooks;
    app_settings_reset();
    command_line_clear(&g_app_options);
    if (h.create_sample_lock) h.create_sample_lock();

    char16_t log_path[260];
    if (command_line_log_path(command_line, log_path, 260) == 0) log_set_override_path(log_path);
    log_open_file();
    if (h.crash_filter_install) h.crash_filter_install();
    log_printf(LOG_INFO, "Kestrelix 启动 (version %s)", KX_VERSION_TEXT);

    if (h.host_api_fill) h.host_api_fill();
    if (h.init_common_controls) h.init_common_controls();
    if (h.register_window_classes) h.register_window_classes();
    // --no-layout keeps the user's layout file out of this run entirely, the theme read included.
    if (command_line_has_flag(command_line, "--no-layout") && h.layout_default_off) h.layout_default_off();
    if (h.theme_load_setting) h.theme_load_setting();
    if (!h.create_main_window || h.create_main_window() != 0) return 1;
    log_set_sink(log_to_panel);
    if (h.modules_load) h.modules_load();
    if (h.update_command_states) h.update_command_states();
    if (h.rebuild_window_menu) h.rebuild_window_menu();
    if (h.probe_fill_toolbar) h.probe_fill_toolbar();
    if (h.show_main_window) h.show_main_window(show_command);
    if (h.theme_apply) h.theme_apply();

    parse_command_line(command_line, &g_app_options);
    if (g_app_options.net_key[0] && h.net_key_set) h.net_key_set(g_app_options.net_key);
    run_command_line_steps(&g_app_options);
    app_start_delayed_actions(&g_app_options);

    if (h.create_accelerators) h.create_accelerators();
    int quit_value = h.run_message_loop ? h.run_message_loop() : 0;
    if (h.destroy_accelerators) h.destroy_accelerators();
    if (h.delete_sample_lock) h.delete_sample_lock();
    return quit_value;
}
