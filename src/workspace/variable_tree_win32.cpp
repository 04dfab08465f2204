// variable_tree_win32.cpp - the variable panel: a SysTreeView32 with check boxes that mirrors
// the tree model (vartable/tree_model.h), the splitter, strip and pin around it, the tree's
// notifications and its context menu.
//
// Check boxes: a click on a box or the space key toggles the box inside the control, and the
// control tells about it in different ways on different systems (a change notification, or
// only NM_CLICK before the toggle). So the tree is subclassed: after a click on a box or the
// space key the panel posts itself a re-read of that item, and every report of a state (re-read
// or change notification) goes to the model, which acts only when the state differs from what
// it knew.
//
// Index
//   [SECTION] State
//   [SECTION] Tree view as the model's view
//   [SECTION] Check-box changes and the subclass
//   [SECTION] Context menu and commands
//   [SECTION] Splitter, strip and pin windows
//   [SECTION] Panel state, layout and messages
#include "workspace/variable_tree_win32.h"

#include <commctrl.h>

#include "core/app.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/text.h"
#include "vartable/leaf_table.h"
#include "vartable/tree_model.h"
#include "workspace/dialogs_win32.h"
#include "workspace/main_window_win32.h"
#include "workspace/theme_win32.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] State
//-------------------------------------------------------------------------------------------------

namespace {

// The panel's windows and state (main thread only).
struct VariablePanel {
    HWND main;
    HWND tree;
    HWND splitter;
    HWND strip;
    HWND pin;
    WNDPROC tree_proc;       // the tree view's own procedure (subclassed)
    UINT recheck_message;    // registered message: re-read one item's check box
    VariablePanelState state;
};

VariablePanel g_panel;

enum : UINT {
    MSG_SPLITTER_DRAG = WM_APP + 3,
    MSG_PIN_MODE = WM_APP + 9,
    MSG_SELECT_TREE_ROWS = WM_APP + 12,
    MSG_HIDE_PANEL = WM_APP + 33,
};
enum : UINT_PTR { TIMER_PANEL = 3 };
enum : int {
    STRIP_WIDTH = 8,
    SPLITTER_WIDTH = 5,
    PANEL_MIN_WIDTH = 60,
    PANEL_MAX_WIDTH = 900,
    AUTO_HIDE_DELAY_MS = 800,
};

const wchar_t kSplitterClass[] = L"KXSplitter";
const wchar_t kStripClass[] = L"KXTreeStrip";
const wchar_t kPinClass[] = L"KXTreePin";

int panel_width() { return g_app_settings.var_panel_width > 0 ? g_app_settings.var_panel_width : 340; }

void relayout() {
    if (!g_panel.main) return;
    RECT rc;
    GetClientRect(g_panel.main, &rc);
    SendMessageW(g_panel.main, WM_SIZE, SIZE_RESTORED, MAKELPARAM(rc.right, rc.bottom));
}

}  // namespace

VariablePanelState* variable_panel_state() { return &g_panel.state; }
HWND variable_tree_window() { return g_panel.tree; }

//-------------------------------------------------------------------------------------------------
// [SECTION] Tree view as the model's view
//-------------------------------------------------------------------------------------------------

