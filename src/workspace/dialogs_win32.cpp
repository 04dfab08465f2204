// dialogs_win32.cpp - the modal windows of the workspace: the variable pick dialog (KXDlgPick,
// also the Ctrl+F search), the write-value dialog (KXDlgEdit), the network configuration dialog
// (KXDlgNetCfg), their shared modal loop, and the workspace menu.
//
// Each dialog is a plain top-level window of its own class owned by the caller's window. Its
// result lives with the caller (a PickResult, a write record, a network record) and is handed
// over as the creation parameter, so nothing outlives the modal loop.
//
// Index
//   [SECTION] Shared: classes, children, modal loop
//   [SECTION] Pick dialog
//   [SECTION] Pick and search commands
//   [SECTION] Write-value dialog
//   [SECTION] Network configuration dialog
//   [SECTION] Workspace menu
#include "workspace/dialogs_win32.h"

#include <commctrl.h>

#include <cstdlib>

#include "core/log.h"
#include "core/platform.h"
#include "core/text.h"
#include "acquisition/acquisition.h"
#include "acquisition/variable_write.h"
#include "network/net_key.h"
#include "vartable/tree_model.h"
#include "workspace/main_window_win32.h"
#include "workspace/theme_win32.h"
#include "workspace/variable_tree_win32.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] Shared: classes, children, modal loop
//-------------------------------------------------------------------------------------------------

namespace {

const wchar_t kPickClass[] = L"KXDlgPick";
const wchar_t kEditClass[] = L"KXDlgEdit";
const wchar_t kNetClass[] = L"KXDlgNetCfg";

enum : int {
    ID_PICK_OK = 2401, ID_PICK_CANCEL = 2402, ID_PICK_EDIT = 2403, ID_PICK_LIST = 2404,
    ID_PICK_ADD_WAVEFORM = 2405, ID_PICK_ADD_NUMERIC = 2406,
    ID_WRITE_OK = 2411, ID_WRITE_CANCEL = 2412, ID_WRITE_EDIT = 2414,
    ID_NET_ADDRESS = 2421, ID_NET_PORT = 2422, ID_NET_OK = 2423, ID_NET_CANCEL = 2424, ID_NET_KEY = 2425,
    ID_TOOLBAR_ADDRESS = 2110, ID_TOOLBAR_PORT = 2111,
};
enum : UINT { MSG_PICK_SELECT_ROWS = WM_APP + 30, MSG_PICK_ADD_SELECTION = WM_APP + 43 };
enum : int { TEXT_INPUT_CAPACITY = 512, ROW_TEXT_CAPACITY = 420, CURRENT_TEXT_CAPACITY = 80 };

void register_dialog_class(const wchar_t* name, WNDPROC proc) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    if (GetClassInfoExW(GetModuleHandleW(nullptr), name, &wc)) return;
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = name;
    RegisterClassExW(&wc);
}

HWND add_child(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, DWORD ex_style, int id, int x,
               int y, int w, int h) {
    HWND hwnd = CreateWindowExW(ex_style, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                                (HMENU)(INT_PTR)id, GetModuleHandleW(nullptr), nullptr);
    SendMessageW(hwnd, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), TRUE);
    return hwnd;
}

// Closes a dialog: the owner is enabled first so that it, not another program, gets activated.
void dialog_close(HWND dialog) {
    HWND owner = GetWindow(dialog, GW_OWNER);
    if (owner) EnableWindow(owner, TRUE);
    DestroyWindow(dialog);
}

HWND main_window() { return main_window_handle(); }

// A dialog with one OK and one Cancel button: their ids and what OK takes over before closing.
struct SimpleDialog {
    int ok_id;
    int cancel_id;
    bool (*on_ok)(HWND dialog, void* data);  // false: the input was refused, the dialog stays
};

// Default button, OK (or Enter), Cancel (or Escape) and the close box of a simple dialog; true
// when the message was one of these, with its result.
bool simple_dialog_message(HWND hwnd, UINT msg, WPARAM wp, const SimpleDialog& dialog, void* data, LRESULT* result) {
    *result = 0;
    if (msg == DM_GETDEFID) {
        *result = MAKELRESULT(dialog.ok_id, DC_HASDEFID);
        return true;
    }
    if (msg == WM_CLOSE) {
        dialog_close(hwnd);
        return true;
    }
    if (msg != WM_COMMAND) return false;
    int id = LOWORD(wp);
    if (id == dialog.ok_id || id == IDOK) {
        if (data && !dialog.on_ok(hwnd, data)) return true;
        dialog_close(hwnd);
    } else if (id == dialog.cancel_id || id == IDCANCEL) {
        dialog_close(hwnd);
    }
    return true;
}

}  // namespace

