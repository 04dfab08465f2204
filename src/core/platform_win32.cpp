// platform_win32.cpp - the Win32 implementation of the platform seam.
#include <windows.h>

#include "core/platform.h"
#include "core/platform_win32.h"
#include "core/text.h"

namespace {

HWND g_main_window;
HWND g_box_owner;  // a modal dialog that owns message boxes while it runs

int win_post_main(unsigned msg, uintptr_t wparam, intptr_t lparam) {
    HWND hwnd = g_main_window;
    if (!hwnd || !IsWindow(hwnd)) return -1;
    return PostMessageW(hwnd, msg, (WPARAM)wparam, (LPARAM)lparam) ? 0 : -1;
}

bool win_main_window_exists() { return g_main_window != nullptr && IsWindow(g_main_window); }

bool win_on_main_thread() {
    HWND hwnd = g_main_window;
    return hwnd && GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId();
}

int win_message_box(const char* text, const char* caption, unsigned flags) {
    char16_t wtext[2048], wcaption[256];
    utf8_to_utf16(text, wtext, 2048);
    utf8_to_utf16(caption, wcaption, 256);
    HWND owner = g_box_owner && IsWindow(g_box_owner) ? g_box_owner : g_main_window;
    return MessageBoxW(owner, (const wchar_t*)wtext, (const wchar_t*)wcaption, flags);
}

uint64_t win_tick_ms() { return GetTickCount64(); }

// System time in 100-ns units since 1601, less the 1601..1970 offset, in microseconds.
int64_t win_now_us() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    int64_t t = ((int64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    return (t - 116444736000000000LL) / 10;
}

void win_debug_output(const char16_t* text) {
    if (text) OutputDebugStringW((const wchar_t*)text);
}

void win_sleep_ms(unsigned ms) { Sleep(ms); }

Platform g_win_platform;

}  // namespace

void platform_win32_install() {
    g_win_platform = *platform_default();
    g_win_platform.post_main = win_post_main;
    g_win_platform.main_window_exists = win_main_window_exists;
    g_win_platform.on_main_thread = win_on_main_thread;
    g_win_platform.message_box = win_message_box;
    g_win_platform.tick_ms = win_tick_ms;
    g_win_platform.now_us = win_now_us;
    g_win_platform.debug_output_utf16 = win_debug_output;
    g_win_platform.sleep_ms = win_sleep_ms;
    platform_install(&g_win_platform);
}

void platform_win32_set_main_window(HWND hwnd) { g_main_window = hwnd; }
HWND platform_win32_main_window() { return g_main_window; }
HWND platform_win32_set_box_owner(HWND owner) {
    HWND previous = g_box_owner;
    g_box_owner = owner;
    return previous;
}
