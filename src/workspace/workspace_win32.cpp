// workspace_win32.cpp - the workspace on Win32: the "KXRightPanel" panel, its tab control with
// the tab strip, the column dividers and the minimise bar, the tab context menu and in-place
// renaming, the window operations the portable tab table uses, and the hooks through which the
// rest of the program reaches the hosted windows.
//
// Index
//   [SECTION] State and colours
//   [SECTION] Window operations for the tab table
//   [SECTION] Renaming a tab in place
//   [SECTION] Tab control: painting, divider drag, minimise bar, context menu
//   [SECTION] Panel window
//   [SECTION] Hooks into the other subsystems
//   [SECTION] Creation, layout, messages and commands
//   [SECTION] Window menu
#include "workspace/workspace_win32.h"

#include <commctrl.h>

#include "acquisition/acquisition.h"
#include "core/app.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/platform_win32.h"
#include "core/text.h"
#include "vartable/leaf_load.h"
#include "vartable/tree_model.h"
#include "workspace/dialogs_win32.h"
#include "workspace/main_status_win32.h"
#include "workspace/main_window_win32.h"
#include "workspace/screenshot_win32.h"
#include "workspace/theme_win32.h"
#include "workspace/window_menu.h"
#include "workspace/workspace.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] State and colours
//-------------------------------------------------------------------------------------------------

