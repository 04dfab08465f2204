// recording_win32.cpp - the save dialog of the record command and the open dialog of the
// replay-all command.
#include "recording/recording_win32.h"

#include <windows.h>
#include <commdlg.h>

#include "chart/chart.h"
#include "core/text.h"
#include "recording/recording.h"
#include "recording/replay.h"
#include "workspace/main_window_win32.h"
#include "workspace/toolbar_win32.h"

namespace {

enum : DWORD { DIALOG_PATH_UNITS = 1024 };

// The file dialog record both commands share, owned by the main window.
OPENFILENAMEW file_dialog(wchar_t* file, const wchar_t* filter, DWORD flags) {
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = main_window_handle();
    ofn.lpstrFilter = filter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = DIALOG_PATH_UNITS;
    ofn.Flags = flags | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
    return ofn;
}

// "data.csv" proposed, asks before overwriting; 1 with the UTF-8 path, 0 when cancelled.
int choose_save_path(char* out, size_t capacity) {
    wchar_t file[DIALOG_PATH_UNITS] = L"data.csv";
    OPENFILENAMEW ofn = file_dialog(file, L"CSV 文件\0*.csv\0所有文件\0*.*\0", OFN_OVERWRITEPROMPT);
    ofn.lpstrDefExt = L"csv";
    if (!GetSaveFileNameW(&ofn)) return 0;
    utf16_to_utf8((const char16_t*)file, out, capacity);
    return 1;
}

// Main-window timer 2 paces the step replay.
void kill_replay_timer() {
    HWND main = main_window_handle();
    if (main) KillTimer(main, 2);
}

// Every live waveform window (each one is hosted in a tab of built-in windows).
void* waveform_window_at(int32_t index) {
    ChartWindow* cw = chart_record_at(index);
    return cw ? cw->window : nullptr;
}

// The record button reads "录制" while the switch is off and "停止录制" while it is on; the row
// is placed again for the new width, then status bar and command states follow.
void refresh_record_button() {
    HWND main = main_window_handle();
    if (!main) return;
    HWND button = GetDlgItem(main, 2006);
    if (button) SetWindowTextW(button, recording_switch_on() ? L"停止录制" : L"录制");
    main_window_relayout();
    main_window_refresh_hook();
}

}  // namespace

void recording_win32_install() {
    g_recording_ui_hooks.choose_save_path = choose_save_path;
    if (!g_recording_ui_hooks.refresh_toolbar) g_recording_ui_hooks.refresh_toolbar = refresh_record_button;
    ReplayChartHooks& r = g_replay_chart_hooks;
    r.kill_replay_timer = kill_replay_timer;
    if (!r.window_count) r.window_count = chart_record_count;
    if (!r.window_at) r.window_at = waveform_window_at;
}

void replay_all_command_with_dialog() {
    wchar_t file[DIALOG_PATH_UNITS] = L"";
    OPENFILENAMEW ofn = file_dialog(file, L"CSV 记录\0*.csv\0所有文件\0*.*\0", OFN_FILEMUSTEXIST);
    if (!GetOpenFileNameW(&ofn)) return;
    char path[RECORDING_PATH_CAPACITY];
    utf16_to_utf8((const char16_t*)file, path, sizeof path);
    replay_all_command(path);
}
