// main_window_win32.cpp - the main window "KestrelixMain": frame, menu bar, message panel and
// status bar; it routes commands and the private messages other threads post to it.
//
// Index
//   [SECTION] State and layout
//   [SECTION] Message panel (virtual list view over the portable model)
//   [SECTION] Menu bar
//   [SECTION] Variable panel: tree commands and notices
//   [SECTION] Window procedure
//   [SECTION] Class registration and creation
#include <windows.h>
#include <commctrl.h>

#include "core/app.h"
#include "core/log.h"
#include "core/message_panel.h"
#include "core/platform.h"
#include "acquisition/acquisition.h"
#include "recording/replay.h"
#include "workspace/layout.h"
#include "core/platform_win32.h"
#include "vartable/leaf_load.h"
#include "vartable/leaf_table.h"
#include "vartable/tree_model.h"
#include "workspace/dialogs_win32.h"
#include "workspace/help_win32.h"
#include "workspace/main_commands_win32.h"
#include "workspace/main_status_win32.h"
#include "workspace/main_window_win32.h"
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
    HWND status_bar;
};

MainWindowState g_main;

const wchar_t kMainClass[] = L"KestrelixMain";
enum : int { ID_MESSAGE_LIST = 3001, ID_STATUS_BAR = 3002 };
// Main-window timers: firmware file change check, step replay, panel auto-hide.
enum : UINT_PTR { TIMER_FILE_CHECK = 1, TIMER_REPLAY_STEP = 2, TIMER_PANEL_AUTOHIDE = 3 };

void layout_children(HWND hwnd) {
    RECT rc;
    GetClientRect(hwnd, &rc);
    int status_h = 0;
    if (g_main.status_bar) {
        SendMessageW(g_main.status_bar, WM_SIZE, 0, 0);
        RECT sr;
        GetWindowRect(g_main.status_bar, &sr);
        status_h = sr.bottom - sr.top;
    }
    int panel_h = g_app_settings.msg_panel_height;
    int bottom = rc.bottom - status_h;
    // The variable panel fills the content band between the toolbar row and the message panel.
    int content_h = rc.bottom - panel_h - 61;
    int left = variable_panel_layout(rc.right, content_h);
    workspace_layout(left, rc.right, rc.bottom, content_h);
    if (g_main.message_list)
        MoveWindow(g_main.message_list, 0, bottom - panel_h, rc.right, panel_h, TRUE);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Message panel (virtual list view over the portable model)
//-------------------------------------------------------------------------------------------------

void panel_changed(void*, int row_count) {
    if (!g_main.message_list) return;
    SendMessageW(g_main.message_list, LVM_SETITEMCOUNT, (WPARAM)row_count, LVSICF_NOSCROLL);
    InvalidateRect(g_main.message_list, nullptr, FALSE);
}

void create_message_list(HWND parent) {
    g_main.message_list = CreateWindowExW(
        WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
        WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS, 0, 0, 100, 100, parent,
        (HMENU)(INT_PTR)ID_MESSAGE_LIST, GetModuleHandleW(nullptr), nullptr);
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

void on_create(HWND hwnd) {
    g_main.hwnd = hwnd;
    platform_win32_set_main_window(hwnd);
    SetMenu(hwnd, build_menu_bar());
    toolbar_create(hwnd);
    variable_panel_create(hwnd);
    workspace_create(hwnd);
    main_commands_install();
    create_message_list(hwnd);
    g_main.status_bar = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0,
                                        0, 0, hwnd, (HMENU)(INT_PTR)ID_STATUS_BAR, GetModuleHandleW(nullptr), nullptr);
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
        case 2011: DestroyWindow(hwnd); break;
        default:
            if (!workspace_command(hwnd, id) && !main_route_command(hwnd, id) && !route_variable_command(hwnd, id))
                main_window_command_hook(id);
            break;
    }
}

LRESULT CALLBACK main_window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT panel_result = 0;
    if (workspace_message(hwnd, msg, wp, lp, &panel_result)) return panel_result;
    if (main_forward_wheel(hwnd, msg, wp, lp)) return 0;
    if (variable_panel_message(hwnd, msg, wp, lp, &panel_result)) return panel_result;
    switch (msg) {
        case WM_CREATE: on_create(hwnd); return 0;
        case WM_SIZE: layout_children(hwnd); return 0;
        case WM_COMMAND: on_command(hwnd, LOWORD(wp)); return 0;
        case WM_NOTIFY: {
            NMHDR* hdr = (NMHDR*)lp;
            if (hdr->idFrom == ID_MESSAGE_LIST && hdr->code == LVN_GETDISPINFOW) {
                message_list_get_item((NMLVDISPINFOW*)lp);
                return 0;
            }
            break;
        }
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
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
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