namespace {

const wchar_t kPanelClass[] = L"KXRightPanel";
enum : int { WINDOW_MENU_POSITION = 3, MSG_ADD_LEAF = WM_APP + 35 };
enum : UINT { MSG_CLOSE = WM_APP + 5, MSG_MAXIMISE = WM_APP + 8, MSG_FULL_SCREEN = WM_APP + 10,
              MSG_MINIMISE = WM_APP + 34 };
enum : UINT_PTR { TIMER_PANEL = 3 };

// The workspace's windows (main thread).
struct WorkspaceWindows {
    HWND main;
    HWND panel;
    HWND tabs;
    WNDPROC tabs_proc;    // the tab control's own procedure (subclassed)
    WNDPROC rename_proc;  // the rename box's own procedure
    bool rename_closing;
};

WorkspaceWindows g_win;

COLORREF colour(int index) { return theme_colorref(index); }
HBRUSH brush(int index) { return theme_brush(index); }

HWND hwnd_of(void* window) { return static_cast<HWND>(window); }

void relayout_main() {
    if (!g_win.main) return;
    RECT rc;
    GetClientRect(g_win.main, &rc);
    SendMessageW(g_win.main, WM_SIZE, SIZE_RESTORED, MAKELPARAM(rc.right, rc.bottom));
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Window operations for the tab table
//-------------------------------------------------------------------------------------------------

namespace {

int32_t op_is_window(void* w) { return w && IsWindow(hwnd_of(w)) ? 1 : 0; }
void op_destroy(void* w) { DestroyWindow(hwnd_of(w)); }

void op_place(void* w, int32_t x, int32_t y, int32_t cx, int32_t cy) {
    SetWindowPos(hwnd_of(w), nullptr, x, y, cx, cy, SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
}

void op_show(void* w, int32_t shown) { ShowWindow(hwnd_of(w), shown ? SW_SHOWNA : SW_HIDE); }
void op_post(void* w, uint32_t msg) { PostMessageW(hwnd_of(w), msg, 0, 0); }
void* op_tab_control() { return g_win.tabs; }

int32_t op_display_area(WsRect* out) {
    if (!g_win.tabs) return 0;
    RECT rc;
    GetClientRect(g_win.tabs, &rc);
    SendMessageW(g_win.tabs, TCM_ADJUSTRECT, FALSE, (LPARAM)&rc);
    *out = {rc.left, rc.top, rc.right, rc.bottom};
    return 1;
}

void follow_rename_box();

void op_strip_fill(const TabRecord* tabs, int32_t count, int32_t selected) {
    if (!g_win.tabs) return;
    SendMessageW(g_win.tabs, TCM_DELETEALLITEMS, 0, 0);
    for (int32_t i = 0; i < count; i++) {
        TCITEMW item = {};
        item.mask = TCIF_TEXT | TCIF_PARAM;
        item.pszText = (LPWSTR)tabs[i].title;
        item.lParam = i;
        SendMessageW(g_win.tabs, TCM_INSERTITEMW, (WPARAM)i, (LPARAM)&item);
    }
    SendMessageW(g_win.tabs, TCM_SETCURSEL, (WPARAM)selected, 0);
    follow_rename_box();
}

void op_strip_set_title(int32_t tab, const char16_t* title) {
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = (LPWSTR)title;
    SendMessageW(g_win.tabs, TCM_SETITEMW, (WPARAM)tab, (LPARAM)&item);
}

void op_strip_repaint() {
    if (g_win.tabs) InvalidateRect(g_win.tabs, nullptr, TRUE);
}

void op_full_screen(void* w, int32_t enter) {
    HWND hwnd = hwnd_of(w);
    if (enter) {
        RECT rc;
        GetClientRect(g_win.main, &rc);
        SetParent(hwnd, g_win.main);
        SetWindowPos(hwnd, HWND_TOP, 0, 0, rc.right, rc.bottom, SWP_SHOWWINDOW);
        SetFocus(hwnd);
    } else {
        SetParent(hwnd, g_win.tabs);
        ShowWindow(hwnd, SW_SHOW);
    }
}

void op_leaf_unwatched(int32_t) { main_window_refresh_hook(); }

void install_ops() {
    WorkspaceOps ops = {};
    ops.is_window = op_is_window;
    ops.destroy_window = op_destroy;
    ops.place_window = op_place;
    ops.show_window = op_show;
    ops.post_message = op_post;
    ops.tab_control = op_tab_control;
    ops.display_area = op_display_area;
    ops.strip_fill = op_strip_fill;
    ops.strip_set_title = op_strip_set_title;
    ops.strip_repaint = op_strip_repaint;
    ops.full_screen = op_full_screen;
    ops.main_layout = relayout_main;
    ops.leaf_unwatched = op_leaf_unwatched;
    workspace_set_ops(&ops);
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Renaming a tab in place
//-------------------------------------------------------------------------------------------------

namespace {

void close_rename_box() {
    if (!g_rename_edit) return;
    g_win.rename_closing = true;
    HWND edit = g_rename_edit;
    g_rename_edit = nullptr;
    DestroyWindow(edit);
    g_win.rename_closing = false;
    g_workspace.rename_tab = -1;
}

void commit_tab_rename() {
    if (!g_rename_edit) return;
    int32_t tab = g_workspace.rename_tab;
    wchar_t typed[WORKSPACE_RENAME_READ_MAX + 1];
    GetWindowTextW(g_rename_edit, typed, WORKSPACE_RENAME_READ_MAX + 1);
    char16_t title[WORKSPACE_TITLE_CAPACITY];
    tab_rename_text((const char16_t*)typed, title, WORKSPACE_TITLE_CAPACITY);
    close_rename_box();
    set_tab_title(tab, title);
}

void cancel_tab_rename() { close_rename_box(); }

void rename_key(int key) {
    if (key == VK_RETURN) commit_tab_rename();
    else if (key == VK_ESCAPE) cancel_tab_rename();
}

// Enter and Escape also arrive here when the box is driven without the main message loop.
LRESULT CALLBACK rename_box_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    WNDPROC own = g_win.rename_proc;
    if (msg == WM_KEYDOWN && (wp == VK_RETURN || wp == VK_ESCAPE) && hwnd == g_rename_edit) {
        rename_key((int)wp);
        return 0;
    }
    if (msg == WM_CHAR && (wp == '\r' || wp == 27)) return 0;  // no beep for the handled keys
    return CallWindowProcW(own, hwnd, msg, wp, lp);
}

void begin_tab_rename(int32_t tab) {
    if (tab < 0 || tab >= g_workspace.tab_count || !g_win.tabs) return;
    cancel_tab_rename();
    RECT item;
    if (!SendMessageW(g_win.tabs, TCM_GETITEMRECT, (WPARAM)tab, (LPARAM)&item)) return;
    const TabRecord& t = g_workspace.tabs[tab];
    HWND edit = CreateWindowExW(WS_EX_CLIENTEDGE, WC_EDITW, (LPCWSTR)t.title, WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL,
                                item.left + 2, item.top + 2, item.right - item.left - 4, item.bottom - item.top - 2,
                                g_win.tabs, (HMENU)(INT_PTR)ID_TAB_RENAME, GetModuleHandleW(nullptr), nullptr);
    if (!edit) return;
    SendMessageW(edit, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), TRUE);
    SendMessageW(edit, EM_SETSEL, 0, -1);
    g_win.rename_proc = (WNDPROC)SetWindowLongPtrW(edit, GWLP_WNDPROC, (LONG_PTR)rename_box_proc);
    g_rename_edit = edit;
    g_rename_key = rename_key;
    g_workspace.rename_tab = tab;
    char utf8[WORKSPACE_TITLE_CAPACITY * 3];
    utf16_to_utf8(t.title, utf8, sizeof utf8);
    log_printf(LOG_INFO, "就地编辑开始: %s", utf8);
    SetFocus(edit);
}

// The strip was refilled while a tab is being renamed: the box moves with its tab's item (an
// earlier tab went), and closes when that tab itself went, leaving nothing to rename.
void follow_rename_box() {
    if (!g_rename_edit || g_win.rename_closing) return;
    RECT item;
    if (g_workspace.rename_tab < 0 ||
        !SendMessageW(g_win.tabs, TCM_GETITEMRECT, (WPARAM)g_workspace.rename_tab, (LPARAM)&item)) {
        cancel_tab_rename();
        return;
    }
    SetWindowPos(g_rename_edit, HWND_TOP, item.left + 2, item.top + 2, item.right - item.left - 4,
                 item.bottom - item.top - 2, SWP_NOACTIVATE);
}

// Timer 3: the focus moved to another window of the main window while the box is open.
void check_rename_focus() {
    if (!g_rename_edit || g_win.rename_closing) return;
    HWND focus = GetFocus();
    if (focus == g_rename_edit || !focus) return;
    if (focus == g_win.main || IsChild(g_win.main, focus)) commit_tab_rename();
}

}  // namespace

void workspace_end_rename() { cancel_tab_rename(); }

//-------------------------------------------------------------------------------------------------
// [SECTION] Tab control: painting, divider drag, minimise bar, context menu
//-------------------------------------------------------------------------------------------------

namespace {

// The theme's extras over the control's own painting: the empty strip and the minimise bar.
void paint_tab_extras(HDC dc) {
    RECT client;
    GetClientRect(g_win.tabs, &client);
    if (g_workspace.tab_count == 0) {
        RECT empty = client;
        empty.top = 2;
        FillRect(dc, &empty, brush(15));
    }
    if (g_workspace.min_button_count <= 0) return;
    RECT bar = client;
    bar.top = g_workspace.min_buttons[0].rect.top - 3;
    FillRect(dc, &bar, brush(1));
    const TabRecord* tab = g_workspace.current_tab >= 0 ? &g_workspace.tabs[g_workspace.current_tab] : nullptr;
    HGDIOBJ old_font = SelectObject(dc, (HFONT)SendMessageW(g_win.tabs, WM_GETFONT, 0, 0));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, colour(16));
    for (int32_t i = 0; i < g_workspace.min_button_count; i++) {
        const MinimiseButton& b = g_workspace.min_buttons[i];
        RECT r = {b.rect.left, b.rect.top, b.rect.right, b.rect.bottom};
        FillRect(dc, &r, brush(5));
        FrameRect(dc, &r, brush(4));
        wchar_t label[WORKSPACE_TITLE_CAPACITY + 4];
        const wchar_t* title = tab && b.index >= 0 ? (const wchar_t*)tab->window_titles[b.index] : L"";
        wsprintfW(label, L"\x25A2 %ls", title);
        RECT text = {r.left + 6, r.top, r.right - 4, r.bottom};
        DrawTextW(dc, label, -1, &text, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
    }
    SelectObject(dc, old_font);
}

int32_t tab_at_cursor() {
    TCHITTESTINFO hit = {};
    GetCursorPos(&hit.pt);
    ScreenToClient(g_win.tabs, &hit.pt);
    return (int32_t)SendMessageW(g_win.tabs, TCM_HITTEST, 0, (LPARAM)&hit);
}

void show_tab_menu(int32_t tab) {
    if (tab != g_workspace.current_tab) {
        SendMessageW(g_win.tabs, TCM_SETCURSEL, (WPARAM)tab, 0);
        workspace_tab_selected(tab);
    }
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 2502, L"重命名标签");
    AppendMenuW(menu, MF_STRING, 2503, L"在当前标签添加波形窗口");
    AppendMenuW(menu, MF_STRING, 2504, L"在当前标签添加数值窗口");
    if (g_workspace.tabs[tab].window_count > 1) {
        AppendMenuW(menu, MF_STRING, 2505, L"最大化/还原当前窗口");
        AppendMenuW(menu, MF_STRING, 2507, L"最小化/还原当前窗口");
    }
    AppendMenuW(menu, MF_STRING, 2506, L"全屏/退出全屏");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, 2501, L"关闭窗口");
    POINT pt;
    GetCursorPos(&pt);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, pt.x, pt.y, 0, g_win.main, nullptr);
    DestroyMenu(menu);
}

bool on_tab_left_down(int x, int y) {
    int32_t button = min_button_at(x, y);
    if (button >= 0) {
        workspace_restore_minimised(button);
        return true;
    }
    int32_t divider = divider_at(x, y);
    if (divider < 0) return false;
    workspace_drag_begin(divider, x);
    SetCapture(g_win.tabs);
    SetCursor(LoadCursorW(nullptr, (LPCWSTR)IDC_SIZEWE));
    return true;
}

LRESULT CALLBACK tabs_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    const int x = (short)LOWORD(lp), y = (short)HIWORD(lp);
    switch (msg) {
        case WM_PAINT: {
            if (theme_is_dark()) {
                // The platform's strip stays light whatever it is told: the dark one is ours.
                PAINTSTRUCT ps;
                HDC dc = BeginPaint(hwnd, &ps);
                theme_paint_tabs(hwnd, dc);
                paint_tab_extras(dc);
                EndPaint(hwnd, &ps);
                return 0;
            }
            LRESULT r = CallWindowProcW(g_win.tabs_proc, hwnd, msg, wp, lp);
            HDC dc = GetDC(hwnd);
            paint_tab_extras(dc);
            ReleaseDC(hwnd, dc);
            return r;
        }
        case WM_PRINTCLIENT: {
            LRESULT r = 0;
            if (theme_is_dark()) theme_paint_tabs(hwnd, (HDC)wp);
            else r = CallWindowProcW(g_win.tabs_proc, hwnd, msg, wp, lp);
            paint_tab_extras((HDC)wp);
            screenshot_print_children(hwnd, (HDC)wp);
            return r;
        }
        case WM_ERASEBKGND: {
            RECT rc;
            GetClientRect(hwnd, &rc);
            FillRect((HDC)wp, &rc, brush(15));
            return 1;
        }
        case WM_CTLCOLORSTATIC:
            SetTextColor((HDC)wp, colour(16));
            SetBkColor((HDC)wp, colour(15));
            return (LRESULT)brush(15);
        case WM_LBUTTONDOWN:
            if (on_tab_left_down(x, y)) return 0;
            break;
        case WM_MOUSEMOVE:
            if (g_workspace.drag.active && (wp & MK_LBUTTON)) {
                workspace_drag_move(x);
                return 0;
            }
            break;
        case WM_LBUTTONUP:
            if (g_workspace.drag.active) {
                ReleaseCapture();
                workspace_drag_end();
                return 0;
            }
            break;
        case WM_CAPTURECHANGED:
            if (g_workspace.drag.active && (HWND)lp != hwnd) workspace_drag_end();
            break;
        case WM_SETCURSOR: {
            POINT pt;
            GetCursorPos(&pt);
            ScreenToClient(hwnd, &pt);
            if (g_workspace.drag.active || divider_at(pt.x, pt.y) >= 0) {
                SetCursor(LoadCursorW(nullptr, (LPCWSTR)IDC_SIZEWE));
                return TRUE;
            }
            break;
        }
        case WM_LBUTTONDBLCLK: {
            int32_t tab = tab_at_cursor();
            if (tab >= 0) {
                begin_tab_rename(tab);
                return 0;
            }
            break;
        }
        default: break;
    }
    return CallWindowProcW(g_win.tabs_proc, hwnd, msg, wp, lp);
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Panel window
//-------------------------------------------------------------------------------------------------

namespace {

void on_tabs_notify(const NMHDR* hdr) {
    if (hdr->code == TCN_SELCHANGE) {
        workspace_tab_selected((int32_t)SendMessageW(g_win.tabs, TCM_GETCURSEL, 0, 0));
    } else if (hdr->code == NM_RCLICK) {
        int32_t tab = tab_at_cursor();
        if (tab >= 0 && tab < g_workspace.tab_count) show_tab_menu(tab);
        else show_workspace_menu();
    }
}

LRESULT CALLBACK panel_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_SIZE:
            if (g_win.tabs) MoveWindow(g_win.tabs, 0, 0, LOWORD(lp), HIWORD(lp), TRUE);
            return 0;
        case WM_NOTIFY: {
            const NMHDR* hdr = (const NMHDR*)lp;
            if (hdr->hwndFrom == g_win.tabs) on_tabs_notify(hdr);
            return 0;
        }
        case WM_ERASEBKGND: {
            RECT rc;
            GetClientRect(hwnd, &rc);
            FillRect((HDC)wp, &rc, brush(15));
            return 1;
        }
        case WM_PRINTCLIENT: {
            RECT rc;
            GetClientRect(hwnd, &rc);
            FillRect((HDC)wp, &rc, brush(15));
            screenshot_print_children(hwnd, (HDC)wp);
            return 0;
        }
        case WM_CTLCOLORSTATIC:
            SetTextColor((HDC)wp, colour(16));
            SetBkColor((HDC)wp, colour(15));
            return (LRESULT)brush(15);
        case WM_CONTEXTMENU:
            if ((HWND)wp == hwnd) {
                show_workspace_menu();
                return 0;
            }
            break;
        default: break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

void register_panel_class() {
    static bool registered;
    if (registered) return;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = panel_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    wc.lpszClassName = kPanelClass;
    registered = RegisterClassExW(&wc) != 0;
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Hooks into the other subsystems
//-------------------------------------------------------------------------------------------------

namespace {

void* app_create_hosted_window(int tab, const char* kind, const char* title) {
    return create_hosted_window(tab, kind, title);
}

int app_add_var(void* window, int leaf_id) { return workspace_add_leaf_to_window(window, leaf_id); }

void shot_window(void* window, const char* path) { screenshot_window(hwnd_of(window), path); }

void tree_add_leaves(int32_t kind, const LeafId* ids, int32_t count) { add_leaves_to_kind(kind, ids, count); }

void install_hooks() {
    AppHooks& h = g_app_hooks;
    h.create_hosted_window = app_create_hosted_window;
    h.chart_add_var = app_add_var;
    h.num_add_var = app_add_var;
    h.screenshot_current = screenshot_current;
    h.rebuild_window_menu = rebuild_window_menu;
    h.update_command_states = update_command_states;
    g_acquisition_hooks.deliver_to_windows = workspace_deliver_samples;
    g_acquisition_hooks.post_to_waveform_windows = workspace_post_to_waveform_windows;
    g_acquisition_hooks.refresh_status = main_window_refresh_hook;
    g_vartable_hooks.rebind_windows = workspace_rebind_windows;
    g_vartable_hooks.update_status = main_window_refresh_hook;
    g_tree_hooks.add_leaves_to_kind = tree_add_leaves;
    workspace_set_shot(shot_window);
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Creation, layout, messages and commands
//-------------------------------------------------------------------------------------------------

void workspace_create(HWND main) {
    workspace_reset();
    g_win = WorkspaceWindows{};
    g_win.main = main;
    register_panel_class();
    g_win.panel = CreateWindowExW(WS_EX_CLIENTEDGE, kPanelClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                                  0, 0, 100, 100, main, (HMENU)(INT_PTR)ID_WORKSPACE_PANEL, GetModuleHandleW(nullptr),
                                  nullptr);
    g_win.tabs = CreateWindowExW(0, WC_TABCONTROLW, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | TCS_FIXEDWIDTH,
                                 0, 0, 100, 100, g_win.panel, (HMENU)(INT_PTR)ID_WORKSPACE_TABS, GetModuleHandleW(nullptr),
                                 nullptr);
    SendMessageW(g_win.tabs, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), TRUE);
    SendMessageW(g_win.tabs, TCM_SETITEMSIZE, 0, MAKELPARAM(150, 22));
    g_win.tabs_proc = (WNDPROC)SetWindowLongPtrW(g_win.tabs, GWLP_WNDPROC, (LONG_PTR)tabs_proc);
    install_ops();
    install_hooks();
}

void workspace_layout(int left, int client_width, int client_height, int content_top, int content_height) {
    if (!g_win.panel) return;
    int c = content_height > 0 ? content_height : 0;
    int r = client_width - left - 5;
    MoveWindow(g_win.panel, left + 5, content_top, r - 5 > 0 ? r - 5 : 0, c, TRUE);
    HWND full = hwnd_of(g_workspace.fullscreen_window);
    if (full && IsWindow(full)) SetWindowPos(full, HWND_TOP, 0, 0, client_width, client_height, SWP_SHOWWINDOW);
    rebuild_tabs();
}

bool workspace_message(HWND, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    *result = 0;
    switch (msg) {
        case MSG_CLOSE: workspace_remove_window((void*)wp); return true;
        case MSG_MAXIMISE: workspace_toggle_maximise((void*)wp); return true;
        case MSG_MINIMISE: workspace_toggle_minimise((void*)wp); return true;
        case MSG_FULL_SCREEN: workspace_toggle_full_screen((void*)wp); return true;
        case MSG_ADD_LEAF: workspace_add_leaf_to_window((void*)wp, (int32_t)lp); return true;
        case WM_TIMER:
            if (wp == TIMER_PANEL) check_rename_focus();
            return false;  // the variable panel's work on the same timer goes on
        default: return false;
    }
}

bool workspace_command(HWND, int id) {
    switch (id) {
        case 2012: new_tab_window(WINDOW_KIND_WAVEFORM); return true;
        case 2013: new_tab_window(WINDOW_KIND_NUMERIC); return true;
        case 2502: begin_tab_rename(g_workspace.current_tab); return true;
        default: break;
    }
    if (id >= 2501 && id <= 2507) return workspace_tab_command(id) != 0;
    if (id >= WINDOW_MENU_FIRST_ID && id < WINDOW_MENU_FIRST_ID + WINDOW_MENU_MAX_ITEMS) {
        new_tab_module_window(id - WINDOW_MENU_FIRST_ID);
        return true;
    }
    return false;
}

HWND workspace_panel() { return g_win.panel; }
HWND workspace_tab_control() { return g_win.tabs; }

//-------------------------------------------------------------------------------------------------
// [SECTION] Window menu
//-------------------------------------------------------------------------------------------------

void rebuild_window_menu() {
    HMENU bar = g_win.main ? GetMenu(g_win.main) : nullptr;
    HMENU menu = bar ? GetSubMenu(bar, WINDOW_MENU_POSITION) : nullptr;
    if (!menu) return;
    while (GetMenuItemCount(menu) > 0) DeleteMenu(menu, 0, MF_BYPOSITION);
    AppendMenuW(menu, MF_STRING, 2012, L"波形窗口");
    AppendMenuW(menu, MF_STRING, 2013, L"数值窗口");
    int32_t count = window_menu_collect();
    for (int32_t i = 0; i < count; i++) {
        char16_t label[WINDOW_MENU_LABEL_CAPACITY];
        utf8_to_utf16(window_menu_label(window_menu_item(i)), label, WINDOW_MENU_LABEL_CAPACITY);
        AppendMenuW(menu, MF_STRING, WINDOW_MENU_FIRST_ID + i, (LPCWSTR)label);
    }
    DrawMenuBar(g_win.main);
}
