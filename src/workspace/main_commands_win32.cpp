// main_commands_win32.cpp - open-ELF dialog, record switch, replay-all and stop replay.
#include "workspace/main_commands_win32.h"

#include <commdlg.h>

#include "core/app.h"
#include "core/log.h"
#include "core/text.h"
#include "numeric/num_window_win32.h"
#include "recording/recording.h"
#include "recording/recording_win32.h"
#include "recording/replay.h"
#include "vartable/leaf_load.h"
#include "workspace/main_status_win32.h"
#include "workspace/layout.h"
#include "workspace/main_window_win32.h"
#include "workspace/theme_win32.h"
#include "workspace/toolbar_win32.h"
#include "workspace/workspace.h"

namespace {

enum : UINT_PTR { TIMER_REPLAY_STEP = 2 };
enum : DWORD { PATH_UNITS = 1024 };

// The record button's text changes with the switch: states, then the whole layout (the toolbar
// row may wrap differently).
void refresh_after_record() {
    update_command_states();
    main_window_relayout();
}

void open_elf_dialog(HWND main) {
    wchar_t file[PATH_UNITS] = L"";
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = main;
    ofn.lpstrFilter = L"ELF 文件\0*.elf;*.axf;*.out\0所有文件\0*.*\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = PATH_UNITS;
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
    if (GetOpenFileNameW(&ofn) && file[0]) elf_load_command((const char16_t*)file);
}

// The waveform windows replay hands its envelopes to: those of the built-in tabs, in tab order.
enum : int32_t { REPLAY_WINDOWS_MAX = WORKSPACE_MAX_TABS * WORKSPACE_MAX_WINDOWS };

int32_t replay_window_count() {
    void* windows[REPLAY_WINDOWS_MAX];
    return workspace_windows_of_kind("chart", windows, REPLAY_WINDOWS_MAX);
}

void* replay_window_at(int32_t index) {
    void* windows[REPLAY_WINDOWS_MAX];
    int32_t n = workspace_windows_of_kind("chart", windows, REPLAY_WINDOWS_MAX);
    return index >= 0 && index < n ? windows[index] : nullptr;
}

// The numeric windows of every tab take a loaded recording's extremes into their rows.
void replay_show_extremes() {
    void* windows[REPLAY_WINDOWS_MAX];
    const int32_t n = workspace_windows_of_kind("num", windows, REPLAY_WINDOWS_MAX);
    for (int32_t i = 0; i < n; i++) num_fold_recording((HWND)windows[i]);
}

void kill_replay_timer() {
    if (HWND main = main_window_handle()) KillTimer(main, TIMER_REPLAY_STEP);
}

// Layout files chosen by the user: "保存布局为..." (2021) and "加载布局..." (2022).
bool choose_layout_file(HWND main, bool saving, wchar_t* file) {
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = main;
    ofn.lpstrFilter = L"布局文件\0*.ini;*.layout\0所有文件\0*.*\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = PATH_UNITS;
    ofn.lpstrDefExt = L"ini";
    ofn.Flags = OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY |
                (saving ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
    return saving ? GetSaveFileNameW(&ofn) != 0 : GetOpenFileNameW(&ofn) != 0;
}

void layout_file_command(HWND main, bool saving) {
    wchar_t file[PATH_UNITS] = L"";
    if (saving) lstrcpyW(file, L"layout.ini");
    if (!choose_layout_file(main, saving, file)) return;
    char path[PATH_UNITS * 3];
    utf16_to_utf8((const char16_t*)file, path, sizeof path);
    if (saving) layout_save(path);
    else layout_load(path);
}

// "深色模式" (2701): the other theme for every window at once, the saved layout and the log line
// (the menu's check mark is set whenever the menu opens).
void toggle_theme() {
    theme_set(theme_is_dark() ? 0 : 1);
    layout_save_default();
    log_printf(LOG_INFO, "界面主题: %s", theme_is_dark() ? "深色" : "白色");
}

void start_replay_timer() {
    if (HWND main = main_window_handle()) SetTimer(main, TIMER_REPLAY_STEP, 10, nullptr);
}

// --net-set=: the toolbar's address field and, when given, its port field.
void set_toolbar_net_address(const char* address, const char* port) {
    HWND main = main_window_handle();
    if (!main) return;
    char16_t wide[128];
    utf8_to_utf16(address, wide, 128);
    SetDlgItemTextW(main, 2110, (const wchar_t*)wide);
    if (port && port[0]) {
        utf8_to_utf16(port, wide, 128);
        SetDlgItemTextW(main, 2111, (const wchar_t*)wide);
    }
}

}  // namespace

void main_commands_install() {
    g_app_hooks.replay_start = replay_start;
    g_app_hooks.start_replay_timer = start_replay_timer;
    g_app_hooks.replay_all = replay_all_command;
    g_app_hooks.set_toolbar_net_address = set_toolbar_net_address;
    g_replay_chart_hooks.window_count = replay_window_count;
    g_replay_chart_hooks.window_at = replay_window_at;
    g_replay_chart_hooks.kill_replay_timer = kill_replay_timer;
    g_replay_chart_hooks.show_extremes = replay_show_extremes;
    recording_install_hooks();
    recording_win32_install();
    g_recording_ui_hooks.refresh_toolbar = refresh_after_record;
}

bool main_route_command(HWND main, int id) {
    switch (id) {
        case 2001: open_elf_dialog(main); return true;
        case 2006:
        case 2007:
            recording_command();
            refresh_after_record();
            return true;
        case 2008: replay_all_command_with_dialog(); return true;
        case 2009: replay_stop_command(); return true;
        case 2021: layout_file_command(main, true); return true;
        case 2022: layout_file_command(main, false); return true;
        case 2701: toggle_theme(); return true;
        default: return false;
    }
}

bool main_forward_wheel(HWND main, UINT msg, WPARAM wp, LPARAM lp) {
    // A window that does not take the wheel passes it up to its parent and so back here: the
    // guard ends that round instead of forwarding it again.
    static bool forwarding;
    if ((msg != WM_MOUSEWHEEL && msg != WM_MOUSEHWHEEL) || forwarding) return false;
    POINT pt = {(short)LOWORD(lp), (short)HIWORD(lp)};
    HWND target = WindowFromPoint(pt);
    if (!target || target == main || !IsChild(main, target)) return false;
    forwarding = true;
    SendMessageW(target, msg, wp, lp);
    forwarding = false;
    return true;
}