void run_modal(HWND dialog, HWND owner) {
    if (!dialog) return;
    ShowWindow(dialog, SW_SHOW);
    UpdateWindow(dialog);
    if (owner) EnableWindow(owner, FALSE);
    MSG msg;
    while (IsWindow(dialog)) {
        int got = GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0) {
            // The quit message belongs to the outer loop: hand it back and leave.
            if (got == 0) PostQuitMessage((int)msg.wParam);
            break;
        }
        if (IsDialogMessageW(dialog, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (owner) {
        EnableWindow(owner, TRUE);
        SetForegroundWindow(owner);
    }
    if (IsWindow(dialog)) DestroyWindow(dialog);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Pick dialog
//-------------------------------------------------------------------------------------------------

namespace {

// One pick dialog's rows and the caller's result (heap, freed with the dialog).
struct PickDialog {
    PickResult* result;
    LeafId rows[PICK_ROW_CAPACITY];
    char row_names[PICK_ROW_CAPACITY][LEAF_NAME_CAPACITY];  // to find the rows again after a reload
    uint32_t rows_epoch;                                    // leaf table the ids belong to
    int32_t row_count;
    HWND edit;
    HWND list;
};

PickDialog* pick_of(HWND hwnd) { return (PickDialog*)GetWindowLongPtrW(hwnd, GWLP_USERDATA); }

void pick_place_children(HWND hwnd, int w, int h) {
    MoveWindow(GetDlgItem(hwnd, ID_PICK_EDIT), 10, 10, w - 20, 24, TRUE);
    MoveWindow(GetDlgItem(hwnd, ID_PICK_LIST), 10, 40, w - 20, h - 90, TRUE);
    MoveWindow(GetDlgItem(hwnd, ID_PICK_OK), w - 140, h - 36, 60, 26, TRUE);
    MoveWindow(GetDlgItem(hwnd, ID_PICK_CANCEL), w - 70, h - 36, 60, 26, TRUE);
}

void pick_create_children(HWND hwnd, PickDialog* d) {
    d->edit = add_child(hwnd, WC_EDITW, L"", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0, ID_PICK_EDIT, 0, 0, 10, 10);
    d->list = add_child(hwnd, WC_LISTVIEWW, L"", WS_BORDER | WS_TABSTOP | WS_VSCROLL | LVS_REPORT | LVS_SHOWSELALWAYS,
                        0, ID_PICK_LIST, 0, 0, 10, 10);
    SendMessageW(d->list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    theme_color_list(d->list);
    LVCOLUMNW col = {};
    col.mask = LVCF_TEXT | LVCF_WIDTH;
    col.pszText = (LPWSTR)L"变量（名称 @ 地址）";
    col.cx = 400;
    SendMessageW(d->list, LVM_INSERTCOLUMNW, 0, (LPARAM)&col);
    theme_header(d->list);
    add_child(hwnd, WC_BUTTONW, L"确定", WS_TABSTOP | BS_DEFPUSHBUTTON, 0, ID_PICK_OK, 0, 0, 10, 10);
    add_child(hwnd, WC_BUTTONW, L"取消", WS_TABSTOP | BS_PUSHBUTTON, 0, ID_PICK_CANCEL, 0, 0, 10, 10);
    RECT rc;
    GetClientRect(hwnd, &rc);
    pick_place_children(hwnd, rc.right, rc.bottom);
    SetFocus(d->edit);
}

// The search text changed: list the leaves it finds (an empty text finds nothing).
void pick_refill(PickDialog* d) {
    wchar_t text16[TEXT_INPUT_CAPACITY];
    GetWindowTextW(d->edit, text16, TEXT_INPUT_CAPACITY);
    char text[TEXT_INPUT_CAPACITY];
    utf16_to_utf8((const char16_t*)text16, text, sizeof text);
    d->row_count = leaf_search(text, PICK_ROW_CAPACITY, d->rows);
    d->rows_epoch = leaf_table_epoch();
    for (int32_t k = 0; k < d->row_count; k++) {
        const VarLeaf* leaf = leaf_at(d->rows[k]);
        text_copy(d->row_names[k], LEAF_NAME_CAPACITY, leaf ? leaf->name : "");
    }
    SendMessageW(d->list, WM_SETREDRAW, FALSE, 0);
    SendMessageW(d->list, LVM_DELETEALLITEMS, 0, 0);
    for (int32_t k = 0; k < d->row_count; k++) {
        const VarLeaf* leaf = leaf_at(d->rows[k]);
        char row[ROW_TEXT_CAPACITY * 3];
        text_printf(row, sizeof row, "%s @0x%llX", leaf ? leaf->name : "?",
                    (unsigned long long)(leaf ? leaf->address : 0));
        char16_t row16[ROW_TEXT_CAPACITY];
        utf8_to_utf16(row, row16, ROW_TEXT_CAPACITY);
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = k;
        item.pszText = (LPWSTR)row16;
        SendMessageW(d->list, LVM_INSERTITEMW, 0, (LPARAM)&item);
    }
    SendMessageW(d->list, WM_SETREDRAW, TRUE, 0);
}

// The selected rows' ids into the caller's result, top to bottom, at most 512. While the dialog
// was open the firmware may have been reloaded (the change check's prompt runs inside its loop):
// then the rows' ids belong to the old table and are found again by name; gone ones are left out.
int32_t pick_collect(PickDialog* d) {
    bool stale = d->rows_epoch != leaf_table_epoch();
    int32_t n = 0;
    int row = -1;
    while (n < PICK_RESULT_CAPACITY &&
           (row = (int)SendMessageW(d->list, LVM_GETNEXTITEM, (WPARAM)row, LVNI_SELECTED)) >= 0) {
        if (row >= d->row_count) continue;
        LeafId id = leaf_id_after_rebuild(d->rows[row], d->row_names[row], d->rows_epoch);
        if (id >= 0) d->result->ids[n++] = id;
    }
    d->result->count = n;
    if (stale) pick_refill(d);  // the list shows the new table from here on
    return n;
}

void pick_select_rows(PickDialog* d, int start, int count) {
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    state.state = 0;
    SendMessageW(d->list, LVM_SETITEMSTATE, (WPARAM)-1, (LPARAM)&state);
    state.state = LVIS_SELECTED;
    for (int row = start; row < start + count && row < d->row_count; row++) {
        if (row >= 0) SendMessageW(d->list, LVM_SETITEMSTATE, (WPARAM)row, (LPARAM)&state);
    }
}

// Context menu or WM_APP + 43: the selection goes to the windows of a kind; the dialog stays.
void pick_add_selection(PickDialog* d, int32_t kind) {
    int32_t n = pick_collect(d);
    if (g_tree_hooks.add_leaves_to_kind && n > 0) g_tree_hooks.add_leaves_to_kind(kind, d->result->ids, n);
    log_printf(LOG_INFO, "搜索对话框添加变量: %d 个到%s", (int)n, kind == TREE_WINDOW_WAVEFORM ? "波形窗口" : "数值窗口");
}

void pick_context_menu(HWND hwnd, PickDialog* d, int x, int y) {
    bool any = SendMessageW(d->list, LVM_GETSELECTEDCOUNT, 0, 0) > 0;
    if (x == -1 && y == -1) {  // the menu key: at the list's corner
        RECT rc;
        GetWindowRect(d->list, &rc);
        x = rc.left + 10;
        y = rc.top + 10;
    }
    HMENU menu = CreatePopupMenu();
    UINT flags = MF_STRING | (any ? MF_ENABLED : MF_GRAYED);
    AppendMenuW(menu, flags, ID_PICK_ADD_WAVEFORM, L"添加到波形窗口");
    AppendMenuW(menu, flags, ID_PICK_ADD_NUMERIC, L"添加到数值窗口");
    int command = (int)TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, x, y, 0, hwnd, nullptr);
    DestroyMenu(menu);
    if (command == ID_PICK_ADD_WAVEFORM) pick_add_selection(d, TREE_WINDOW_WAVEFORM);
    else if (command == ID_PICK_ADD_NUMERIC) pick_add_selection(d, TREE_WINDOW_NUMERIC);
}

LRESULT pick_notify(HWND hwnd, PickDialog* d, NMHDR* hdr) {
    if (hdr->idFrom != ID_PICK_LIST) return 0;
    if (hdr->code == NM_DBLCLK) {
        pick_collect(d);
        dialog_close(hwnd);
    } else if (hdr->code == LVN_KEYDOWN) {
        const NMLVKEYDOWN* key = (const NMLVKEYDOWN*)hdr;
        if (key->wVKey == 'A' && GetKeyState(VK_CONTROL) < 0) pick_select_rows(d, 0, d->row_count);
    }
    return 0;
}

LRESULT CALLBACK pick_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT themed = 0;
    if (theme_dialog_message(hwnd, msg, wp, lp, &themed)) return themed;
    PickDialog* d = pick_of(hwnd);
    switch (msg) {
        case WM_CREATE: {
            d = (PickDialog*)calloc(1, sizeof(PickDialog));
            if (!d) return -1;
            d->result = (PickResult*)((CREATESTRUCTW*)lp)->lpCreateParams;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, (LONG_PTR)d);
            pick_create_children(hwnd, d);
            return 0;
        }
        case WM_SIZE:
            if (d) pick_place_children(hwnd, LOWORD(lp), HIWORD(lp));
            return 0;
        case DM_GETDEFID: return MAKELRESULT(ID_PICK_OK, DC_HASDEFID);
        case WM_COMMAND: {
            if (!d) break;
            int id = LOWORD(wp);
            if (id == ID_PICK_EDIT && HIWORD(wp) == EN_CHANGE) {
                pick_refill(d);
            } else if (id == ID_PICK_OK || id == IDOK) {
                pick_collect(d);
                dialog_close(hwnd);
            } else if (id == ID_PICK_CANCEL || id == IDCANCEL) {
                dialog_close(hwnd);
            }
            return 0;
        }
        case WM_NOTIFY: return d ? pick_notify(hwnd, d, (NMHDR*)lp) : 0;
        case WM_CONTEXTMENU:
            if (d && (HWND)wp == d->list) pick_context_menu(hwnd, d, (short)LOWORD(lp), (short)HIWORD(lp));
            return 0;
        case MSG_PICK_SELECT_ROWS:
            if (d) pick_select_rows(d, (int)wp, (int)lp);
            return 0;
        case MSG_PICK_ADD_SELECTION:
            if (d) pick_add_selection(d, wp ? TREE_WINDOW_WAVEFORM : TREE_WINDOW_NUMERIC);
            return 0;
        case WM_CLOSE: dialog_close(hwnd); return 0;
        case WM_DESTROY:
            free(d);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            return 0;
        default: break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// Opens and runs a pick dialog with this title; false when it could not be created.
bool run_pick_dialog(HWND owner, const wchar_t* title, PickResult* result) {
    register_dialog_class(kPickClass, pick_proc);
    result->count = 0;
    HWND dialog = CreateWindowExW(WS_EX_DLGMODALFRAME, kPickClass, title, WS_POPUP | WS_BORDER | WS_CAPTION | WS_SYSMENU,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 460, 400, owner, nullptr, GetModuleHandleW(nullptr),
                                  result);
    if (!dialog) return false;
    run_modal(dialog, owner);
    return true;
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Pick and search commands
//-------------------------------------------------------------------------------------------------

int pick_variables(HWND owner, LeafId* out_ids, int32_t capacity, int32_t* out_count) {
    if (out_count) *out_count = 0;
    if (leaf_count() <= 0) {
        platform()->message_box("请先加载 ELF 文件", "选择变量", PLATFORM_MB_OK | PLATFORM_MB_ICONINFORMATION);
        return -1;
    }
    static PickResult result;  // modal, so one at a time
    if (!run_pick_dialog(owner, L"添加变量（模糊搜索·支持多选）", &result)) return -1;
    if (result.count <= 0) return -1;
    int32_t n = result.count < capacity ? result.count : capacity;
    for (int32_t i = 0; i < n && out_ids; i++) out_ids[i] = result.ids[i];
    if (out_count) *out_count = n;
    return 0;
}

void search_variables(HWND owner) {
    if (leaf_count() <= 0) {
        platform()->message_box("请先加载 ELF 文件", "搜索变量", PLATFORM_MB_OK | PLATFORM_MB_ICONINFORMATION);
        return;
    }
    static PickResult result;
    if (!run_pick_dialog(owner ? owner : main_window(), L"搜索变量（模糊搜索·Ctrl+F）", &result)) return;
    int32_t n = result.count < PICK_RESULT_CAPACITY ? result.count : PICK_RESULT_CAPACITY;
    if (n <= 0) return;
    const VariablePanelState* panel = variable_panel_state();
    if (panel->hidden) expand_variable_panel("搜索定位");
    int32_t located = tree_locate_leaves(result.ids, n);
    log_printf(LOG_INFO, "搜索定位变量: 选中 %d 个，定位 %d 个", (int)n, (int)located);
}

int32_t host_pick_dialog(void* owner, int32_t* first_id) {
    LeafId ids[PICK_RESULT_CAPACITY];
    int32_t n = 0;
    HWND parent = owner ? (HWND)owner : main_window();
    if (pick_variables(parent, ids, PICK_RESULT_CAPACITY, &n) != 0 || n < 1) return 0;
    if (first_id) *first_id = ids[0];
    return 1;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Write-value dialog
//-------------------------------------------------------------------------------------------------

namespace {

// What the write dialog shows and hands back (the caller's, for the length of the loop).
struct WriteDialog {
    LeafId id;
    char16_t current[CURRENT_TEXT_CAPACITY];  // the last sample's text, or empty
    int32_t ok;
    char16_t text[TEXT_INPUT_CAPACITY];
};

bool write_take_text(HWND dialog, void* data) {
    WriteDialog* d = (WriteDialog*)data;
    GetWindowTextW(GetDlgItem(dialog, ID_WRITE_EDIT), (wchar_t*)d->text, TEXT_INPUT_CAPACITY);
    d->ok = 1;
    return true;
}

LRESULT CALLBACK write_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT themed = 0;
    if (theme_dialog_message(hwnd, msg, wp, lp, &themed)) return themed;
    WriteDialog* d = (WriteDialog*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    switch (msg) {
        case WM_CREATE: {
            d = (WriteDialog*)((CREATESTRUCTW*)lp)->lpCreateParams;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, (LONG_PTR)d);
            const VarLeaf* leaf = leaf_at(d->id);
            char current[CURRENT_TEXT_CAPACITY * 3];
            if (d->current[0]) utf16_to_utf8(d->current, current, sizeof current);
            else text_copy(current, sizeof current, "(未读取)");
            char line[LEAF_NAME_CAPACITY + CURRENT_TEXT_CAPACITY * 3 + 64];
            text_printf(line, sizeof line, "%s  @0x%llX   当前: %s", leaf ? leaf->name : "?",
                        (unsigned long long)(leaf ? leaf->address : 0), current);
            char16_t line16[512];
            utf8_to_utf16(line, line16, 512);
            add_child(hwnd, WC_STATICW, (const wchar_t*)line16, SS_LEFT, 0, -1, 10, 12, 420, 26);
            HWND edit = add_child(hwnd, WC_EDITW, (const wchar_t*)d->current, WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0,
                                  ID_WRITE_EDIT, 10, 46, 420, 26);
            add_child(hwnd, WC_BUTTONW, L"确定", WS_TABSTOP | BS_DEFPUSHBUTTON, 0, ID_WRITE_OK, 300, 88, 60, 26);
            add_child(hwnd, WC_BUTTONW, L"取消", WS_TABSTOP | BS_PUSHBUTTON, 0, ID_WRITE_CANCEL, 370, 88, 60, 26);
            SendMessageW(edit, EM_SETSEL, 0, -1);
            SetFocus(edit);
            return 0;
        }
        default: break;
    }
    static const SimpleDialog kButtons = {ID_WRITE_OK, ID_WRITE_CANCEL, write_take_text};
    LRESULT result;
    if (simple_dialog_message(hwnd, msg, wp, kButtons, d, &result)) return result;
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int write_value_dialog(HWND owner, LeafId id) {
    const VarLeaf* leaf = leaf_at(id);
    if (!leaf) return -1;
    register_dialog_class(kEditClass, write_proc);
    WriteDialog d = {};
    d.id = id;
    // The change check may reload the firmware while the dialog is open (its prompt runs from the
    // main window's timer): the value then goes to this variable, found again by name.
    char name[LEAF_NAME_CAPACITY];
    text_copy(name, sizeof name, leaf->name);
    uint32_t epoch = leaf_table_epoch();
    // The acquisition thread may be writing the leaf's last sample meanwhile: copy it word by word
    // with the same relaxed atomics the charts use.
    Sample last;
    sample_slot_load(&last, &leaf->last_sample);
    last.text[sizeof last.text - 1] = 0;
    if (last.timestamp_us != 0 || last.text[0]) utf8_to_utf16(last.text, d.current, CURRENT_TEXT_CAPACITY);
    HWND dialog = CreateWindowExW(WS_EX_DLGMODALFRAME, kEditClass, L"写入变量值", WS_POPUP | WS_BORDER | WS_DLGFRAME | WS_SYSMENU,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 440, 160, owner, nullptr, GetModuleHandleW(nullptr), &d);
    if (!dialog) return -1;
    run_modal(dialog, owner);
    if (!d.ok) return -1;
    char error[256] = "";
    LeafId target = leaf_id_after_rebuild(id, name, epoch);
    if (target < 0) {
        text_printf(error, sizeof error, "变量 %s 在重新加载的 ELF 中已不存在，未写入", name);
        log_printf(LOG_WARN, "%s", error);
        platform()->message_box(error, "写入失败", PLATFORM_MB_OK | PLATFORM_MB_ICONERROR);
        return -1;
    }
    char text[TEXT_INPUT_CAPACITY];
    utf16_to_utf8(d.text, text, sizeof text);
    if (variable_write(target, text, error, sizeof error) == 0) return 0;
    platform()->message_box(error, "写入失败", PLATFORM_MB_OK | PLATFORM_MB_ICONERROR);
    return -1;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Network configuration dialog
//-------------------------------------------------------------------------------------------------

namespace {

// The network dialog's result (heap, 160 bytes): address and port, both empty after Cancel.
struct NetConfigResult {
    char16_t address[64];
    char16_t port[16];
};
static_assert(sizeof(NetConfigResult) == 160, "NetConfigResult is 160 bytes");

// What the network dialog starts with and where it puts its answer; the shared key is edited in
// place (a masked field).
struct NetDialog {
    const wchar_t* address;
    const wchar_t* port;
    NetConfigResult* result;
    wchar_t key[NET_KEY_CAPACITY];
};

// An empty address or a port outside 1..65535 is refused with a message; the dialog stays open
// with the port field focused, so nothing unusable reaches the toolbar.
bool net_take_fields(HWND dialog, void* data) {
    NetDialog* d = (NetDialog*)data;
    char16_t address[64], port[16];
    GetWindowTextW(GetDlgItem(dialog, ID_NET_ADDRESS), (wchar_t*)address, 64);
    GetWindowTextW(GetDlgItem(dialog, ID_NET_PORT), (wchar_t*)port, 16);
    int field = !address[0] ? ID_NET_ADDRESS : text16_to_port(port) < 0 ? ID_NET_PORT : 0;
    if (field) {
        const char* why = field == ID_NET_ADDRESS ? "IP 地址不能为空" : "端口必须是 1-65535 之间的数字";
        log_printf(LOG_WARN, "网络配置未保存: %s", why);
        platform()->message_box(why, "网络配置", PLATFORM_MB_OK | PLATFORM_MB_ICONERROR);
        SetFocus(GetDlgItem(dialog, field));
        return false;
    }
    text16_copy(d->result->address, 64, address);
    text16_copy(d->result->port, 16, port);
    GetWindowTextW(GetDlgItem(dialog, ID_NET_KEY), d->key, NET_KEY_CAPACITY);
    return true;
}

LRESULT CALLBACK net_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT themed = 0;
    if (theme_dialog_message(hwnd, msg, wp, lp, &themed)) return themed;
    NetDialog* d = (NetDialog*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    switch (msg) {
        case WM_CREATE: {
            d = (NetDialog*)((CREATESTRUCTW*)lp)->lpCreateParams;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, (LONG_PTR)d);
            add_child(hwnd, WC_STATICW, L"IP 地址", SS_LEFT, 0, -1, 14, 18, 60, 22);
            HWND address = add_child(hwnd, WC_EDITW, d->address, WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0,
                                     ID_NET_ADDRESS, 84, 14, 210, 22);
            add_child(hwnd, WC_STATICW, L"端口", SS_LEFT, 0, -1, 14, 52, 60, 22);
            add_child(hwnd, WC_EDITW, d->port, WS_BORDER | WS_TABSTOP | ES_NUMBER, 0, ID_NET_PORT, 84, 48, 100, 22);
            add_child(hwnd, WC_STATICW, L"共享密钥", SS_LEFT, 0, -1, 14, 86, 66, 22);
            add_child(hwnd, WC_EDITW, d->key, WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, 0, ID_NET_KEY, 84,
                      82, 210, 22);
            add_child(hwnd, WC_STATICW, L"连接/监听均使用以上地址与端口", SS_LEFT, 0, -1, 14, 114, 290, 18);
            add_child(hwnd, WC_STATICW, L"监听非本机地址时必须设置密钥", SS_LEFT, 0, -1, 14, 134, 290, 18);
            add_child(hwnd, WC_BUTTONW, L"确定", WS_TABSTOP | BS_DEFPUSHBUTTON, 0, ID_NET_OK, 156, 162, 64, 26);
            add_child(hwnd, WC_BUTTONW, L"取消", WS_TABSTOP | BS_PUSHBUTTON, 0, ID_NET_CANCEL, 232, 162, 64, 26);
            SetFocus(address);
            return 0;
        }
        default: break;
    }
    static const SimpleDialog kButtons = {ID_NET_OK, ID_NET_CANCEL, net_take_fields};
    LRESULT result;
    if (simple_dialog_message(hwnd, msg, wp, kButtons, d, &result)) return result;
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

void network_config_dialog() {
    HWND main = main_window();
    wchar_t address[64] = L"127.0.0.1";
    wchar_t port[16] = L"10000";
    HWND address_field = main ? GetDlgItem(main, ID_TOOLBAR_ADDRESS) : nullptr;
    HWND port_field = main ? GetDlgItem(main, ID_TOOLBAR_PORT) : nullptr;
    if (address_field) GetWindowTextW(address_field, address, 64);
    if (port_field) GetWindowTextW(port_field, port, 16);

    register_dialog_class(kNetClass, net_proc);
    NetConfigResult* result = (NetConfigResult*)calloc(1, sizeof(NetConfigResult));
    if (!result) return;
    NetDialog d = {address, port, result, {}};
    char key8[NET_KEY_CAPACITY];
    net_key_copy(key8, sizeof key8);
    utf8_to_utf16(key8, (char16_t*)d.key, NET_KEY_CAPACITY);
    int x = (GetSystemMetrics(SM_CXSCREEN) - 320) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - 222) / 2;
    HWND dialog = CreateWindowExW(WS_EX_DLGMODALFRAME, kNetClass, L"网络配置", WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU,
                                  x, y, 320, 222, main, nullptr, GetModuleHandleW(nullptr), &d);
    if (dialog) {
        run_modal(dialog, main);
        if (result->address[0]) {
            // The key is remembered (layout) and sent with the next listen or connect; the log
            // says only whether there is one.
            utf16_to_utf8((const char16_t*)d.key, key8, sizeof key8);
            net_key_set(key8);
            log_printf(LOG_INFO, "网络配置: 共享密钥%s", key8[0] ? "已设置" : "未设置");
            if (address_field) SetWindowTextW(address_field, (const wchar_t*)result->address);
            if (port_field) SetWindowTextW(port_field, (const wchar_t*)result->port);
            char address8[256], port8[64];
            utf16_to_utf8(result->address, address8, sizeof address8);
            utf16_to_utf8(result->port, port8, sizeof port8);
            log_printf(LOG_INFO, "网络配置: %s:%s", address8, port8);
        }
    }
    free(result);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Workspace menu
//-------------------------------------------------------------------------------------------------

void show_workspace_menu() {
    HWND main = main_window();
    if (!main) return;
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 2012, L"新建波形窗口");
    AppendMenuW(menu, MF_STRING, 2013, L"新建数值窗口");
    // The module window types, as the "窗口(&W)" menu lists them (ids 2200 + n).
    HMENU bar = GetMenu(main);
    HMENU windows = bar ? GetSubMenu(bar, 3) : nullptr;
    int count = windows ? GetMenuItemCount(windows) : 0;
    for (int i = 0; i < count; i++) {
        UINT id = GetMenuItemID(windows, i);
        if (id < 2200 || id == (UINT)-1) continue;
        wchar_t label[128];
        if (GetMenuStringW(windows, (UINT)i, label, 128, MF_BYPOSITION) > 0) AppendMenuW(menu, MF_STRING, id, label);
    }
    POINT pt;
    GetCursorPos(&pt);
    SetForegroundWindow(main);
    TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, pt.x, pt.y, 0, main, nullptr);
    DestroyMenu(menu);
}
