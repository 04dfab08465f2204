// theme_paint_win32.cpp - the theme's drawing tools on Win32: fill brushes, the colours of tree
// and list controls, the painting taken over for list headers, combo boxes and the status bar,
// and dialog colouring. Nothing here knows the main window, so any window can use it.
//
// Index
//   [SECTION] Brushes and colours
//   [SECTION] Themed list headers
//   [SECTION] Themed combo boxes
//   [SECTION] Themed status bar
//   [SECTION] Dialog colouring
#include <windows.h>
#include <commctrl.h>

#include "workspace/theme_win32.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] Brushes and colours
//-------------------------------------------------------------------------------------------------

namespace {

HBRUSH g_brushes[THEME_COLOR_COUNT];

COLORREF to_colorref(uint32_t rgb) { return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

}  // namespace

void theme_rebuild_brushes() {
    for (int32_t i = 0; i < THEME_COLOR_COUNT; i++) {
        if (g_brushes[i]) DeleteObject(g_brushes[i]);
        g_brushes[i] = CreateSolidBrush(theme_colorref(i));
    }
}

COLORREF theme_colorref(int32_t index) { return to_colorref(theme_color(index)); }

HBRUSH theme_brush(int32_t index) {
    if (index < 0 || index >= THEME_COLOR_COUNT) index = 0;
    if (!g_brushes[index]) g_brushes[index] = CreateSolidBrush(theme_colorref(index));
    return g_brushes[index];
}

void theme_color_tree(HWND tree) {
    if (!tree) return;
    ThemeElementColours c = theme_element(THEME_VARIABLE_TREE);
    SendMessageW(tree, TVM_SETBKCOLOR, 0, (LPARAM)theme_colorref(c.background));
    SendMessageW(tree, TVM_SETTEXTCOLOR, 0, (LPARAM)theme_colorref(c.text));
    SendMessageW(tree, TVM_SETLINECOLOR, 0, (LPARAM)theme_colorref(c.line));
    InvalidateRect(tree, nullptr, TRUE);
}

void theme_color_list(HWND list) {
    if (!list) return;
    ThemeElementColours c = theme_element(THEME_LIST);
    SendMessageW(list, LVM_SETBKCOLOR, 0, (LPARAM)theme_colorref(c.background));
    SendMessageW(list, LVM_SETTEXTCOLOR, 0, (LPARAM)theme_colorref(c.text));
    SendMessageW(list, LVM_SETTEXTBKCOLOR, 0, (LPARAM)theme_colorref(c.background));
    InvalidateRect(list, nullptr, TRUE);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Themed list headers
//-------------------------------------------------------------------------------------------------

namespace {

enum : int { THEMED_MAX = 8, PART_TEXT_CAPACITY = 256 };

// A control whose painting is taken over, with its previous window procedure.
struct ThemedControl {
    HWND hwnd;
    WNDPROC previous;
};

ThemedControl g_headers[THEMED_MAX];
ThemedControl g_combos[THEMED_MAX];

ThemedControl* find_themed(ThemedControl* table, HWND hwnd) {
    for (int i = 0; i < THEMED_MAX; i++)
        if (table[i].hwnd == hwnd) return &table[i];
    return nullptr;
}

// Takes a free slot and installs `proc`; false when the control is already themed or no slot is
// free.
bool take_over(ThemedControl* table, HWND hwnd, WNDPROC proc) {
    if (!hwnd || find_themed(table, hwnd)) return false;
    ThemedControl* slot = find_themed(table, nullptr);
    if (!slot) return false;
    slot->hwnd = hwnd;
    slot->previous = (WNDPROC)SetWindowLongPtrW(hwnd, GWLP_WNDPROC, (LONG_PTR)proc);
    return true;
}

// The previous procedure of a themed control; a destroyed control gives its slot back.
WNDPROC previous_proc(ThemedControl* table, HWND hwnd, UINT msg) {
    ThemedControl* slot = find_themed(table, hwnd);
    if (!slot) return DefWindowProcW;
    WNDPROC previous = slot->previous;
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, (LONG_PTR)previous);
        *slot = ThemedControl{};
    }
    return previous;
}

HGDIOBJ select_gui_font(HDC dc) { return SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT)); }

}  // namespace

bool theme_paint_message(HWND hwnd, UINT msg, WPARAM wp, void (*paint)(HWND hwnd, HDC dc), LRESULT* result) {
    *result = msg == WM_ERASEBKGND ? 1 : 0;
    switch (msg) {
        case WM_ERASEBKGND: return true;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            paint(hwnd, dc);
            EndPaint(hwnd, &ps);
            return true;
        }
        case WM_PRINTCLIENT: paint(hwnd, (HDC)wp); return true;
        default: return false;
    }
}

