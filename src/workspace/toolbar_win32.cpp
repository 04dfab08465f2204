// toolbar_win32.cpp - the toolbar row of the main window (controls 2001 to 2116) and the mirror
// between the probe controls and the core's ProbeToolbar record.
//
// Index
//   [SECTION] Control table and creation
//   [SECTION] Mirroring the probe record
//   [SECTION] Commands
#include <windows.h>
#include <commctrl.h>

#include <initializer_list>

#include "acquisition/probe.h"
#include "core/text.h"
#include "workspace/main_layout.h"
#include "workspace/main_status_win32.h"
#include "workspace/main_window_win32.h"
#include "workspace/theme_win32.h"
#include "workspace/toolbar_win32.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] Control table and creation
//-------------------------------------------------------------------------------------------------

namespace {

enum : int {
    ID_CHANNEL = 2106, ID_CORE = 2101, ID_IFACE = 2102, ID_SPEED = 2103, ID_PROBES = 2104, ID_REFRESH = 2105,
    ID_NET_ADDRESS = 2110, ID_NET_PORT = 2111, ID_STATUS_BAR = 3002,
};

// One control of the row: id, kind, initial text, fixed width (0 = measured button).
struct ToolbarControl {
    int id;
    enum Kind { BUTTON, DROPLIST, COMBO_EDIT, EDIT, EDIT_DIGITS } kind;
    const wchar_t* text;
    int width;
};

const ToolbarControl kControls[] = {
    {2001, ToolbarControl::BUTTON, L"打开ELF", 0},     {2002, ToolbarControl::BUTTON, L"连接", 0},
    {2003, ToolbarControl::BUTTON, L"断开", 0},        {2004, ToolbarControl::BUTTON, L"开始采集", 0},
    {2005, ToolbarControl::BUTTON, L"停止采集", 0},    {2006, ToolbarControl::BUTTON, L"录制", 0},
    {2015, ToolbarControl::BUTTON, L"烧录", 0},        {2008, ToolbarControl::BUTTON, L"离线回放", 0},
    {2009, ToolbarControl::BUTTON, L"停止回放", 0},    {ID_CHANNEL, ToolbarControl::DROPLIST, L"", 100},
    {ID_CORE, ToolbarControl::DROPLIST, L"", 118},     {ID_IFACE, ToolbarControl::DROPLIST, L"", 56},
    {ID_SPEED, ToolbarControl::COMBO_EDIT, L"", 80},   {ID_PROBES, ToolbarControl::DROPLIST, L"", 170},
    {ID_REFRESH, ToolbarControl::BUTTON, L"刷新", 48}, {ID_NET_ADDRESS, ToolbarControl::EDIT, L"127.0.0.1", 96},
    {ID_NET_PORT, ToolbarControl::EDIT_DIGITS, L"10000", 44}, {2112, ToolbarControl::BUTTON, L"监听", 0},
    {2115, ToolbarControl::BUTTON, L"上传ELF", 0},     {2116, ToolbarControl::BUTTON, L"下载ELF", 0},
};

HWND g_parent;

HWND control(int id) { return g_parent ? GetDlgItem(g_parent, id) : nullptr; }

// Pixel width of a text in the default GUI font ("?" for an empty text).
int text_width(HWND hwnd, const wchar_t* text) {
    HDC dc = GetDC(hwnd);
    HGDIOBJ old = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    SIZE size = {};
    const wchar_t* t = text && text[0] ? text : L"?";
    GetTextExtentPoint32W(dc, t, lstrlenW(t), &size);
    SelectObject(dc, old);
    ReleaseDC(hwnd, dc);
    return size.cx;
}

HWND create_one(HWND parent, const ToolbarControl& c) {
    DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
    const wchar_t* cls = WC_BUTTONW;
    DWORD ex = 0;
    switch (c.kind) {
        case ToolbarControl::BUTTON: style |= BS_PUSHBUTTON; break;
        case ToolbarControl::DROPLIST: cls = WC_COMBOBOXW; style |= CBS_DROPDOWNLIST | WS_VSCROLL; break;
        case ToolbarControl::COMBO_EDIT: cls = WC_COMBOBOXW; style |= CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL; break;
        case ToolbarControl::EDIT: cls = WC_EDITW; style |= ES_AUTOHSCROLL; ex = WS_EX_CLIENTEDGE; break;
        case ToolbarControl::EDIT_DIGITS: cls = WC_EDITW; style |= ES_NUMBER; ex = WS_EX_CLIENTEDGE; break;
    }
    HWND hwnd = CreateWindowExW(ex, cls, c.text, style, 0, 0, 10, 10, parent, (HMENU)(INT_PTR)c.id,
                                GetModuleHandleW(nullptr), nullptr);
    SendMessageW(hwnd, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), TRUE);
    return hwnd;
}

}  // namespace

void toolbar_create(HWND parent) {
    g_parent = parent;
    for (const ToolbarControl& c : kControls) {
        HWND hwnd = create_one(parent, c);
        if (c.kind == ToolbarControl::DROPLIST || c.kind == ToolbarControl::COMBO_EDIT) theme_combo(hwnd);
    }
    RECT rc;
    GetClientRect(parent, &rc);
    toolbar_layout(rc.right);
}

