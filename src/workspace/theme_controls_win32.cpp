// theme_controls_win32.cpp - push buttons and the tab strip in the dark theme. The platform keeps
// drawing both light whatever colours it is handed (and Wine has no dark visual style at all), so
// while the theme is dark this program draws them itself: push buttons become owner-drawn (their
// parent's WM_DRAWITEM arrives here through theme_dialog_message) and the tab control's subclass
// paints the strip. Back in the light theme both get the platform's own look again.
//
// Index
//   [SECTION] Push buttons
//   [SECTION] Tab strip
#include <windows.h>
#include <commctrl.h>

#include "workspace/theme_win32.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] Push buttons
//-------------------------------------------------------------------------------------------------

namespace {

// The window property in which a followed push button keeps its own type (type + 1, so that a
// button without the property reads 0).
const wchar_t kButtonTypeProperty[] = L"KX.ButtonType";

enum : int { BUTTON_TEXT_CAPACITY = 128 };

bool is_button(HWND hwnd) {
    wchar_t cls[16];
    return GetClassNameW(hwnd, cls, 16) && lstrcmpiW(cls, L"Button") == 0;
}

LONG_PTR type_of(HWND button) { return GetWindowLongPtrW(button, GWL_STYLE) & BS_TYPEMASK; }

bool is_push_type(LONG_PTR type) { return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON; }

LONG_PTR recorded_type(HWND button) { return (LONG_PTR)(INT_PTR)GetPropW(button, kButtonTypeProperty) - 1; }

void record_type(HWND button, LONG_PTR type) { SetPropW(button, kButtonTypeProperty, (HANDLE)(INT_PTR)(type + 1)); }

void set_type(HWND button, LONG_PTR type) {
    LONG_PTR style = GetWindowLongPtrW(button, GWL_STYLE);
    if ((style & BS_TYPEMASK) == type) return;
    SetWindowLongPtrW(button, GWL_STYLE, (style & ~(LONG_PTR)BS_TYPEMASK) | type);
    InvalidateRect(button, nullptr, TRUE);
}

uint32_t button_states(const DRAWITEMSTRUCT* d) {
    uint32_t states = 0;
    if (d->itemState & ODS_SELECTED) states |= THEME_BUTTON_PRESSED;
    if ((d->itemState & ODS_FOCUS) && !(d->itemState & ODS_NOFOCUSRECT)) states |= THEME_BUTTON_FOCUSED;
    if (d->itemState & ODS_DISABLED) states |= THEME_BUTTON_DISABLED;
    if (recorded_type(d->hwndItem) == BS_DEFPUSHBUTTON) states |= THEME_BUTTON_DEFAULT;
    return states;
}

HFONT font_of(HWND hwnd) {
    HFONT font = (HFONT)SendMessageW(hwnd, WM_GETFONT, 0, 0);
    return font ? font : (HFONT)GetStockObject(DEFAULT_GUI_FONT);
}

// An owner-drawn button answers the dialog manager as the push button it stands for: Enter
// presses the focused push button only when it says so, and the default mark moves between push
// buttons by their styles. Both go on while the button is owner-drawn.
LRESULT CALLBACK followed_button_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id, DWORD_PTR) {
    switch (msg) {
        case WM_GETDLGCODE:
            if (type_of(hwnd) != BS_OWNERDRAW) break;
            return DLGC_BUTTON | (recorded_type(hwnd) == BS_DEFPUSHBUTTON ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON);
        case BM_SETSTYLE:
            if (type_of(hwnd) != BS_OWNERDRAW || !is_push_type((LONG_PTR)(wp & BS_TYPEMASK))) break;
            record_type(hwnd, (LONG_PTR)(wp & BS_TYPEMASK));
            InvalidateRect(hwnd, nullptr, FALSE);
            return DefSubclassProc(hwnd, msg, (wp & ~(WPARAM)BS_TYPEMASK) | BS_OWNERDRAW, lp);
        case WM_NCDESTROY:
            RemovePropW(hwnd, kButtonTypeProperty);
            RemoveWindowSubclass(hwnd, followed_button_proc, id);
            break;
        default: break;
    }
    return DefSubclassProc(hwnd, msg, wp, lp);
}

}  // namespace

bool theme_follow_button(HWND button) {
    if (!button || !is_button(button)) return false;
    if (!GetPropW(button, kButtonTypeProperty)) {
        if (!is_push_type(type_of(button))) return false;
        record_type(button, type_of(button));
        SetWindowSubclass(button, followed_button_proc, 1, 0);
    }
    theme_restyle_button(button);
    return true;
}

void theme_restyle_button(HWND button) {
    if (!button || !GetPropW(button, kButtonTypeProperty)) return;
    // In the light theme the dialog manager may have moved the default mark meanwhile.
    if (is_push_type(type_of(button))) record_type(button, type_of(button));
    set_type(button, theme_is_dark() ? BS_OWNERDRAW : recorded_type(button));
}

