// main_window_win32.cpp - the main window "KestrelixMain": frame, menu bar, message panel and
// status bar; it routes commands and the private messages other threads post to it.
//
// Index
//   [SECTION] State and layout
//   [SECTION] Message panel (virtual list view over the portable model)
//   [SECTION] Message panel splitter, strip, copy and clear
//   [SECTION] Menu bar
//   [SECTION] Variable panel: tree commands and notices
//   [SECTION] Window procedure
//   [SECTION] Class registration and creation
#include <windows.h>
#include <commctrl.h>

#include <cstring>

#include "core/app.h"
#include "core/log.h"
#include "core/message_panel.h"
#include "core/platform.h"
#include "core/text.h"
#include "acquisition/acquisition.h"
#include "recording/recording.h"
#include "recording/replay.h"
#include "workspace/layout.h"
#include "core/platform_win32.h"
#include "vartable/leaf_load.h"
#include "vartable/leaf_table.h"
#include "vartable/tree_model.h"
#include "workspace/dialogs_win32.h"
#include "workspace/help_win32.h"
#include "workspace/main_commands_win32.h"
#include "workspace/main_layout.h"
#include "workspace/main_status_win32.h"
#include "workspace/main_window_win32.h"
#include "workspace/theme_win32.h"
#include "workspace/toolbar_win32.h"
#include "workspace/variable_tree_win32.h"
#include "workspace/workspace_win32.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] State and layout
//-------------------------------------------------------------------------------------------------

