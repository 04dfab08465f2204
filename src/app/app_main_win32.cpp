// app_main_win32.cpp - the program entry: fills the start-up hooks with the Win32 shell's steps,
// then runs the portable start-up sequence and the message loop.
#include <windows.h>
#include <commctrl.h>

#include "core/app.h"
#include "core/crash_win32.h"
#include "core/log.h"
#include "core/platform_win32.h"
#include "acquisition/acquisition.h"
#include "recording/recording.h"
#include "recording/replay.h"
#include "acquisition/flash_dialog_win32.h"
#include "acquisition/probe.h"
#include "chart/chart_window_win32.h"
#include "modules/host_backend.h"
#include "modules/host_backend_core.h"
#include "modules/modules.h"
#include "modules/modules_win32.h"
#include "network/net_command.h"
#include "network/net_fields_win32.h"
#include "network/net_key.h"
#include "numeric/num_window_win32.h"
#include "vartable/leaf_load.h"
#include "vartable/leaf_table.h"
#include "vartable/tree_model.h"
#include "workspace/dialogs_win32.h"
#include "workspace/help_win32.h"
#include "workspace/layout.h"
#include "workspace/layout_win32.h"
#include "workspace/theme.h"
#include "workspace/main_window_win32.h"
#include "workspace/toolbar_win32.h"
#include "workspace/variable_tree_win32.h"
#include "workspace/workspace_win32.h"

#ifdef KX_CRASH_TEST
#include "crashtest_fault.h"  // tests/crash, on the crash-test build's include path
#endif

// Tab rename edit box (open while a tab is being renamed) and its key handler; filled by the tab
// control when it exists (workspace_win32.h).
HWND g_rename_edit;
void (*g_rename_key)(int virtual_key);

namespace {

HINSTANCE g_instance;
HACCEL g_accelerators;

void init_common_controls() {
    INITCOMMONCONTROLSEX icc = {sizeof icc, 0xFF};
    InitCommonControlsEx(&icc);
}

void register_window_classes() {
    // Waveform, numeric, dialog and help window classes register here as they are built.
    chart_register_class();
    num_register_class();
    main_window_register_class();
    help_register_class();
}

int create_main_window() {
    HWND hwnd = main_window_create();
    return hwnd ? 0 : -1;
}

void show_main_window(int show_command) {
    HWND hwnd = platform_win32_main_window();
    ShowWindow(hwnd, show_command);
    UpdateWindow(hwnd);
}

void create_accelerators() {
    ACCEL table[2] = {{FVIRTKEY, VK_F1, 2702}, {FVIRTKEY | FCONTROL, 'F', 2703}};
    g_accelerators = CreateAcceleratorTableW(table, 2);
}

void destroy_accelerators() {
    if (g_accelerators) DestroyAcceleratorTable(g_accelerators);
    g_accelerators = nullptr;
}

int run_message_loop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (g_rename_edit && msg.hwnd == g_rename_edit && msg.message == WM_KEYDOWN &&
            (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE) && g_rename_key) {
            g_rename_key((int)msg.wParam);
            continue;
        }
        HWND main = platform_win32_main_window();
        if (!main || !TranslateAcceleratorW(main, g_accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return (int)msg.wParam;
}

// Host services: backend first, then the table every module receives.
void fill_host_api() {
    host_backend_install_core();
    host_api_fill();
}

void load_modules() {
    modules_install_win32_loader();
    modules_load();
}

void notify_window_modules(int code) { modules_notify_window_modules(code); }

// The connection flag as acquisition and the firmware load command read it (1 = connected).
int probe_connected_flag() { return g_probe_state.connected != 0 ? 1 : 0; }
int probe_network_channel() { return g_probe_state.network_channel != 0 ? 1 : 0; }
int acquisition_running() { return acquisition_state() == ACQ_RUNNING ? 1 : 0; }

void fill_probe_toolbar() {
    toolbar_install_probe_hooks();
    g_probe_hooks.acquisition_running = acquisition_running;
    g_probe_hooks.acquisition_stop = acquisition_stop;
    probe_fill_toolbar();
}

}  // namespace

// The close, destroy and command steps of subsystems that are not in this build yet.
void main_window_close_hook() {
    recording_offer_save_before_exit();  // an unsaved recording is offered before the cache goes
    layout_save_default();
}
void main_window_destroy_hook() {
    acquisition_shutdown();  // the polling thread must not call a driver that is being unloaded
    replay_stop();
    recording_shutdown();
    modules_unload();
}
void main_window_refresh_hook() {
    if (g_probe_hooks.refresh_status_and_toolbar) g_probe_hooks.refresh_status_and_toolbar();
}
void main_window_command_hook(int id) {
#ifdef KX_CRASH_TEST
    if (crashtest_command(id)) return;  // the crash-test build's deliberate fault
#endif
    // Network menu and toolbar commands; start and stop act on the peer in the network channel.
    if (int32_t code = net_command_code_for_id(id)) return net_user_command(code);
    if ((id == 2004 || id == 2005) && g_probe_state.network_channel)
        return net_user_command(id == 2004 ? KX_NET_SEND_WATCH_LIST : KX_NET_STOP_SENDING);
    if (toolbar_probe_command(id)) return;
    if (id == 2015 || id == 2030) flash_dialog_run();
    else if (id == 2004) acquisition_start_command();
    else if (id == 2005) acquisition_stop_command();
}

int app_main(HINSTANCE instance, wchar_t* command_line, int show_command) {
    g_instance = instance;
    platform_win32_install();
    AppHooks& h = g_app_hooks;
    h.crash_filter_install = crash_filter_install;
    h.init_common_controls = init_common_controls;
    h.register_window_classes = register_window_classes;
    h.create_main_window = create_main_window;
    h.show_main_window = show_main_window;
    h.create_accelerators = create_accelerators;
    h.run_message_loop = run_message_loop;
    h.destroy_accelerators = destroy_accelerators;
    h.elf_load_path = elf_load_path_utf8;
    h.theme_load_setting = theme_load_setting;
    layout_install_win32();
    h.leaf_find = leaf_find;
    h.leaf_watch_flag_set = leaf_watch_flag_set;
    h.watch_recount = leaf_watch_recount;
    h.host_api_fill = fill_host_api;
    h.modules_load = load_modules;
    h.probe_fill_toolbar = fill_probe_toolbar;
    g_vartable_hooks.notify_window_modules = notify_window_modules;
    // Variable tree and its dialogs.
    h.select_leaf = tree_select_leaf_utf8;
    h.tree_set_leaf_check = tree_set_leaf_check_hook;
    g_vartable_hooks.tree_rebuild = tree_rebuild;
    g_tree_hooks.refresh_status = main_window_refresh_hook;
    g_host_backend.pick_dialog = host_pick_dialog;
    g_vartable_hooks.probe_connected = probe_connected_flag;
    acquisition_install_firmware_hooks();  // a reload while acquiring stops and restarts it
    g_acquisition_hooks.probe_connected = probe_connected_flag;
    g_acquisition_hooks.network_channel = probe_network_channel;
    // Network remote operation.
    h.net_command = net_command;
    h.net_key_set = net_key_set;
    g_probe_hooks.net_user_command = net_user_command;
    net_fields_install_win32();
    return app_run((char16_t*)command_line, show_command);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR command_line, int show_command) {
    return app_main(instance, command_line, show_command);
}
