// main_status_win32.cpp - writes the computed status texts and button states into the controls.
#include "workspace/main_status_win32.h"

#include <windows.h>
#include <commctrl.h>

#include "core/platform_win32.h"
#include "core/text.h"
#include "workspace/main_status.h"
#include "workspace/main_window_win32.h"

namespace {

enum : int { ID_STATUS_BAR = 3002, ID_RECORD = 2006 };

}  // namespace

void update_status_bar() {
    HWND main = platform_win32_main_window();
    HWND bar = main ? GetDlgItem(main, ID_STATUS_BAR) : nullptr;
    if (!bar) return;
    StatusInputs in;
    char connection[STATUS_TEXT_CAPACITY];
    status_inputs_current(&in, connection, sizeof connection);
    StatusTexts texts;
    status_bar_texts(&in, &texts);
    for (int i = 0; i < STATUS_PART_COUNT; i++) {
        char16_t wide[STATUS_TEXT_CAPACITY];
        utf8_to_utf16(texts.parts[i], wide, STATUS_TEXT_CAPACITY);
        SendMessageW(bar, SB_SETTEXTW, (WPARAM)i, (LPARAM)wide);
    }
}

void update_command_states() {
    HWND main = platform_win32_main_window();
    if (!main) return;
    CommandInputs in;
    command_inputs_current(&in);
    CommandStates states;
    command_states_compute(&in, &states);
    for (const CommandStates::Button& b : states.buttons) {
        HWND button = GetDlgItem(main, b.id);
        if (button) EnableWindow(button, b.enabled ? TRUE : FALSE);
    }
    HWND record = GetDlgItem(main, ID_RECORD);
    if (!record) return;
    char16_t wanted[32];
    utf8_to_utf16(states.record_text, wanted, 32);
    wchar_t shown[32];
    GetWindowTextW(record, shown, 32);
    if (lstrcmpW(shown, (const wchar_t*)wanted) != 0) {
        SetWindowTextW(record, (const wchar_t*)wanted);
        main_window_relayout();
    }
}