namespace {

void paint_header(HWND header, HDC dc) {
    RECT client;
    GetClientRect(header, &client);
    FillRect(dc, &client, theme_brush(12));
    const int32_t dark = theme_is_dark();
    HGDIOBJ old_font = select_gui_font(dc);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, to_colorref(theme_header_text_color(dark)));
    HPEN pen = CreatePen(PS_SOLID, 1, to_colorref(theme_header_separator_color(dark)));
    HGDIOBJ old_pen = SelectObject(dc, pen);
    int count = (int)SendMessageW(header, HDM_GETITEMCOUNT, 0, 0);
    int x = 0;
    for (int i = 0; i < count; i++) {
        wchar_t text[PART_TEXT_CAPACITY + 1] = L"";
        HDITEMW item = {};
        item.mask = HDI_TEXT | HDI_WIDTH;
        item.pszText = text;
        item.cchTextMax = PART_TEXT_CAPACITY;
        if (!SendMessageW(header, HDM_GETITEMW, (WPARAM)i, (LPARAM)&item)) continue;
        RECT r = {x + 4, client.top, x + item.cxy - 2, client.bottom};
        DrawTextW(dc, text, -1, &r, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
        MoveToEx(dc, x + item.cxy - 1, client.top + 2, nullptr);
        LineTo(dc, x + item.cxy - 1, client.bottom - 2);
        x += item.cxy;
    }
    SelectObject(dc, old_pen);
    DeleteObject(pen);
    SelectObject(dc, old_font);
}

LRESULT CALLBACK header_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT result = 0;
    if (theme_paint_message(hwnd, msg, wp, paint_header, &result)) return result;
    return CallWindowProcW(previous_proc(g_headers, hwnd, msg), hwnd, msg, wp, lp);
}

}  // namespace

void theme_header(HWND list) {
    if (!list) return;
    HWND header = (HWND)SendMessageW(list, LVM_GETHEADER, 0, 0);
    if (header && take_over(g_headers, header, header_proc)) InvalidateRect(header, nullptr, TRUE);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Themed combo boxes
//-------------------------------------------------------------------------------------------------

namespace {

void paint_combo(HWND combo, HDC dc) {
    RECT rc;
    GetClientRect(combo, &rc);
    FillRect(dc, &rc, theme_brush(5));
    HPEN frame = CreatePen(PS_SOLID, 1, theme_colorref(4));
    HGDIOBJ old_pen = SelectObject(dc, frame);
    HGDIOBJ old_brush = SelectObject(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, rc.left, rc.top, rc.right, rc.bottom);  // outline up to (right - 1, bottom - 1)
    SelectObject(dc, old_brush);

    wchar_t text[PART_TEXT_CAPACITY] = L"";
    LRESULT selected = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    LRESULT length = selected >= 0 ? SendMessageW(combo, CB_GETLBTEXTLEN, (WPARAM)selected, 0) : CB_ERR;
    if (selected >= 0 && length >= 1 && length <= PART_TEXT_CAPACITY - 1)
        SendMessageW(combo, CB_GETLBTEXT, (WPARAM)selected, (LPARAM)text);
    else if (selected < 0)
        GetWindowTextW(combo, text, PART_TEXT_CAPACITY);
    // A disabled list (the hardware lists in the network channel) is drawn dim, as the system
    // draws its own disabled controls: otherwise it looks as if it could still be changed.
    int ink = IsWindowEnabled(combo) ? 6 : 3;
    if (text[0]) {
        HGDIOBJ old_font = select_gui_font(dc);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, theme_colorref(ink));
        RECT r = {rc.left + 3, rc.top + 1, rc.right - 22, rc.bottom - 1};
        DrawTextW(dc, text, -1, &r, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
        SelectObject(dc, old_font);
    }
    HPEN mark = CreatePen(PS_SOLID, 1, theme_colorref(ink));
    SelectObject(dc, mark);
    for (int32_t i = 0; i < 4; i++) {
        int32_t x0, x1, y;
        theme_combo_mark_line(i, rc.right, rc.top, rc.bottom, &x0, &x1, &y);
        MoveToEx(dc, x0, y, nullptr);
        LineTo(dc, x1, y);
    }
    SelectObject(dc, old_pen);
    DeleteObject(mark);
    DeleteObject(frame);
}

LRESULT CALLBACK combo_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT result = 0;
    if (theme_paint_message(hwnd, msg, wp, paint_combo, &result)) return result;
    return CallWindowProcW(previous_proc(g_combos, hwnd, msg), hwnd, msg, wp, lp);
}

}  // namespace

void theme_combo(HWND combo) { take_over(g_combos, combo, combo_proc); }

//-------------------------------------------------------------------------------------------------
// [SECTION] Themed status bar
//-------------------------------------------------------------------------------------------------

