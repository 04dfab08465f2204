// app.h - process-wide settings, the start-up sequence and the automation options.
//
// The start-up order is portable and lives here; every step that needs a window, a module or a
// later subsystem is reached through AppHooks, which the Win32 shell (and, as they are built,
// the other subsystems) fill. Tests fill them with recorders to check the order.
#pragma once
#include <cstdint>

#include "core/command_line.h"

// Process-wide settings set before anything else at start-up.
struct AppSettings {
    int var_panel_width;      // pixels
    int msg_panel_height;     // pixels
    int probe_speed_khz;      // probe clock
};

// Steps of start-up that belong to the window shell or to other subsystems. A null entry is a
// step whose subsystem is not part of this build yet; the call site stays in its place.
struct AppHooks {
    void (*create_sample_lock)();
    void (*delete_sample_lock)();
    void (*crash_filter_install)();
    void (*host_api_fill)();
    void (*init_common_controls)();
    void (*register_window_classes)();
    void (*layout_default_off)();                // --no-layout: the user's layout file is left alone
    void (*theme_load_setting)();
    int (*create_main_window)();                 // 0 created, -1 failed
    void (*modules_load)();
    void (*update_command_states)();
    void (*rebuild_window_menu)();
    void (*probe_fill_toolbar)();
    void (*show_main_window)(int show_command);  // show and paint at once
    void (*theme_apply)();
    int (*layout_load)(const char* path);
    int (*layout_load_default)();
    int (*layout_save)(const char* path);
    int (*elf_load_path)(const char* path);
    int (*select_leaf)(const char* name);        // 0 found and selected, -1 not found
    void (*set_toolbar_net_address)(const char* address, const char* port);  // port may be empty
    int (*replay_start)(const char* path);
    void (*start_replay_timer)();                // main-window timer 2, 10 ms
    void (*replay_all)(const char* path);
    int (*net_command)(int code, const char* text, int port);
    void (*net_key_set)(const char* key);       // --net-key=: before the layout's remembered key
    int (*leaf_find)(const char* name);
    void (*leaf_watch_flag_set)(int leaf_id);    // one atomic exchange to 1
    void (*tree_set_leaf_check)(int leaf_id, int checked);
    void (*watch_recount)();                     // recount over the whole table, store as watch count
    void* (*create_hosted_window)(int tab, const char* kind, const char* title);
    int (*chart_add_var)(void* window, int leaf_id);
    int (*num_add_var)(void* window, int leaf_id);
    void (*screenshot_current)(const char* path);
    void (*create_accelerators)();
    int (*run_message_loop)();                   // returns the quit message's value
    void (*destroy_accelerators)();
};

extern AppSettings g_app_settings;
// The options of this run (shot_prefix and rename_tab are read whenever a tab is created).
extern CommandLineOptions g_app_options;
// The hooks in force; the shell fills them before app_run.
extern AppHooks g_app_hooks;

// Runs the start-up sequence and the message loop; returns the process exit code.
// `command_line` is the UTF-16 text after the program name; it is split in place.
int app_run(char16_t* command_line, int show_command);

// Ticks leaves by name from a comma-separated list (--watch=).
void apply_watch_option(const char16_t* list);
// Creates a window from "kind,name,name..." and fills it (--net-win=).
void apply_window_option(const char16_t* window_list);
// Starts the delayed actions of --net-exit=, --net-shot-at= and --net-watchstop=.
void app_start_delayed_actions(const CommandLineOptions* options);