namespace {

HWND tree_of(void* context) { return static_cast<HWND>(context); }

void view_begin_rebuild(void* context) {
    SendMessageW(tree_of(context), WM_SETREDRAW, FALSE, 0);
    SendMessageW(tree_of(context), TVM_DELETEITEM, 0, (LPARAM)TVI_ROOT);
}

void view_end_rebuild(void* context) {
    SendMessageW(tree_of(context), WM_SETREDRAW, TRUE, 0);
    InvalidateRect(tree_of(context), nullptr, TRUE);
}

void view_set_state_image(void* context, void* item, int32_t state_image) {
    if (!item) return;
    TVITEMW tv = {};
    tv.mask = TVIF_HANDLE | TVIF_STATE;
    tv.hItem = (HTREEITEM)item;
    tv.state = INDEXTOSTATEIMAGEMASK(state_image);
    tv.stateMask = TVIS_STATEIMAGEMASK;
    SendMessageW(tree_of(context), TVM_SETITEMW, 0, (LPARAM)&tv);
}

void* view_insert(void* context, void* parent, const char16_t* text, int32_t data, int32_t state_image) {
    TVINSERTSTRUCTW ins = {};
    ins.hParent = parent ? (HTREEITEM)parent : TVI_ROOT;
    ins.hInsertAfter = TVI_LAST;
    ins.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_STATE;
    ins.item.pszText = (LPWSTR)text;
    ins.item.lParam = (LPARAM)data;
    ins.item.state = INDEXTOSTATEIMAGEMASK(state_image);
    ins.item.stateMask = TVIS_STATEIMAGEMASK;
    HTREEITEM item = (HTREEITEM)SendMessageW(tree_of(context), TVM_INSERTITEMW, 0, (LPARAM)&ins);
    // Some tree views give every new item the unchecked box whatever the insert asked for.
    if (item && state_image != 1) view_set_state_image(context, item, state_image);
    return item;
}

void view_expand(void* context, void* item) {
    if (item) SendMessageW(tree_of(context), TVM_EXPAND, TVE_EXPAND, (LPARAM)item);
}

void view_set_caret(void* context, void* item) {
    if (!item) return;
    SendMessageW(tree_of(context), TVM_SELECTITEM, TVGN_CARET, (LPARAM)item);
    SendMessageW(tree_of(context), TVM_ENSUREVISIBLE, 0, (LPARAM)item);
}

void view_set_selected(void* context, void* item, int32_t selected) {
    if (!item) return;
    TVITEMW tv = {};
    tv.mask = TVIF_HANDLE | TVIF_STATE;
    tv.hItem = (HTREEITEM)item;
    tv.state = selected ? TVIS_SELECTED : 0;
    tv.stateMask = TVIS_SELECTED;
    SendMessageW(tree_of(context), TVM_SETITEMW, 0, (LPARAM)&tv);
}

int32_t view_is_selected(void* context, void* item) {
    if (!item) return 0;
    LRESULT state = SendMessageW(tree_of(context), TVM_GETITEMSTATE, (WPARAM)item, TVIS_SELECTED);
    return (state & TVIS_SELECTED) ? 1 : 0;
}

void* view_caret(void* context) {
    return (void*)SendMessageW(tree_of(context), TVM_GETNEXTITEM, TVGN_CARET, 0);
}

void attach_model_view(HWND tree) {
    TreeView view = {};
    view.context = tree;
    view.begin_rebuild = view_begin_rebuild;
    view.end_rebuild = view_end_rebuild;
    view.insert = view_insert;
    view.set_state_image = view_set_state_image;
    view.expand = view_expand;
    view.set_caret = view_set_caret;
    view.set_selected = view_set_selected;
    view.is_selected = view_is_selected;
    view.caret = view_caret;
    tree_view_attach(&view);
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Check-box changes and the subclass
//-------------------------------------------------------------------------------------------------

namespace {

int32_t state_image_of(HTREEITEM item) {
    LRESULT state = SendMessageW(g_panel.tree, TVM_GETITEMSTATE, (WPARAM)item, TVIS_STATEIMAGEMASK);
    return (int32_t)(((UINT)state & TVIS_STATEIMAGEMASK) >> 12);
}

// Reports the item's current box to the model (which ignores a state it already knew).
void recheck_item(HTREEITEM item) {
    if (!g_panel.tree || !item) return;
    int32_t index = tree_find_handle(item);
    if (index >= 0) tree_item_state_reported(index, state_image_of(item));
}

void post_recheck(HTREEITEM item) {
    if (item && g_panel.main) PostMessageW(g_panel.main, g_panel.recheck_message, (WPARAM)item, 0);
}

HTREEITEM hit_test(POINT client, UINT* flags) {
    TVHITTESTINFO hit = {};
    hit.pt = client;
    HTREEITEM item = (HTREEITEM)SendMessageW(g_panel.tree, TVM_HITTEST, 0, (LPARAM)&hit);
    if (flags) *flags = hit.flags;
    return item;
}

LRESULT CALLBACK tree_subclass_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    HTREEITEM recheck = nullptr;
    if (msg == WM_LBUTTONDOWN || msg == WM_LBUTTONDBLCLK) {
        POINT pt = {(short)LOWORD(lp), (short)HIWORD(lp)};
        UINT flags = 0;
        HTREEITEM item = hit_test(pt, &flags);
        if (item && (flags & TVHT_ONITEMSTATEICON)) recheck = item;
    } else if (msg == WM_KEYDOWN && wp == VK_SPACE) {
        recheck = (HTREEITEM)SendMessageW(hwnd, TVM_GETNEXTITEM, TVGN_CARET, 0);
    }
    LRESULT result = CallWindowProcW(g_panel.tree_proc, hwnd, msg, wp, lp);
    if (recheck) post_recheck(recheck);
    return result;
}

LRESULT on_tree_notify(NMHDR* hdr) {
    switch (hdr->code) {
        case NM_RCLICK:
            tree_show_context_menu();
            return 1;  // handled: no default context menu message
        case TVN_ITEMCHANGEDW: {
            const NMTVITEMCHANGE* change = (const NMTVITEMCHANGE*)hdr;
            if ((change->uStateNew ^ change->uStateOld) & TVIS_STATEIMAGEMASK) {
                int32_t index = tree_find_handle(change->hItem);
                if (index >= 0) tree_item_state_reported(index, (int32_t)((change->uStateNew & TVIS_STATEIMAGEMASK) >> 12));
            }
            return 0;
        }
        default: return 0;
    }
}

}  // namespace

void tree_set_leaf_check_hook(int leaf_id, int checked) { tree_set_leaf_check(leaf_id, checked); }

int tree_select_leaf_utf8(const char* name) {
    if (!name || !name[0]) return -1;
    char16_t wide[512];
    utf8_to_utf16(name, wide, 512);
    return select_leaf(wide);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Context menu and commands
//-------------------------------------------------------------------------------------------------

void tree_show_context_menu() {
    if (!g_panel.tree) return;
    DWORD pos = GetMessagePos();
    POINT screen = {(short)LOWORD(pos), (short)HIWORD(pos)};
    POINT client = screen;
    ScreenToClient(g_panel.tree, &client);
    HTREEITEM item = hit_test(client, nullptr);
    if (item && !(SendMessageW(g_panel.tree, TVM_GETITEMSTATE, (WPARAM)item, TVIS_SELECTED) & TVIS_SELECTED))
        SendMessageW(g_panel.tree, TVM_SELECTITEM, TVGN_CARET, (LPARAM)item);

    int32_t caret_data = tree_caret_data();
    LeafId ids[TREE_SELECTED_LIMIT];
    int32_t selected = tree_selected_leaf_ids(ids, TREE_SELECTED_LIMIT);
    struct Entry {
        int32_t id;
        const wchar_t* text;
    };
    static const Entry kEntries[] = {
        {TREE_CMD_WATCH_ALL, L"全选观测"},       {TREE_CMD_CLEAR_ALL, L"清除全部观测"},
        {TREE_CMD_WRITE_VALUE, L"写入值..."},    {0, nullptr},
        {TREE_CMD_ADD_WAVEFORM, L"添加到波形窗口"}, {TREE_CMD_ADD_NUMERIC, L"添加到数值窗口"},
        {0, nullptr},                             {TREE_CMD_RELOAD_ELF, L"重新加载 ELF"},
    };
    HMENU menu = CreatePopupMenu();
    for (const Entry& e : kEntries) {
        if (!e.id) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            continue;
        }
        UINT flags = MF_STRING | (tree_menu_item_enabled(e.id, caret_data, selected) ? MF_ENABLED : MF_GRAYED);
        AppendMenuW(menu, flags, (UINT_PTR)e.id, e.text);
    }
    SetForegroundWindow(g_panel.main);
    TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, screen.x, screen.y, 0, g_panel.main, nullptr);
    DestroyMenu(menu);
}