namespace {

// The status bar whose painting is taken over, its part edges and texts.
struct ThemedStatusBar {
    HWND hwnd;
    WNDPROC previous;
    int32_t edges[THEME_STATUS_PARTS_MAX];
    int32_t edge_count;
    wchar_t texts[THEME_STATUS_PARTS_MAX][PART_TEXT_CAPACITY];
};

ThemedStatusBar g_status;

void paint_status_bar(HWND bar, HDC dc) {
    RECT client;
    GetClientRect(bar, &client);
    FillRect(dc, &client, theme_brush(17));
    RECT top = {client.left, client.top, client.right, client.top + 1};
    FillRect(dc, &top, theme_brush(4));
    HGDIOBJ old_font = select_gui_font(dc);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, theme_colorref(18));
    int32_t left[THEME_STATUS_PARTS_MAX], right[THEME_STATUS_PARTS_MAX];
    int32_t n = theme_status_parts(g_status.edges, g_status.edge_count, client.right, left, right);
    for (int32_t i = 0; i < n; i++) {
        RECT r = {left[i] + 4, client.top + 1, right[i] - 2, client.bottom - 1};
        DrawTextW(dc, g_status.texts[i], -1, &r, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
    }
    SelectObject(dc, old_font);
}

LRESULT CALLBACK status_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    WNDPROC previous = g_status.previous ? g_status.previous : DefWindowProcW;
    LRESULT result = 0;
    if (theme_paint_message(hwnd, msg, wp, paint_status_bar, &result)) return result;
    switch (msg) {
        case SB_SETPARTS: {
            int32_t count = (int32_t)wp > THEME_STATUS_PARTS_MAX ? THEME_STATUS_PARTS_MAX : (int32_t)wp;
            const int* edges = (const int*)lp;
            g_status.edge_count = edges ? count : 0;
            for (int32_t i = 0; i < g_status.edge_count; i++) g_status.edges[i] = edges[i];
            break;
        }
        case SB_SETTEXTW: {
            int part = LOWORD(wp) & 0xFF;
            if (part < THEME_STATUS_PARTS_MAX) {
                lstrcpynW(g_status.texts[part], lp ? (const wchar_t*)lp : L"", PART_TEXT_CAPACITY);
                InvalidateRect(hwnd, nullptr, TRUE);
            }
            // The control keeps its own copy as well, so the text stays readable to
            // accessibility and automation (SB_GETTEXT, WM_GETTEXT); the painting is ours.
            break;
        }
        case WM_NCDESTROY:
            SetWindowLongPtrW(hwnd, GWLP_WNDPROC, (LONG_PTR)previous);
            g_status = ThemedStatusBar{};
            break;
        default: break;
    }
    return CallWindowProcW(previous, hwnd, msg, wp, lp);
}

}  // namespace

void theme_status_bar(HWND bar) {
    if (!bar || g_status.hwnd) return;
    g_status.hwnd = bar;
    g_status.previous = (WNDPROC)SetWindowLongPtrW(bar, GWLP_WNDPROC, (LONG_PTR)status_proc);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Dialog colouring
//-------------------------------------------------------------------------------------------------

namespace {

bool is_edit_control(HWND hwnd) {
    wchar_t cls[32];
    return GetClassNameW(hwnd, cls, 32) && lstrcmpiW(cls, L"Edit") == 0;
}

LRESULT colour_control(HDC dc, ThemeElement element) {
    ThemeElementColours c = theme_element(element);
    SetTextColor(dc, theme_colorref(c.text));
    SetBkColor(dc, theme_colorref(c.background));
    return (LRESULT)theme_brush(c.fill);
}

}  // namespace

bool theme_dialog_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    switch (msg) {
        case WM_PARENTNOTIFY: {
            // Only own children: the notice also climbs up from grandchildren whose parents do
            // not draw buttons. The window's own handling of the notice goes on.
            HWND child = (HWND)lp;
            if (LOWORD(wp) == WM_CREATE && GetParent(child) == hwnd) theme_follow_button(child);
            return false;
        }
        case WM_DRAWITEM:
            if (!theme_draw_button((const DRAWITEMSTRUCT*)lp)) return false;
            *result = TRUE;
            return true;
        case WM_CTLCOLORSTATIC:
            // A read-only edit asks for static colours; it is still an edit field.
            *result = colour_control((HDC)wp, is_edit_control((HWND)lp) ? THEME_EDIT_FIELD : THEME_DIALOG_TEXT);
            return true;
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG: *result = colour_control((HDC)wp, THEME_DIALOG_TEXT); return true;
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX: *result = colour_control((HDC)wp, THEME_EDIT_FIELD); return true;
        case WM_ERASEBKGND: {
            RECT rc;
            GetClientRect(hwnd, &rc);
            FillRect((HDC)wp, &rc, theme_brush(0));
            *result = 1;
            return true;
        }
        default: return false;
    }
}

