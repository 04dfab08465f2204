// flash_dialog_win32.cpp - the "烧录 / 擦除" dialog (class KXDlgFlash): collects the parameters
// and hands them to flash_program / flash_erase.
#include <windows.h>
#include <commdlg.h>

#include "acquisition/flash.h"
#include "acquisition/flash_dialog_win32.h"
#include "workspace/theme_win32.h"
#include "acquisition/probe.h"
#include "core/platform_win32.h"
#include "core/text.h"

namespace {

const wchar_t kFlashClass[] = L"KXDlgFlash";

// Child control ids of the dialog.
enum : int {
    ID_FILE = 2501, ID_BROWSE = 2502, ID_BASE = 2503, ID_DEVICE = 2504, ID_ERASE_FIRST = 2505,
    ID_VERIFY = 2506, ID_RESET_RUN = 2507, ID_PROGRAM = 2508, ID_ERASE = 2509, ID_CLOSE = 2510,
    ID_STATUS = 2511,
};

HWND g_dialog;

HWND add_child(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h, int id,
               DWORD ex_style = 0) {
    HWND c = CreateWindowExW(ex_style, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                             (HMENU)(INT_PTR)id, GetModuleHandleW(nullptr), nullptr);
    SendMessageW(c, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), TRUE);
    return c;
}

void set_status(const char* text) {
    char16_t wide[128];
    utf8_to_utf16(text, wide, 128);
    SetDlgItemTextW(g_dialog, ID_STATUS, (const wchar_t*)wide);
}

void refresh_toolbar() {
    if (g_probe_hooks.refresh_status_and_toolbar) g_probe_hooks.refresh_status_and_toolbar();
}

const FlashUi kUi = {set_status, refresh_toolbar};

// The base-address field follows the file name: enabled for .bin files only.
void update_base_field(HWND dlg) {
    wchar_t path[260];
    GetDlgItemTextW(dlg, ID_FILE, path, 260);
    EnableWindow(GetDlgItem(dlg, ID_BASE), flash_path_is_bin((const char16_t*)path));
}

void read_form(HWND dlg, FlashForm* form) {
    *form = FlashForm{};
    GetDlgItemTextW(dlg, ID_FILE, (wchar_t*)form->path, 260);
    wchar_t text[128];
    GetDlgItemTextW(dlg, ID_BASE, text, 64);
    utf16_to_utf8((const char16_t*)text, form->base_text, sizeof form->base_text);
    GetDlgItemTextW(dlg, ID_DEVICE, text, 128);
    utf16_to_utf8((const char16_t*)text, form->device, sizeof form->device);
    form->erase_first = IsDlgButtonChecked(dlg, ID_ERASE_FIRST) == BST_CHECKED;
    form->verify = IsDlgButtonChecked(dlg, ID_VERIFY) == BST_CHECKED;
    form->reset_and_run = IsDlgButtonChecked(dlg, ID_RESET_RUN) == BST_CHECKED;
}

void browse(HWND dlg) {
    wchar_t path[260] = L"";
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = dlg;
    ofn.lpstrFilter = L"固件文件\0*.elf;*.out;*.hex;*.bin\0ELF/OUT\0*.elf;*.out\0Intel HEX\0*.hex\0Binary\0*.bin\0"
                      L"所有文件\0*.*\0";
    ofn.lpstrFile = path;
    ofn.nMaxFile = 260;
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_EXPLORER;
    if (!GetOpenFileNameW(&ofn)) return;
    SetDlgItemTextW(dlg, ID_FILE, path);
    update_base_field(dlg);
    set_status("已选择固件文件");
}