void tree_write_caret_value(HWND owner) {
    int32_t data = tree_caret_data();
    if (data > 0) write_value_dialog(owner, data - 1);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Splitter, strip and pin windows
//-------------------------------------------------------------------------------------------------

namespace {

LRESULT CALLBACK splitter_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (shell_splitter_mouse(hwnd, msg, lp, MSG_SPLITTER_DRAG, false)) return 0;
    switch (msg) {
        case WM_LBUTTONDBLCLK:
            SendMessageW(GetParent(hwnd), MSG_HIDE_PANEL, g_panel.state.hidden ? 0 : 1, 0);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            RECT rc;
            GetClientRect(hwnd, &rc);
            FillRect(dc, &rc, theme_brush(4));
            EndPaint(hwnd, &ps);
            return 0;
        }
        default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

LRESULT CALLBACK strip_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_LBUTTONUP: expand_variable_panel("点击细条"); return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            RECT rc;
            GetClientRect(hwnd, &rc);
            FillRect(dc, &rc, theme_brush(1));
            HGDIOBJ old = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, theme_colorref(2));
            DrawTextW(dc, L"\u276F", 1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
            SelectObject(dc, old);
            EndPaint(hwnd, &ps);
            return 0;
        }
        default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

void paint_pin(HWND hwnd) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT rc;
    GetClientRect(hwnd, &rc);
    FillRect(dc, &rc, theme_brush(1));
    int cx = rc.right / 2, cy = rc.bottom / 2;
    COLORREF fill = g_panel.state.auto_hide ? RGB(0x96, 0x96, 0x96) : RGB(0xD4, 0xAF, 0x37);
    HBRUSH brush = CreateSolidBrush(fill);
    HGDIOBJ old_brush = SelectObject(dc, brush);
    HGDIOBJ old_pen = SelectObject(dc, GetStockObject(NULL_PEN));
    Ellipse(dc, cx - 5, cy - 6, cx + 5, cy + 4);
    POINT tip[3] = {{cx, cy + 2}, {cx - 6, cy + 12}, {cx + 6, cy + 12}};
    Polygon(dc, tip, 3);
    HPEN white = CreatePen(PS_SOLID, 1, RGB(0xFF, 0xFF, 0xFF));
    SelectObject(dc, white);
    Arc(dc, cx - 5, cy - 6, cx + 5, cy + 4, cx - 3, cy - 4, cx + 1, cy - 7);
    SelectObject(dc, old_pen);
    SelectObject(dc, old_brush);
    DeleteObject(white);
    DeleteObject(brush);
    EndPaint(hwnd, &ps);
}