int toolbar_layout(int client_width) {
    constexpr int COUNT = (int)(sizeof kControls / sizeof kControls[0]);
    static_assert(COUNT <= (int)TOOLBAR_MAX_SLOTS, "toolbar slots");
    HWND hwnds[COUNT];
    ToolbarSlot slots[COUNT];
    int heights[COUNT];
    int n = 0;
    for (const ToolbarControl& c : kControls) {
        HWND hwnd = control(c.id);
        if (!hwnd) continue;
        bool list = c.kind == ToolbarControl::DROPLIST || c.kind == ToolbarControl::COMBO_EDIT;
        if (c.width > 0) {
            slots[n] = {c.width, c.width + 4};
        } else {
            wchar_t text[64];
            GetWindowTextW(hwnd, text, 64);
            int w = text_width(hwnd, text);
            slots[n] = {w + 14, w + 18};
        }
        heights[n] = list ? 120 : 22;  // a list's height includes its drop-down
        hwnds[n++] = hwnd;
    }
    int32_t xs[COUNT], ys[COUNT];
    int rows = toolbar_flow(slots, n, client_width, xs, ys);
    // No copied bits: when the row wraps, a control's old place is taken by another one at once,
    // and copying the old pixels along showed that other control's face inside this one.
    for (int i = 0; i < n; i++)
        SetWindowPos(hwnds[i], nullptr, xs[i], ys[i], slots[i].width, heights[i],
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS);
    return rows;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Mirroring the probe record
//-------------------------------------------------------------------------------------------------

namespace {

void fill_list(int id, const char* items, size_t stride, int count, int selected) {
    HWND hwnd = control(id);
    if (!hwnd) return;
    SendMessageW(hwnd, CB_RESETCONTENT, 0, 0);
    for (int i = 0; i < count; i++) {
        char16_t wide[256];
        utf8_to_utf16(items + (size_t)i * stride, wide, 256);
        SendMessageW(hwnd, CB_ADDSTRING, 0, (LPARAM)wide);
    }
    SendMessageW(hwnd, CB_SETCURSEL, (WPARAM)selected, 0);
}

void mirror_probe_record() {
    const ProbeToolbar& t = g_probe_toolbar;
    fill_list(ID_CHANNEL, t.channels[0], sizeof t.channels[0], t.channel_count, t.channel_selected);
    char cores[PROBE_CORE_COUNT][16];
    for (int i = 0; i < PROBE_CORE_COUNT; i++) text_copy(cores[i], sizeof cores[i], probe_core_name(i));
    fill_list(ID_CORE, cores[0], sizeof cores[0], PROBE_CORE_COUNT, t.core_selected);
    static const char kIfaces[2][8] = {"SWD", "JTAG"};
    fill_list(ID_IFACE, kIfaces[0], sizeof kIfaces[0], 2, t.iface_selected);
    fill_list(ID_SPEED, t.speeds[0], sizeof t.speeds[0], t.speed_count, t.speed_selected);
    char16_t speed[64];
    utf8_to_utf16(t.speed_text, speed, 64);
    SetWindowTextW(control(ID_SPEED), (const wchar_t*)speed);
    fill_list(ID_PROBES, t.probes[0], sizeof t.probes[0], t.probe_list_count, t.probe_selected);
    for (int id : {ID_CORE, ID_IFACE, ID_SPEED, ID_PROBES, ID_REFRESH})
        EnableWindow(control(id), t.hardware_enabled ? TRUE : FALSE);
}

int selection(int id) {
    HWND hwnd = control(id);
    return hwnd ? (int)SendMessageW(hwnd, CB_GETCURSEL, 0, 0) : -1;
}

// The user's choices into the record (a combo box answers -1 when nothing is selected).
void read_controls() {
    ProbeToolbar& t = g_probe_toolbar;
    t.core_selected = selection(ID_CORE);
    t.iface_selected = selection(ID_IFACE);
    t.probe_selected = selection(ID_PROBES);
    wchar_t speed[64];
    GetWindowTextW(control(ID_SPEED), speed, 64);
    utf16_to_utf8((const char16_t*)speed, t.speed_text, sizeof t.speed_text);
}

void set_status_part0(const char* text) {
    char16_t wide[256];
    utf8_to_utf16(text, wide, 256);
    HWND bar = control(ID_STATUS_BAR);
    if (bar) SendMessageW(bar, SB_SETTEXTW, 0, (LPARAM)wide);
}

// The whole status bar and the buttons' states, not only the connection part.
void refresh_status() {
    update_status_bar();
    update_command_states();
}

}  // namespace

void toolbar_install_probe_hooks() {
    g_probe_hooks.toolbar_changed = mirror_probe_record;
    g_probe_hooks.sync_from_controls = read_controls;
    g_probe_hooks.set_status_text = set_status_part0;
    g_probe_hooks.refresh_status_and_toolbar = refresh_status;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Commands
//-------------------------------------------------------------------------------------------------

bool toolbar_notification(int id, int code) {
    // Code 0 is a command without a control (automation posts the bare id): the command path.
    if (id != ID_CHANNEL || code == 0) return false;
    if (code == CBN_SELCHANGE || code == CBN_SELENDOK) {
        int position = selection(ID_CHANNEL);
        if (probe_channel_choice_is_new(position)) probe_select_channel(position);
    }
    return true;
}

bool toolbar_probe_command(int id) {
    switch (id) {
        case 2002: probe_connect(); return true;
        case 2003: probe_disconnect(); return true;
        case ID_REFRESH: probe_refresh(); return true;
        case ID_CHANNEL: {
            // Reached without a notification code (a command id alone): only a change counts.
            int position = selection(ID_CHANNEL);
            if (probe_channel_choice_is_new(position)) probe_select_channel(position);
            return true;
        }
        default: return false;
    }
}