namespace {

// Main-window state (main thread only).
struct MainWindowState {
    HWND hwnd;
    HWND message_list;
    HWND message_splitter;
    HWND message_strip;
    HWND status_bar;
};

MainWindowState g_main;

const wchar_t kMainClass[] = L"KestrelixMain";
const wchar_t kMessageSplitterClass[] = L"KXSplitterH";
const wchar_t kMessageStripClass[] = L"KXLogStrip";
// Main-window timers: firmware file change check, step replay, panel auto-hide.
enum : UINT_PTR { TIMER_FILE_CHECK = 1, TIMER_REPLAY_STEP = 2, TIMER_PANEL_AUTOHIDE = 3 };
enum : UINT {
    MSG_MESSAGE_SPLITTER_DRAG = WM_APP + 11,
    MSG_SELECT_MESSAGE_ROWS = WM_APP + 31,
    MSG_COLLAPSE_MESSAGES = WM_APP + 32,
};
enum : int { CMD_COPY_MESSAGES = 2601, CMD_CLEAR_MESSAGES = 2602, CMD_DARK_MODE = 2701 };

void place(HWND hwnd, const MlRect& r, bool shown) {
    if (!hwnd) return;
    MoveWindow(hwnd, r.x, r.y, r.w, r.h, TRUE);
    ShowWindow(hwnd, shown ? SW_SHOW : SW_HIDE);
}

void layout_children(HWND hwnd) {
    RECT rc;
    GetClientRect(hwnd, &rc);
    MainLayoutInput in = {};
    in.client_width = rc.right;
    in.client_height = rc.bottom;
    in.toolbar_rows = toolbar_layout(rc.right);
    in.message_height = g_app_settings.msg_panel_height;
    in.message_collapsed = g_message_panel_state.collapsed;
    MainLayoutPlan plan;
    main_layout_compute(&in, &plan);
    int left = variable_panel_layout(plan.content_top, plan.content_height);
    workspace_layout(left, rc.right, rc.bottom, plan.content_top, plan.content_height);
    place(g_main.message_strip, plan.message_strip, !plan.message_shown);
    place(g_main.message_splitter, plan.message_splitter, plan.message_shown);
    place(g_main.message_list, plan.message_list, plan.message_shown);
    if (g_main.status_bar) MoveWindow(g_main.status_bar, plan.status_bar.x, plan.status_bar.y, plan.status_bar.w,
                                      plan.status_bar.h, TRUE);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Message panel (virtual list view over the portable model)
//-------------------------------------------------------------------------------------------------

// The list view keeps its selection by row index, but a new message enters at the top: without
// moving the selection along, a copy after any new log line would take the neighbouring rows.
// Kept here rather than on the stack: a whole selected list is 20 KB of indices.
int g_moved_selection[MESSAGE_PANEL_MAX_ROWS];

void panel_changed(void*, int row_count, int inserted) {
    HWND list = g_main.message_list;
    if (!list) return;
    int moved = 0;
    int focused = -1;
    if (inserted > 0) {
        for (int i = (int)SendMessageW(list, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED);
             i >= 0 && moved < MESSAGE_PANEL_MAX_ROWS;
             i = (int)SendMessageW(list, LVM_GETNEXTITEM, (WPARAM)i, LVNI_SELECTED))
            g_moved_selection[moved++] = i + inserted;
        focused = (int)SendMessageW(list, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_FOCUSED);
    }
    SendMessageW(list, LVM_SETITEMCOUNT, (WPARAM)row_count, LVSICF_NOSCROLL);
    if (moved > 0 || focused >= 0) {
        LVITEMW state = {};
        state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageW(list, LVM_SETITEMSTATE, (WPARAM)-1, (LPARAM)&state);
        state.stateMask = LVIS_SELECTED;
        state.state = LVIS_SELECTED;
        // Rows pushed past the oldest kept one are gone, and so is their selection.
        for (int k = 0; k < moved && g_moved_selection[k] < row_count; k++)
            SendMessageW(list, LVM_SETITEMSTATE, (WPARAM)g_moved_selection[k], (LPARAM)&state);
        if (focused >= 0 && focused + inserted < row_count) {
            state.stateMask = state.state = LVIS_FOCUSED;
            SendMessageW(list, LVM_SETITEMSTATE, (WPARAM)(focused + inserted), (LPARAM)&state);
        }
    }
    InvalidateRect(list, nullptr, FALSE);
}

void create_message_list(HWND parent) {
    g_main.message_list = CreateWindowExW(
        WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
        WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS, 0, 0, 100, 100, parent,
        (HMENU)(INT_PTR)MAIN_ID_MESSAGE_LIST, GetModuleHandleW(nullptr), nullptr);
    SendMessageW(g_main.message_list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                 LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    SendMessageW(g_main.message_list, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), TRUE);
    const wchar_t* names[3] = {L"时间", L"级别", L"消息"};
    const int widths[3] = {90, 50, 640};
    for (int i = 0; i < 3; i++) {
        LVCOLUMNW col = {};
        col.mask = LVCF_TEXT | LVCF_WIDTH;
        col.pszText = (LPWSTR)names[i];
        col.cx = widths[i];
        SendMessageW(g_main.message_list, LVM_INSERTCOLUMNW, i, (LPARAM)&col);
    }
    theme_color_list(g_main.message_list);
    theme_header(g_main.message_list);
    message_panel_create(panel_changed, nullptr);
}

// Supplies the text of one cell of the virtual list.
void message_list_get_item(NMLVDISPINFOW* info) {
    if (!(info->item.mask & LVIF_TEXT)) return;
    const MessagePanelRow* row = message_panel_row(info->item.iItem);
    const char16_t* text = u"";
    if (row) text = info->item.iSubItem == 0 ? row->time : info->item.iSubItem == 1 ? row->level : row->message;
    lstrcpynW(info->item.pszText, (const wchar_t*)text, info->item.cchTextMax);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Message panel splitter, strip, copy and clear
//-------------------------------------------------------------------------------------------------

void paint_message_splitter(HWND hwnd, HDC dc) {
    RECT rc;
    GetClientRect(hwnd, &rc);
    FillRect(dc, &rc, theme_brush(4));
    int cx = rc.right / 2, cy = rc.bottom / 2;
    HPEN pen = CreatePen(PS_SOLID, 1, theme_colorref(2));
    HGDIOBJ old_pen = SelectObject(dc, pen);
    HGDIOBJ old_brush = SelectObject(dc, GetStockObject(NULL_BRUSH));
    POINT corners[3] = {{cx - 4, cy - 1}, {cx + 4, cy - 1}, {cx, cy + 2}};
    Polygon(dc, corners, 3);
    SelectObject(dc, old_brush);
    SelectObject(dc, old_pen);
    DeleteObject(pen);
}

LRESULT CALLBACK message_splitter_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT painted = 0;
    if (theme_paint_message(hwnd, msg, wp, paint_message_splitter, &painted)) return painted;
    if (shell_splitter_mouse(hwnd, msg, lp, MSG_MESSAGE_SPLITTER_DRAG, true)) return 0;
    if (msg == WM_LBUTTONDBLCLK) {
        SendMessageW(GetParent(hwnd), MSG_COLLAPSE_MESSAGES, g_message_panel_state.collapsed ? 0 : 1, 0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

void paint_message_strip(HWND hwnd, HDC dc) {
    RECT rc;
    GetClientRect(hwnd, &rc);
    FillRect(dc, &rc, theme_brush(1));
    RECT line = {rc.left, rc.top, rc.right, rc.top + 1};
    FillRect(dc, &line, theme_brush(4));
    HGDIOBJ old = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, theme_colorref(2));
    DrawTextW(dc, L"\u25B2 消息（点击展开）", -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, old);
}

LRESULT CALLBACK message_strip_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT painted = 0;
    if (theme_paint_message(hwnd, msg, wp, paint_message_strip, &painted)) return painted;
    if (msg == WM_LBUTTONUP) {
        set_message_panel_collapsed(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

void create_message_panel(HWND parent) {
    shell_register_class(kMessageSplitterClass, message_splitter_proc, (LPCWSTR)IDC_SIZENS, CS_DBLCLKS);
    shell_register_class(kMessageStripClass, message_strip_proc, (LPCWSTR)IDC_HAND, 0);
    g_main.message_splitter = CreateWindowExW(0, kMessageSplitterClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 10, 5,
                                              parent, (HMENU)(INT_PTR)MAIN_ID_MESSAGE_SPLITTER,
                                              GetModuleHandleW(nullptr), nullptr);
    g_main.message_strip = CreateWindowExW(0, kMessageStripClass, L"", WS_CHILD, 0, 0, 10, 10, parent,
                                           (HMENU)(INT_PTR)MAIN_ID_MESSAGE_STRIP, GetModuleHandleW(nullptr), nullptr);
    create_message_list(parent);
}

// WM_APP + 11: the splitter's top follows the cursor's y.
void on_message_splitter_drag(int y) {
    RECT rc;
    GetClientRect(g_main.hwnd, &rc);
    g_app_settings.msg_panel_height = message_panel_drag_height(rc.bottom, y);
    layout_children(g_main.hwnd);
}

bool message_row_selected(void* list, int index) {
    return (SendMessageW((HWND)list, LVM_GETITEMSTATE, (WPARAM)index, LVIS_SELECTED) & LVIS_SELECTED) != 0;
}

int selected_message_count() {
    return g_main.message_list ? (int)SendMessageW(g_main.message_list, LVM_GETSELECTEDCOUNT, 0, 0) : 0;
}

bool put_on_clipboard(const char16_t* text) {
    size_t units = text16_len(text) + 1;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, units * sizeof(char16_t));
    if (!memory) return false;
    void* locked = GlobalLock(memory);
    if (!locked) {
        GlobalFree(memory);
        return false;
    }
    memcpy(locked, text, units * sizeof(char16_t));
    GlobalUnlock(memory);
    if (!OpenClipboard(g_main.hwnd)) {
        GlobalFree(memory);
        return false;
    }
    EmptyClipboard();
    bool placed = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
    CloseClipboard();
    if (!placed) GlobalFree(memory);
    return placed;
}

void copy_selected_messages() {
    if (!g_main.message_list) return;
    static char16_t text[MESSAGE_COPY_CAPACITY];
    int counted = message_panel_copy_text(message_row_selected, g_main.message_list, text, MESSAGE_COPY_CAPACITY);
    if (counted <= 0) return;
    if (!put_on_clipboard(text)) {
        log_printf(LOG_WARN, "复制失败: 剪贴板不可用");
        return;
    }
    log_printf(LOG_INFO, "已复制 %d 条消息", counted);
}

void clear_messages() {
    if (g_main.message_list) message_panel_clear();
    log_printf(LOG_INFO, "已清除全部消息");
}

// WM_APP + 31: selects rows start .. start + count - 1 only; the number of selected rows.
int select_message_rows(int start, int count) {
    if (!g_main.message_list) return 0;
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    state.state = 0;
    SendMessageW(g_main.message_list, LVM_SETITEMSTATE, (WPARAM)-1, (LPARAM)&state);
    state.state = LVIS_SELECTED;
    int rows = message_panel_count();
    for (int k = start < 0 ? 0 : start; k < rows && k - start < count; k++)
        SendMessageW(g_main.message_list, LVM_SETITEMSTATE, (WPARAM)k, (LPARAM)&state);
    return selected_message_count();
}

void show_message_menu() {
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING | (selected_message_count() > 0 ? MF_ENABLED : MF_GRAYED), CMD_COPY_MESSAGES,
                L"复制选中");
    AppendMenuW(menu, MF_STRING | (message_panel_count() > 0 ? MF_ENABLED : MF_GRAYED), CMD_CLEAR_MESSAGES,
                L"全部清除");
    POINT pt;
    GetCursorPos(&pt);
    SetForegroundWindow(g_main.hwnd);
    TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, pt.x, pt.y, 0, g_main.hwnd, nullptr);
    DestroyMenu(menu);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Menu bar
//-------------------------------------------------------------------------------------------------

// One menu item: command id (0 = separator) and label.
struct MenuItemDef {
    UINT id;
    const wchar_t* text;
};

HMENU make_popup(const MenuItemDef* items, int count) {
    HMENU menu = CreatePopupMenu();
    for (int i = 0; i < count; i++) {
        if (items[i].id == 0) AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        else AppendMenuW(menu, MF_STRING, items[i].id, items[i].text);
    }
    return menu;
}

HMENU build_menu_bar() {
    static const MenuItemDef file[] = {{2001, L"打开 ELF 文件...\tCtrl+O"}, {2021, L"保存布局为..."},
                                       {2022, L"加载布局..."}, {0, nullptr}, {2701, L"深色模式"},
                                       {0, nullptr}, {2011, L"退出\tAlt+F4"}};
    static const MenuItemDef acq[] = {{2002, L"连接...\tF5"}, {2003, L"断开\tF6"}, {0, nullptr},
                                      {2004, L"开始采集\tF7"}, {2005, L"停止采集\tF8"}, {0, nullptr},
                                      {2030, L"烧录 / 擦除...\tF9"}};
    static const MenuItemDef rec[] = {{2006, L"录制 / 停止录制"}, {0, nullptr}, {2008, L"离线回放..."},
                                      {2009, L"停止回放"}};
    static const MenuItemDef win[] = {{2012, L"波形窗口"}, {2013, L"数值窗口"}};
    static const MenuItemDef net[] = {{2801, L"网络配置..."}, {0, nullptr}, {2802, L"监听"}, {2803, L"连接"},
                                      {2804, L"断开"}, {0, nullptr}, {2805, L"同步采集（下达监视列表）"},
                                      {2806, L"停止下达"}, {2807, L"下载记录"}, {0, nullptr},
                                      {2808, L"上传ELF变量表"}, {2809, L"下载ELF变量表"}};
    static const MenuItemDef help[] = {{2702, L"帮助文档\tF1"}, {2010, L"关于 Kestrelix"}};
    HMENU bar = CreateMenu();
    AppendMenuW(bar, MF_POPUP, (UINT_PTR)make_popup(file, 7), L"文件(&F)");
    AppendMenuW(bar, MF_POPUP, (UINT_PTR)make_popup(acq, 7), L"采集(&A)");
    AppendMenuW(bar, MF_POPUP, (UINT_PTR)make_popup(rec, 4), L"记录/回放(&L)");
    AppendMenuW(bar, MF_POPUP, (UINT_PTR)make_popup(win, 2), L"窗口(&W)");
    AppendMenuW(bar, MF_POPUP, (UINT_PTR)make_popup(net, 12), L"网络(&N)");
    AppendMenuW(bar, MF_POPUP, (UINT_PTR)make_popup(help, 2), L"帮助(&H)");
    return bar;
}

void show_about() {
    MessageBoxW(g_main.hwnd,
                L"Kestrelix 1.23.2\n\nMCU 变量采集与标定工具：通过调试探针实时读写全局变量，"
                L"探针驱动、网络与窗口类型均由动态模块提供。\n\nKestrelix 开发组  https://kestrelix.dev",
                L"关于", MB_OK | MB_ICONINFORMATION);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Variable panel: tree commands and notices
//-------------------------------------------------------------------------------------------------

// Commands of the tree's context menu, the search (2703, Ctrl+F) and the network dialog (2801);
// false for every other id.
bool route_variable_command(HWND hwnd, int id) {
    switch (id) {
        case TREE_CMD_WATCH_ALL: tree_watch_all(1); return true;
        case TREE_CMD_CLEAR_ALL: tree_watch_all(0); return true;
        case TREE_CMD_WRITE_VALUE: tree_write_caret_value(hwnd); return true;
        case TREE_CMD_RELOAD_ELF: elf_reload_current(); return true;
        case TREE_CMD_ADD_WAVEFORM: tree_add_selected_to_window(TREE_WINDOW_WAVEFORM); return true;
        case TREE_CMD_ADD_NUMERIC: tree_add_selected_to_window(TREE_WINDOW_NUMERIC); return true;
        case 2703: search_variables(hwnd); return true;
        case 2801: network_config_dialog(); return true;
        default: return false;
    }
}

// WM_APP + 44: the leaf table was replaced (a network peer's table); the tree follows it.
void rebuild_tree_after_table_change() {
    if (!variable_tree_window()) return;
    tree_rebuild();
    log_printf(LOG_INFO, "变量树已刷新: 叶表 %d 个变量（含远端同步）", (int)leaf_count());
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Window procedure
//-------------------------------------------------------------------------------------------------

void theme_apply_main() { theme_apply(nullptr); }

void on_create(HWND hwnd) {
    g_main.hwnd = hwnd;
    theme_remember_main(hwnd);
    g_app_hooks.theme_apply = theme_apply_main;
    platform_win32_set_main_window(hwnd);
    SetMenu(hwnd, build_menu_bar());
    toolbar_create(hwnd);
    variable_panel_create(hwnd);
    theme_color_tree(variable_tree_window());
    workspace_create(hwnd);
    main_commands_install();
    create_message_panel(hwnd);
    g_main.status_bar = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0,
                                        0, 0, hwnd, (HMENU)(INT_PTR)MAIN_ID_STATUS_BAR, GetModuleHandleW(nullptr),
                                        nullptr);
    theme_status_bar(g_main.status_bar);
    int edges[4] = {170, 420, 620, -1};
    SendMessageW(g_main.status_bar, SB_SETPARTS, 4, (LPARAM)edges);
    log_set_sink(log_to_panel);
    log_printf(LOG_INFO, "Kestrelix 已启动");
    SetTimer(hwnd, TIMER_FILE_CHECK, 2000, nullptr);
    rebuild_window_menu();
    update_status_bar();
    update_command_states();
}

void on_destroy() {
    KillTimer(g_main.hwnd, TIMER_FILE_CHECK);
    KillTimer(g_main.hwnd, TIMER_REPLAY_STEP);
    KillTimer(g_main.hwnd, TIMER_PANEL_AUTOHIDE);
    workspace_end_rename();
    main_window_destroy_hook();
    elf_unload_current();
    message_panel_destroy();
    g_main = MainWindowState{};
    platform_win32_set_main_window(nullptr);
    PostQuitMessage(0);
}

void on_command(HWND hwnd, int id) {
    switch (id) {
        case 2010: show_about(); break;
        case 2702: help_show(hwnd); break;
        case 2011:
            // Exit leaves the layout unsaved, but an unsaved recording is offered as on close.
            recording_offer_save_before_exit();
            DestroyWindow(hwnd);
            break;
        default:
            if (!workspace_command(hwnd, id) && !main_route_command(hwnd, id) && !route_variable_command(hwnd, id))
                main_window_command_hook(id);
            break;
    }
}

LRESULT on_notify(NMHDR* hdr) {
    if (hdr->idFrom != MAIN_ID_MESSAGE_LIST) return 0;
    if (hdr->code == LVN_GETDISPINFOW) message_list_get_item((NMLVDISPINFOW*)hdr);
    else if (hdr->code == NM_RCLICK) show_message_menu();
    return 0;
}

LRESULT CALLBACK main_window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT panel_result = 0;
    if (workspace_message(hwnd, msg, wp, lp, &panel_result)) return panel_result;
    if (main_forward_wheel(hwnd, msg, wp, lp)) return 0;
    if (variable_panel_message(hwnd, msg, wp, lp, &panel_result)) return panel_result;
    if (theme_dialog_message(hwnd, msg, wp, lp, &panel_result)) return panel_result;
    switch (msg) {
        case WM_CREATE: on_create(hwnd); return 0;
        case WM_SIZE: layout_children(hwnd); return 0;
        case WM_COMMAND:
            if (toolbar_notification(LOWORD(wp), HIWORD(wp))) return 0;
            if (LOWORD(wp) == CMD_COPY_MESSAGES) copy_selected_messages();
            else if (LOWORD(wp) == CMD_CLEAR_MESSAGES) clear_messages();
            else on_command(hwnd, LOWORD(wp));
            return 0;
        case WM_NOTIFY: return on_notify((NMHDR*)lp);
        case WM_INITMENUPOPUP:
            CheckMenuItem(GetMenu(hwnd), CMD_DARK_MODE, MF_BYCOMMAND | (theme_is_dark() ? MF_CHECKED : MF_UNCHECKED));
            return 0;
        case MSG_MESSAGE_SPLITTER_DRAG: on_message_splitter_drag((int)(INT_PTR)wp); return 0;
        case MSG_SELECT_MESSAGE_ROWS: return select_message_rows((int)wp, (int)lp);
        case MSG_COLLAPSE_MESSAGES: set_message_panel_collapsed(wp ? 1 : 0); return 0;
        case KX_MSG_LOG_RECORD: log_record_deliver((LogRecord*)wp); return 0;
        case KX_MSG_SAMPLES_WAITING:
            samples_flush();
            main_window_refresh_hook();
            return 0;
        case KX_MSG_ACQ_ENDED:
            acquisition_stop();  // joins the thread that ended by itself; logs nothing when idle
            main_window_refresh_hook();
            return 0;
        case KX_MSG_ACQ_START_REQUEST:
        case KX_MSG_ACQ_STOP_REQUEST: acquisition_on_request(msg); return 0;
        case KX_MSG_LEAF_TABLE_CHANGED:
            leaf_remote_apply_pending();
            rebuild_tree_after_table_change();
            layout_retry_bindings();  // restored windows may wait for leaves the peer just sent
            main_window_refresh_hook();
            return 0;
        case WM_TIMER:
            if (wp == TIMER_FILE_CHECK) elf_check_changed();
            else if (wp == TIMER_REPLAY_STEP) replay_tick();
            return 0;
        case WM_CLOSE:
            main_window_close_hook();
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY: on_destroy(); return 0;
        default: break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Class registration and creation
//-------------------------------------------------------------------------------------------------

void main_window_register_class() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = main_window_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    wc.hbrBackground = nullptr;  // erased with the theme's brush 0
    wc.hIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1));
    wc.lpszClassName = kMainClass;
    RegisterClassExW(&wc);
}

HWND main_window_create() {
    return CreateWindowExW(0, kMainClass, L"Kestrelix - MCU 变量采集与标定",
                           WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX,
                           CW_USEDEFAULT, CW_USEDEFAULT, 1280, 800, nullptr, nullptr, GetModuleHandleW(nullptr),
                           nullptr);
}

HWND main_window_handle() { return g_main.hwnd; }

bool shell_splitter_mouse(HWND hwnd, UINT msg, LPARAM lp, UINT drag_message, bool vertical_drag) {
    switch (msg) {
        case WM_LBUTTONDOWN: SetCapture(hwnd); return true;
        case WM_LBUTTONUP:
            if (GetCapture() == hwnd) ReleaseCapture();
            return true;
        case WM_MOUSEMOVE:
            if (GetCapture() == hwnd) {
                POINT pt = {(short)LOWORD(lp), (short)HIWORD(lp)};
                MapWindowPoints(hwnd, GetParent(hwnd), &pt, 1);
                SendMessageW(GetParent(hwnd), drag_message, (WPARAM)(INT_PTR)(vertical_drag ? pt.y : pt.x), 0);
            }
            return true;
        default: return false;
    }
}

void shell_register_class(const wchar_t* name, WNDPROC proc, LPCWSTR cursor, UINT style) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    if (GetClassInfoExW(GetModuleHandleW(nullptr), name, &wc)) return;
    wc.cbSize = sizeof wc;
    wc.style = style;
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, cursor);
    wc.lpszClassName = name;  // no background brush: these windows paint their whole client
    RegisterClassExW(&wc);
}

void main_window_relayout() {
    if (g_main.hwnd) layout_children(g_main.hwnd);
}

void set_message_panel_collapsed(int collapsed) {
    g_message_panel_state.collapsed = collapsed ? 1 : 0;
    main_window_relayout();
    log_printf(LOG_INFO, "消息栏%s", collapsed ? "已收起" : "已展开");
}