void theme_restyle_buttons(HWND parent) {
    if (!parent) return;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        theme_restyle_button(child);
}

bool theme_draw_button(const DRAWITEMSTRUCT* d) {
    if (!d || d->CtlType != ODT_BUTTON || !GetPropW(d->hwndItem, kButtonTypeProperty)) return false;
    const uint32_t states = button_states(d);
    const ThemeButtonColours c = theme_button_colours(states);
    HDC dc = d->hDC;
    RECT r = d->rcItem;
    FillRect(dc, &r, theme_brush(c.face));
    FrameRect(dc, &r, theme_brush(c.border));
    if (c.border != 4) {  // the accent outline is two pixels wide, so it reads as a state
        RECT inner = r;
        InflateRect(&inner, -1, -1);
        FrameRect(dc, &inner, theme_brush(c.border));
    }
    wchar_t text[BUTTON_TEXT_CAPACITY];
    GetWindowTextW(d->hwndItem, text, BUTTON_TEXT_CAPACITY);
    HGDIOBJ old_font = SelectObject(dc, font_of(d->hwndItem));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, theme_colorref(c.text));
    RECT label = r;
    InflateRect(&label, -4, -2);
    if (states & THEME_BUTTON_PRESSED) OffsetRect(&label, 1, 1);
    UINT format = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS;
    if (d->itemState & ODS_NOACCEL) format |= DT_HIDEPREFIX;
    DrawTextW(dc, text, -1, &label, format);
    SelectObject(dc, old_font);
    if (c.focus_mark) {
        RECT focus = r;
        InflateRect(&focus, -4, -4);
        SetTextColor(dc, theme_colorref(c.text));
        SetBkColor(dc, theme_colorref(c.face));
        DrawFocusRect(dc, &focus);
    }
    return true;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Tab strip
//-------------------------------------------------------------------------------------------------

namespace {

enum : int { TAB_TEXT_CAPACITY = 128, SELECTED_TAB_RISE = 2 };

void fill(HDC dc, int left, int top, int right, int bottom, int32_t index) {
    RECT r = {left, top, right, bottom};
    FillRect(dc, &r, theme_brush(index));
}

void paint_one_tab(HWND tabs, HDC dc, int index, bool selected) {
    RECT r;
    if (!SendMessageW(tabs, TCM_GETITEMRECT, (WPARAM)index, (LPARAM)&r)) return;
    if (selected) r.top -= SELECTED_TAB_RISE;
    const ThemeTabColours c = theme_tab_colours(selected);
    fill(dc, r.left, r.top, r.right, r.bottom + (selected ? 1 : 0), c.face);
    fill(dc, r.left, r.top, r.right, r.top + 1, c.border);
    fill(dc, r.left, r.top, r.left + 1, r.bottom, c.border);
    fill(dc, r.right - 1, r.top, r.right, r.bottom, c.border);
    if (c.accent >= 0) fill(dc, r.left + 1, r.top + 1, r.right - 1, r.top + 3, c.accent);

    wchar_t text[TAB_TEXT_CAPACITY] = L"";
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = TAB_TEXT_CAPACITY;
    SendMessageW(tabs, TCM_GETITEMW, (WPARAM)index, (LPARAM)&item);
    SetTextColor(dc, theme_colorref(c.text));
    RECT label = {r.left + 6, r.top + 2, r.right - 6, r.bottom};
    DrawTextW(dc, text, -1, &label, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
    if (selected && GetFocus() == tabs) {
        RECT focus = {r.left + 3, r.top + 4, r.right - 3, r.bottom - 2};
        SetBkColor(dc, theme_colorref(c.face));
        DrawFocusRect(dc, &focus);
    }
}

}  // namespace

void theme_paint_tabs(HWND tabs, HDC dc) {
    RECT client;
    GetClientRect(tabs, &client);
    FillRect(dc, &client, theme_brush(15));
    const int count = (int)SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0);
    const int selected = (int)SendMessageW(tabs, TCM_GETCURSEL, 0, 0);
    HGDIOBJ old_font = SelectObject(dc, font_of(tabs));
    SetBkMode(dc, TRANSPARENT);
    // The line under the strip that the selected tab opens into.
    RECT first;
    if (count > 0 && SendMessageW(tabs, TCM_GETITEMRECT, 0, (LPARAM)&first))
        fill(dc, client.left, first.bottom, client.right, first.bottom + 1, 4);
    for (int i = 0; i < count; i++)
        if (i != selected) paint_one_tab(tabs, dc, i, false);
    if (selected >= 0 && selected < count) paint_one_tab(tabs, dc, selected, true);
    SelectObject(dc, old_font);
}
