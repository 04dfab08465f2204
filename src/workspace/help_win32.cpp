// help_win32.cpp - the help window "KXHelpWin": the embedded user manual in a read-only field.
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "core/log.h"
#include "workspace/help_text.h"
#include "workspace/theme_win32.h"
#include "workspace/help_win32.h"

namespace {

const wchar_t kHelpClass[] = L"KXHelpWin";
HWND g_help_window;

// The manual resource (RCDATA 100) as UTF-16 with CR LF line ends; empty when missing.
std::u16string load_manual() {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(100), (LPCWSTR)RT_RCDATA);
    if (!found) return std::u16string();
    DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes || size == 0) return std::u16string();
    return help_text_from_utf8((const uint8_t*)bytes, size);
}

LRESULT CALLBACK help_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT themed = 0;
    if (theme_dialog_message(hwnd, msg, wp, lp, &themed)) return themed;
    HWND edit = GetDlgItem(hwnd, 1);
    switch (msg) {
        case WM_CREATE: {
            HWND field = CreateWindowExW(0, L"EDIT", L"",
                                         WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY |
                                             ES_AUTOVSCROLL,
                                         0, 0, 100, 100, hwnd, (HMENU)1, GetModuleHandleW(nullptr), nullptr);
            SendMessageW(field, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), TRUE);
            std::u16string text = load_manual();
            if (text.empty()) text = u"（帮助资源缺失：请确认安装包完整）";
            SendMessageW(field, EM_SETLIMITTEXT, 0, 0);
            SetWindowTextW(field, (const wchar_t*)text.c_str());
            return 0;
        }
        case WM_SIZE:
            if (edit) MoveWindow(edit, 0, 0, LOWORD(lp), HIWORD(lp), TRUE);
            return 0;
        case WM_SETFOCUS:
            if (edit) SetFocus(edit);
            return 0;
        case WM_KEYDOWN:
            if (wp == VK_ESCAPE || wp == VK_F1) {
                DestroyWindow(hwnd);
                return 0;
            }
            break;
        case WM_DESTROY:
            g_help_window = nullptr;
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// The read-only field gets the keys; Escape and F1 still close the window.
LRESULT CALLBACK help_edit_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
    if (msg == WM_KEYDOWN && (wp == VK_ESCAPE || wp == VK_F1)) {
        DestroyWindow(GetParent(hwnd));
        return 0;
    }
    return DefSubclassProc(hwnd, msg, wp, lp);
}

}  // namespace

void help_register_class() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = help_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    wc.hIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1));
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = kHelpClass;
    RegisterClassExW(&wc);
}

void help_show(HWND owner) {
    if (g_help_window && IsWindow(g_help_window)) {
        SetForegroundWindow(g_help_window);
        BringWindowToTop(g_help_window);
        return;
    }
    const int width = 760, height = 580;
    int x = CW_USEDEFAULT, y = CW_USEDEFAULT;
    RECT r;
    if (owner && GetWindowRect(owner, &r)) {
        x = r.left + ((r.right - r.left) - width) / 2;
        y = r.top + ((r.bottom - r.top) - height) / 2;
        if (x < 0) x = 0;
        if (y < 0) y = 0;
    }
    g_help_window = CreateWindowExW(WS_EX_DLGMODALFRAME, kHelpClass, L"Kestrelix 帮助 — 用户说明书",
                                    WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_VISIBLE, x, y, width,
                                    height, owner, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!g_help_window) return;
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1));
    SendMessageW(g_help_window, WM_SETICON, ICON_BIG, (LPARAM)icon);
    SendMessageW(g_help_window, WM_SETICON, ICON_SMALL, (LPARAM)icon);
    SetWindowSubclass(GetDlgItem(g_help_window, 1), help_edit_proc, 1, 0);
    ShowWindow(g_help_window, SW_SHOW);
    SetForegroundWindow(g_help_window);
    log_printf(LOG_INFO, "帮助文档已打开 (F1)");
}

HWND help_window() { return g_help_window; }