LRESULT CALLBACK pin_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_SETCURSOR: SetCursor(LoadCursorW(nullptr, (LPCWSTR)IDC_HAND)); return TRUE;
        case WM_LBUTTONUP:
            set_auto_hide(g_panel.state.auto_hide ? 0 : 1);
            log_printf(LOG_INFO, "变量栏%s", g_panel.state.auto_hide ? "改为自动隐藏（未钉住）" : "已钉住常显");
            return 0;
        case WM_PAINT: paint_pin(hwnd); return 0;
        default: return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

HWND create_child(const wchar_t* cls, int id, DWORD style, DWORD ex_style = 0) {
    return CreateWindowExW(ex_style, cls, L"", WS_CHILD | style, 0, 0, 10, 10, g_panel.main, (HMENU)(INT_PTR)id,
                           GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Panel state, layout and messages
//-------------------------------------------------------------------------------------------------

void variable_panel_create(HWND main) {
    g_panel.main = main;
    g_panel.state = VariablePanelState{};
    g_panel.recheck_message = RegisterWindowMessageW(L"KestrelixTreeRecheck");
    shell_register_class(kSplitterClass, splitter_proc, (LPCWSTR)IDC_SIZEWE, CS_DBLCLKS);
    shell_register_class(kStripClass, strip_proc, (LPCWSTR)IDC_SIZEWE, 0);
    shell_register_class(kPinClass, pin_proc, (LPCWSTR)IDC_ARROW, 0);

    g_panel.tree = create_child(WC_TREEVIEWW, ID_VARIABLE_TREE,
                                WS_VISIBLE | WS_TABSTOP | WS_CLIPSIBLINGS | TVS_HASBUTTONS | TVS_HASLINES |
                                    TVS_LINESATROOT | TVS_SHOWSELALWAYS,
                                WS_EX_CLIENTEDGE);
    // The check-box style takes effect when it is added after creation, before the first item.
    SetWindowLongW(g_panel.tree, GWL_STYLE, GetWindowLongW(g_panel.tree, GWL_STYLE) | TVS_CHECKBOXES);
    SendMessageW(g_panel.tree, TVM_SETUNICODEFORMAT, TRUE, 0);
    SendMessageW(g_panel.tree, TVM_SETEXTENDEDSTYLE, TVS_EX_MULTISELECT, TVS_EX_MULTISELECT);
    SendMessageW(g_panel.tree, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), TRUE);
    g_panel.tree_proc = (WNDPROC)SetWindowLongPtrW(g_panel.tree, GWLP_WNDPROC, (LONG_PTR)tree_subclass_proc);

    g_panel.splitter = create_child(kSplitterClass, ID_VARIABLE_SPLITTER, WS_VISIBLE);
    g_panel.strip = create_child(kStripClass, ID_VARIABLE_STRIP, 0);
    g_panel.pin = create_child(kPinClass, ID_VARIABLE_PIN, WS_VISIBLE);
    // Above the tree, which it overlaps.
    SetWindowPos(g_panel.pin, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);

    attach_model_view(g_panel.tree);
    SetTimer(main, TIMER_PANEL, 200, nullptr);
}

int variable_panel_layout(int content_top, int content_height) {
    if (!g_panel.tree) return 0;
    int c = content_height > 0 ? content_height : 0;
    int width = panel_width();
    int left;
    if (g_panel.state.hidden) {
        MoveWindow(g_panel.strip, 0, content_top, STRIP_WIDTH, c, TRUE);
        ShowWindow(g_panel.strip, SW_SHOW);
        ShowWindow(g_panel.tree, SW_HIDE);
        ShowWindow(g_panel.pin, SW_HIDE);
        left = STRIP_WIDTH;
    } else {
        ShowWindow(g_panel.strip, SW_HIDE);
        MoveWindow(g_panel.tree, 0, content_top, width, c, TRUE);
        ShowWindow(g_panel.tree, SW_SHOW);
        MoveWindow(g_panel.pin, width - 34, content_top + 4, 30, 22, TRUE);
        ShowWindow(g_panel.pin, SW_SHOW);
        left = width;
    }
    MoveWindow(g_panel.splitter, left, content_top, SPLITTER_WIDTH, c, TRUE);
    return left;
}

void set_variable_panel_hidden(int hidden) {
    g_panel.state.hidden = hidden ? 1 : 0;
    relayout();
    log_printf(LOG_INFO, "变量栏%s", hidden ? "已完全隐藏" : "已展开");
}

void expand_variable_panel(const char* reason) {
    if (!g_panel.state.hidden) return;
    g_panel.state.hidden = 0;
    relayout();
    log_printf(LOG_INFO, "变量栏展开: %s", reason);
}

void set_auto_hide(int on) {
    g_panel.state.auto_hide = on ? 1 : 0;
    if (g_panel.pin) InvalidateRect(g_panel.pin, nullptr, TRUE);
    relayout();
}

namespace {

void on_splitter_drag(int x) {
    if (g_panel.state.hidden) {
        if (x >= 16) {
            g_panel.state.hidden = 0;
            g_app_settings.var_panel_width = x < PANEL_MIN_WIDTH ? PANEL_MIN_WIDTH : x > PANEL_MAX_WIDTH ? PANEL_MAX_WIDTH : x;
            log_printf(LOG_INFO, "变量栏展开: 拖拽分隔条 (宽 %d)", g_app_settings.var_panel_width);
        }
    } else if (x < PANEL_MIN_WIDTH) {
        g_panel.state.hidden = 1;
        log_printf(LOG_INFO, "变量栏已完全隐藏: 拖拽分隔条到左侧");
    } else {
        g_app_settings.var_panel_width = x > PANEL_MAX_WIDTH ? PANEL_MAX_WIDTH : x;
    }
    relayout();
}

// Timer 3: the auto-hide drawer; only the cursor's x counts.
void on_panel_timer() {
    if (!g_panel.main || !g_panel.tree) return;
    POINT pt;
    GetCursorPos(&pt);
    ScreenToClient(g_panel.main, &pt);
    VariablePanelState& s = g_panel.state;
    if (s.hidden) {
        if (s.auto_hide && pt.x >= 0 && pt.x <= 10) expand_variable_panel("悬停细条");
        return;
    }
    if (!s.auto_hide) return;
    uint64_t now = GetTickCount64();
    if (pt.x >= 0 && pt.x <= panel_width() + 12) {
        s.last_inside_ms = now;
    } else if (now - s.last_inside_ms > AUTO_HIDE_DELAY_MS) {
        s.hidden = 1;
        relayout();
        log_printf(LOG_INFO, "变量栏自动隐藏");
    }
}

}  // namespace

bool variable_panel_message(HWND main, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    (void)main;
    *result = 0;
    if (!g_panel.tree) return false;
    if (msg == g_panel.recheck_message) {
        recheck_item((HTREEITEM)wp);
        return true;
    }
    switch (msg) {
        case WM_DESTROY:
            // The children go with the main window: the model keeps its items but no view.
            tree_view_attach(nullptr);
            g_panel = VariablePanel{};
            return false;
        case WM_NOTIFY: {
            NMHDR* hdr = (NMHDR*)lp;
            if (hdr->hwndFrom != g_panel.tree) return false;
            *result = on_tree_notify(hdr);
            return true;
        }
        case MSG_SPLITTER_DRAG: on_splitter_drag((int)(INT_PTR)wp); return true;
        case MSG_PIN_MODE: set_auto_hide(wp ? 1 : 0); return true;
        case MSG_SELECT_TREE_ROWS: *result = tree_select_rows((int32_t)wp, (int32_t)lp); return true;
        case MSG_HIDE_PANEL: set_variable_panel_hidden(wp ? 1 : 0); return true;
        case WM_TIMER:
            if (wp != TIMER_PANEL) return false;
            on_panel_timer();
            return true;
        default: return false;
    }
}