void create_controls(HWND dlg, const wchar_t* device) {
    add_child(dlg, L"STATIC", L"固件文件", 0, 12, 16, 70, 20, -1);
    add_child(dlg, L"EDIT", L"", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 88, 12, 316, 24, ID_FILE);
    add_child(dlg, L"BUTTON", L"浏览…", WS_TABSTOP | BS_PUSHBUTTON, 412, 12, 84, 24, ID_BROWSE);
    add_child(dlg, L"STATIC", L"BIN 基址", 0, 12, 52, 70, 20, -1);
    HWND base = add_child(dlg, L"EDIT", L"0x08000000", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 88, 48, 110, 24,
                          ID_BASE);
    EnableWindow(base, FALSE);
    add_child(dlg, L"STATIC", L"器件名", 0, 214, 52, 60, 20, -1);
    HWND combo = add_child(dlg, L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL, 280, 48,
                           216, 240, ID_DEVICE);
    for (int i = 0; i < FLASH_PRESET_COUNT; i++) {
        char16_t wide[64];
        utf8_to_utf16(flash_device_preset(i), wide, 64);
        SendMessageW(combo, CB_ADDSTRING, 0, (LPARAM)wide);
    }
    SetWindowTextW(combo, device);
    const wchar_t* boxes[3] = {L"下载前整片擦除", L"下载后校验", L"完成后复位运行"};
    for (int i = 0; i < 3; i++) {
        add_child(dlg, L"BUTTON", boxes[i], WS_TABSTOP | BS_AUTOCHECKBOX, 12 + i * 162, 88, 156, 22,
                  ID_ERASE_FIRST + i);
        CheckDlgButton(dlg, ID_ERASE_FIRST + i, BST_CHECKED);
    }
    add_child(dlg, L"STATIC", L"支持 .elf / .out / .hex / .bin；J-Link 烧录请填写带 Flash 算法的器件名", 0, 12, 122,
              484, 36, -1);
    add_child(dlg, L"BUTTON", L"下载烧录", WS_TABSTOP | BS_DEFPUSHBUTTON, 12, 166, 110, 28, ID_PROGRAM);
    add_child(dlg, L"BUTTON", L"仅擦除芯片", WS_TABSTOP | BS_PUSHBUTTON, 132, 166, 110, 28, ID_ERASE);
    add_child(dlg, L"BUTTON", L"关闭", WS_TABSTOP | BS_PUSHBUTTON, 386, 166, 110, 28, ID_CLOSE);
    add_child(dlg, L"STATIC", L"就绪", SS_LEFTNOWORDWRAP, 12, 212, 484, 22, ID_STATUS, WS_EX_STATICEDGE);
}

LRESULT CALLBACK flash_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT themed = 0;
    if (theme_dialog_message(hwnd, msg, wp, lp, &themed)) return themed;
    switch (msg) {
        case WM_CREATE:
            g_dialog = hwnd;
            create_controls(hwnd, (const wchar_t*)((CREATESTRUCTW*)lp)->lpCreateParams);
            return 0;
        case WM_COMMAND: {
            int id = LOWORD(wp);
            FlashForm form;
            if (id == ID_FILE && HIWORD(wp) == EN_CHANGE) update_base_field(hwnd);
            else if (id == ID_BROWSE) browse(hwnd);
            else if (id == ID_PROGRAM || id == IDOK) {
                read_form(hwnd, &form);
                flash_program(&form, &kUi);
            } else if (id == ID_ERASE) {
                read_form(hwnd, &form);
                flash_erase(&form, &kUi);
            } else if (id == ID_CLOSE || id == IDCANCEL) {
                DestroyWindow(hwnd);
            }
            return 0;
        }
        case WM_CLOSE: DestroyWindow(hwnd); return 0;
        case WM_DESTROY: g_dialog = nullptr; return 0;
        default: break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

void flash_dialog_register_class() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = flash_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = kFlashClass;
    RegisterClassExW(&wc);
}

void flash_dialog_run() {
    if (g_dialog) {
        SetForegroundWindow(g_dialog);
        return;
    }
    flash_dialog_register_class();
    HWND owner = platform_win32_main_window();
    // Initial device: the toolbar core list's selection, else the first preset.
    const char* core = probe_core_name(g_probe_toolbar.core_selected);
    char16_t device[128];
    utf8_to_utf16(core ? core : "STM32F303RC", device, 128);
    RECT want = {0, 0, 520, 300};
    AdjustWindowRectEx(&want, WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_DLGMODALFRAME);
    int w = want.right - want.left, h = want.bottom - want.top;
    int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
    HWND dlg = CreateWindowExW(WS_EX_DLGMODALFRAME, kFlashClass, L"烧录 / 擦除", WS_CAPTION | WS_SYSMENU | WS_VISIBLE,
                               x, y, w, h, owner, nullptr, GetModuleHandleW(nullptr), device);
    if (!dlg) return;
    if (owner) EnableWindow(owner, FALSE);
    HWND previous_box_owner = platform_win32_set_box_owner(dlg);
    MSG msg;
    while (g_dialog && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(dlg, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    platform_win32_set_box_owner(previous_box_owner);
    if (owner) {
        EnableWindow(owner, TRUE);
        SetForegroundWindow(owner);
    }
    if (msg.message == WM_QUIT) PostQuitMessage((int)msg.wParam);
}
