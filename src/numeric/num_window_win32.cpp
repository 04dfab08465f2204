// num_window_win32.cpp - the numeric window "KXNumWin" on Win32 (see num_window_win32.h).
//
// Index:
//   [SECTION] Record lookup and colours
//   [SECTION] Table operations (list control and edit box)
//   [SECTION] Creation and painting
//   [SECTION] Commands: context menu, add, remove
//   [SECTION] Window procedure
//   [SECTION] Public operations and registration
#include "numeric/num_window_win32.h"

#include <commctrl.h>

#include <cstdlib>

#include "core/log.h"
#include "core/platform.h"
#include "core/platform_win32.h"
#include "core/text.h"
#include "numeric/num_window.h"
#include "recording/replay.h"
#include "vartable/tree_model.h"
#include "workspace/dialogs_win32.h"
#include "workspace/main_window_win32.h"
#include "workspace/theme_win32.h"
#include "workspace/workspace.h"

namespace {

const wchar_t kNumClass[] = L"KXNumWin";
ATOM g_num_atom;

// Set while the editor closes because it lost the focus: the focus is on its way to whatever the
// user clicked and must not be pulled back to the table.
bool g_closing_on_focus_loss;

//-------------------------------------------------------------------------------------------------
// [SECTION] Record lookup and colours
//-------------------------------------------------------------------------------------------------

// The live record of a numeric window, or null (other classes are never dereferenced).
NumWindow* num_from(HWND hwnd) {
    if (!hwnd || !g_num_atom || !IsWindow(hwnd)) return nullptr;
    if ((ATOM)GetClassLongPtrW(hwnd, GCW_ATOM) != g_num_atom) return nullptr;
    NumWindow* w = (NumWindow*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    return num_record_live(w) ? w : nullptr;
}

COLORREF colour(int32_t index) {
    uint32_t rgb = theme_color(index);
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

HWND list_of(NumWindow* w) { return (HWND)w->list; }

//-------------------------------------------------------------------------------------------------
// [SECTION] Table operations (list control and edit box)
//-------------------------------------------------------------------------------------------------

void op_insert_row(NumWindow* w, int32_t row) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = (wchar_t*)L"";
    SendMessageW(list_of(w), LVM_INSERTITEMW, 0, (LPARAM)&item);
}

void op_delete_row(NumWindow* w, int32_t row) { SendMessageW(list_of(w), LVM_DELETEITEM, (WPARAM)row, 0); }

void get_cell(HWND list, int32_t row, int32_t col, wchar_t* out, int capacity) {
    out[0] = 0;
    LVITEMW item = {};
    item.iSubItem = col;
    item.pszText = out;
    item.cchTextMax = capacity;
    SendMessageW(list, LVM_GETITEMTEXTW, (WPARAM)row, (LPARAM)&item);
}

// Sets a cell's text; an unchanged text is left alone so that a steady value does not repaint.
void op_set_text(NumWindow* w, int32_t row, int32_t col, const char* text) {
    wchar_t wide[NUM_EDIT_TEXT_CAPACITY], current[NUM_EDIT_TEXT_CAPACITY];
    utf8_to_utf16(text, (char16_t*)wide, NUM_EDIT_TEXT_CAPACITY);
    get_cell(list_of(w), row, col, current, NUM_EDIT_TEXT_CAPACITY);
    if (wcscmp(wide, current) == 0) return;
    LVITEMW item = {};
    item.iSubItem = col;
    item.pszText = wide;
    SendMessageW(list_of(w), LVM_SETITEMTEXTW, (WPARAM)row, (LPARAM)&item);
}

int32_t op_is_checked(NumWindow* w, int32_t row) {
    UINT state = (UINT)SendMessageW(list_of(w), LVM_GETITEMSTATE, (WPARAM)row, LVIS_STATEIMAGEMASK);
    return (state >> 12) == 2 ? 1 : 0;
}

void op_set_checked(NumWindow* w, int32_t row, int32_t on) {
    LVITEMW item = {};
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(on ? 2 : 1);
    SendMessageW(list_of(w), LVM_SETITEMSTATE, (WPARAM)row, (LPARAM)&item);
}

// Enter commits, Escape cancels, losing the focus commits; everything else is ordinary editing.
LRESULT CALLBACK edit_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR data) {
    NumWindow* w = (NumWindow*)data;
    switch (msg) {
        case WM_KEYDOWN:
            if (wp == VK_RETURN || wp == VK_ESCAPE) {
                num_end_edit(w, wp == VK_RETURN);  // destroys this box
                return 0;
            }
            break;
        case WM_CHAR:
            if (wp == L'\r' || wp == 27) return 0;  // no beep for the keys handled above
            break;
        case WM_GETDLGCODE:
            return DLGC_WANTALLKEYS | DefSubclassProc(hwnd, msg, wp, lp);
        case WM_KILLFOCUS: {
            LRESULT r = DefSubclassProc(hwnd, msg, wp, lp);
            g_closing_on_focus_loss = true;
            num_end_edit(w, 1);
            g_closing_on_focus_loss = false;
            return r;
        }
        default:
            break;
    }
    return DefSubclassProc(hwnd, msg, wp, lp);
}

void* op_create_editor(NumWindow* w, int32_t row, int32_t col) {
    HWND list = list_of(w);
    HWND header = (HWND)SendMessageW(list, LVM_GETHEADER, 0, 0);
    int columns = header ? (int)SendMessageW(header, HDM_GETITEMCOUNT, 0, 0) : NUM_COLUMN_COUNT;
    if (col < 0 || col >= columns) return nullptr;
    RECT rc = {};
    rc.top = col;
    rc.left = LVIR_BOUNDS;
    if (!SendMessageW(list, LVM_GETSUBITEMRECT, (WPARAM)row, (LPARAM)&rc)) return nullptr;
    if (col == 0) {
        // Sub-item 0's bounds are the whole row; the cell is the first column's width.
        rc.right = rc.left + (int)SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0);
    }
    HWND edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | ES_AUTOHSCROLL, rc.left, rc.top,
                                rc.right - rc.left, rc.bottom - rc.top, list, (HMENU)(INT_PTR)NUM_EDIT_ID,
                                GetModuleHandleW(nullptr), nullptr);
    if (!edit) return nullptr;
    SetWindowSubclass(edit, edit_proc, 1, (DWORD_PTR)w);
    return edit;
}

void op_start_editor(NumWindow* w) {
    HWND edit = (HWND)w->edit;
    wchar_t text[NUM_CELL_TEXT_CAPACITY];
    get_cell(list_of(w), w->edit_row, w->edit_col, text, NUM_CELL_TEXT_CAPACITY);
    SetWindowTextW(edit, text);
    SendMessageW(edit, WM_SETFONT, SendMessageW(list_of(w), WM_GETFONT, 0, 0), FALSE);
    ShowWindow(edit, SW_SHOW);
    SetFocus(edit);
    SendMessageW(edit, EM_SETSEL, 0, -1);
}

void op_read_editor(NumWindow*, void* edit, char* out, size_t capacity) {
    wchar_t wide[NUM_EDIT_TEXT_CAPACITY];
    wide[0] = 0;
    GetWindowTextW((HWND)edit, wide, NUM_EDIT_TEXT_CAPACITY);
    utf16_to_utf8((const char16_t*)wide, out, capacity);
}

void op_destroy_editor(NumWindow*, void* edit) {
    if (IsWindow((HWND)edit)) DestroyWindow((HWND)edit);
}

void op_focus_table(NumWindow* w) {
    if (g_closing_on_focus_loss) return;
    if (IsWindow(list_of(w))) SetFocus(list_of(w));
}

const NumTableOps kListOps = {op_insert_row,   op_delete_row,  op_set_text,       op_is_checked,
                              op_set_checked,  op_create_editor, op_start_editor, op_read_editor,
                              op_destroy_editor, op_focus_table};

//-------------------------------------------------------------------------------------------------
// [SECTION] Creation and painting
//-------------------------------------------------------------------------------------------------

struct ColumnSpec {
    const char* header;
    int width;
    int format;
};
const ColumnSpec kColumns[NUM_COLUMN_COUNT] = {
    {"实时", 56, LVCFMT_CENTER}, {"变量", 190, LVCFMT_LEFT},   {"地址", 90, LVCFMT_LEFT},
    {"数值", 120, LVCFMT_LEFT},  {"最小值", 100, LVCFMT_RIGHT}, {"最大值", 100, LVCFMT_RIGHT},
};

void apply_theme(NumWindow* w) {
    HWND list = list_of(w);
    if (!list) return;
    SendMessageW(list, LVM_SETBKCOLOR, 0, (LPARAM)colour(12));
    SendMessageW(list, LVM_SETTEXTBKCOLOR, 0, (LPARAM)colour(12));
    SendMessageW(list, LVM_SETTEXTCOLOR, 0, (LPARAM)colour(13));
    theme_header(list);
    InvalidateRect(list, nullptr, TRUE);
    InvalidateRect((HWND)w->window, nullptr, TRUE);
}

bool create_table(NumWindow* w, HWND hwnd) {
    HWND list = CreateWindowExW(0, WC_LISTVIEWW, L"",
                                WS_CHILD | WS_VISIBLE | WS_HSCROLL | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS,
                                0, NUM_TITLE_STRIP_HEIGHT, 100, 100, hwnd, (HMENU)(INT_PTR)NUM_LIST_ID,
                                GetModuleHandleW(nullptr), nullptr);
    if (!list) return false;
    w->list = list;
    DWORD ex = LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT;
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, ex, ex);
    SendMessageW(list, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), FALSE);
    for (int c = 0; c < NUM_COLUMN_COUNT; c++) {
        wchar_t header[16];
        utf8_to_utf16(kColumns[c].header, (char16_t*)header, 16);
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
        column.fmt = kColumns[c].format;
        column.cx = kColumns[c].width;
        column.pszText = header;
        column.iSubItem = c;
        SendMessageW(list, LVM_INSERTCOLUMNW, (WPARAM)c, (LPARAM)&column);
    }
    apply_theme(w);
    return true;
}

void paint_title_strip(HWND hwnd, NumWindow* w) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT client;
    GetClientRect(hwnd, &client);
    HBRUSH fill = CreateSolidBrush(colour(1));
    HBRUSH frame = CreateSolidBrush(colour(4));
    FillRect(dc, &client, fill);
    FrameRect(dc, &client, frame);
    DeleteObject(fill);
    DeleteObject(frame);
    HGDIOBJ old_font = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, colour(2));
    int width = client.right;
    RECT title = {4, 2, width - NUM_CLOSE_BOX_WIDTH, NUM_TITLE_STRIP_HEIGHT};
    DrawTextW(dc, (const wchar_t*)w->title, -1, &title, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    RECT close = {width - 20, 2, width - 4, NUM_TITLE_STRIP_HEIGHT};
    DrawTextW(dc, L"\u00D7", -1, &close, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(dc, old_font);
    EndPaint(hwnd, &ps);
}

void post_to_main(UINT msg, HWND hwnd) { platform()->post_main(msg, (uintptr_t)hwnd, 0); }

//-------------------------------------------------------------------------------------------------
// [SECTION] Commands: context menu, add, remove
//-------------------------------------------------------------------------------------------------

enum : UINT { MENU_ADD = 1, MENU_REMOVE = 2, MENU_EDIT = 3, MENU_CLOSE = 4 };

int32_t selected_row(NumWindow* w) {
    return (int32_t)SendMessageW(list_of(w), LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED);
}

void add_from_pick_dialog(HWND hwnd) {
    LeafId ids[NUM_PICK_CAPACITY];
    int32_t count = 0;
    HWND owner = platform_win32_main_window();
    if (pick_variables(owner ? owner : GetAncestor(hwnd, GA_ROOT), ids, NUM_PICK_CAPACITY, &count) != 0) return;
    NumWindow* w = num_from(hwnd);  // the modal loop ran: look the record up again
    if (!w) return;
    for (int32_t i = 0; i < count; i++) num_rows_add(w, ids[i]);
    log_printf(LOG_INFO, "数值窗口批量添加变量: %d 个", count);
}

void append_item(HMENU menu, UINT id, const char* text, bool enabled) {
    wchar_t wide[64];
    utf8_to_utf16(text, (char16_t*)wide, 64);
    AppendMenuW(menu, MF_STRING | (enabled ? 0 : MF_GRAYED), id, wide);
}

void show_context_menu(HWND hwnd, NumWindow* w) {
    bool selected = selected_row(w) >= 0;
    HMENU menu = CreatePopupMenu();
    append_item(menu, MENU_ADD, "添加变量...", true);
    append_item(menu, MENU_REMOVE, "移除选中变量", selected);
    append_item(menu, MENU_EDIT, "写入值（就地编辑）", selected);
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    append_item(menu, MENU_CLOSE, "关闭窗口", true);
    POINT at;
    GetCursorPos(&at);
    UINT id = (UINT)TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, hwnd, nullptr);
    DestroyMenu(menu);
    w = num_from(hwnd);
    if (!w) return;
    switch (id) {
        case MENU_ADD: add_from_pick_dialog(hwnd); break;
        case MENU_REMOVE: num_rows_remove(w, selected_row(w)); break;
        case MENU_EDIT: num_begin_edit(w, selected_row(w), NUM_COL_VALUE); break;
        case MENU_CLOSE: post_to_main(KX_MSG_CLOSE_HOSTED, hwnd); break;
        default: break;
    }
}

// A double click on a value, minimum or maximum cell opens the editor there.
void on_double_click(NumWindow* w, const NMITEMACTIVATE* activate) {
    LVHITTESTINFO hit = {};
    hit.pt = activate->ptAction;
    if (SendMessageW(list_of(w), LVM_SUBITEMHITTEST, 0, (LPARAM)&hit) < 0 || hit.iItem < 0) return;
    if (hit.iSubItem < NUM_COL_VALUE || hit.iSubItem > NUM_COL_MAX) return;
    num_begin_edit(w, hit.iItem, hit.iSubItem);
}

LRESULT on_notify(HWND hwnd, NumWindow* w, const NMHDR* header) {
    if (header->hwndFrom != list_of(w)) return 0;
    switch (header->code) {
        case NM_DBLCLK: on_double_click(w, (const NMITEMACTIVATE*)header); break;
        case NM_RCLICK: show_context_menu(hwnd, w); break;
        case NM_SETFOCUS:
            if (g_num_hooks.report_focus) g_num_hooks.report_focus(hwnd);
            break;
        default: break;
    }
    return 0;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Window procedure
//-------------------------------------------------------------------------------------------------

LRESULT on_create(HWND hwnd, const CREATESTRUCTW* create) {
    NumWindow* w = (NumWindow*)calloc(1, sizeof(NumWindow));
    if (!w) return -1;
    num_record_init(w, hwnd, (const char16_t*)create->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, (LONG_PTR)w);
    if (!create_table(w, hwnd)) return -1;  // WM_NCDESTROY frees the record
    return 0;
}

LRESULT CALLBACK num_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CREATE) return on_create(hwnd, (const CREATESTRUCTW*)lp);
    if (msg == WM_NCDESTROY) {
        // Children are gone by now: nothing can reach the record any more.
        NumWindow* w = (NumWindow*)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        if (w) {
            num_record_retire(w);
            free(w);
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    NumWindow* w = num_from(hwnd);
    if (!w) return DefWindowProcW(hwnd, msg, wp, lp);
    switch (msg) {
        case WM_DESTROY:
            // The edit box dies with the table; its focus loss must not write anything.
            num_record_retire(w);
            return 0;
        case WM_SIZE: {
            int width = LOWORD(lp), height = HIWORD(lp);
            int table_height = height > NUM_TITLE_STRIP_HEIGHT ? height - NUM_TITLE_STRIP_HEIGHT : 0;
            MoveWindow(list_of(w), 0, NUM_TITLE_STRIP_HEIGHT, width, table_height, TRUE);
            InvalidateRect(hwnd, nullptr, TRUE);
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT:
            paint_title_strip(hwnd, w);
            return 0;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK: {
            RECT client;
            GetClientRect(hwnd, &client);
            int x = (short)LOWORD(lp), y = (short)HIWORD(lp);
            if (y < 0 || y >= NUM_TITLE_STRIP_HEIGHT) break;
            bool on_close_box = x >= client.right - NUM_CLOSE_BOX_WIDTH;
            if (msg == WM_LBUTTONDOWN && on_close_box) post_to_main(KX_MSG_CLOSE_HOSTED, hwnd);
            else if (msg == WM_LBUTTONDBLCLK && !on_close_box) post_to_main(KX_MSG_FULL_SCREEN, hwnd);
            return 0;
        }
        case WM_SETFOCUS:
            if (g_num_hooks.report_focus) g_num_hooks.report_focus(hwnd);
            // The keys belong to the table (full screen hands the focus to this window).
            if (IsWindow(list_of(w))) SetFocus(list_of(w));
            return 0;
        case WM_NOTIFY:
            return on_notify(hwnd, w, (const NMHDR*)lp);
        case NUM_MSG_BEGIN_EDIT:
            num_begin_edit(w, (int32_t)wp, (int32_t)lp);
            return 0;
        case NUM_MSG_LOG_MINMAX:
            num_rows_log_minmax(w);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// The workspace's view of a numeric window (handles are HWNDs).
void* hosted_create(void* parent, int32_t x, int32_t y, int32_t width, int32_t height, const char* title_utf8) {
    return num_window_create((HWND)parent, x, y, width, height, title_utf8);
}
int32_t hosted_is_kind(void* window) { return num_is_num((HWND)window); }
int32_t hosted_add_var(void* window, int32_t leaf_id) { return num_add_var((HWND)window, leaf_id); }
void hosted_on_sample(void* window, const Sample* sample) { num_on_sample((HWND)window, sample); }
void hosted_rebind(void* window) { num_rebind((HWND)window); }
int32_t hosted_variable_name(void* window, int32_t index, char* buffer, int32_t size) {
    return num_row_name((HWND)window, index, buffer, size);
}

const HostedKind kNumKind = {"num",         hosted_create, hosted_is_kind, hosted_add_var, hosted_on_sample,
                             hosted_rebind, hosted_variable_name, 0};

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Public operations and registration
//-------------------------------------------------------------------------------------------------

void num_register_class() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = num_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    wc.lpszClassName = kNumClass;
    g_num_atom = RegisterClassExW(&wc);
    num_table_ops_install(&kListOps);
    g_num_hooks.tree_check = tree_set_leaf_check;
    g_num_hooks.refresh_status = main_window_refresh_hook;
    g_num_hooks.release_leaf = release_leaf_if_unused;
    g_num_hooks.report_focus = set_focused_window;
    workspace_register_kind(&kNumKind);
}

HWND num_create(HWND parent, int x, int y, int width, int height, const wchar_t* title) {
    return CreateWindowExW(0, kNumClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, x, y, width,
                           height, parent, nullptr, GetModuleHandleW(nullptr), (void*)title);
}

HWND num_window_create(HWND parent, int x, int y, int width, int height, const char* title_utf8) {
    if (!title_utf8) return num_create(parent, x, y, width, height, nullptr);
    wchar_t title[NUM_TITLE_CAPACITY];
    utf8_to_utf16(title_utf8, (char16_t*)title, NUM_TITLE_CAPACITY);
    return num_create(parent, x, y, width, height, title);
}

int num_is_num(HWND window) { return num_from(window) ? 1 : 0; }

int num_add_var(HWND window, LeafId id) {
    NumWindow* w = num_from(window);
    return w ? num_rows_add(w, id) : 0;
}

int num_on_sample(HWND window, const Sample* sample) {
    NumWindow* w = num_from(window);
    return w ? num_rows_on_sample(w, sample) : 0;
}

int num_row_name(HWND window, int32_t index, char* buffer, int32_t size) {
    NumWindow* w = num_from(window);
    return w ? num_rows_name(w, index, buffer, size) : 0;
}

int num_rebind(HWND window) {
    NumWindow* w = num_from(window);
    if (!w) return 0;
    num_rows_rebind(w);
    return 1;
}

void num_fold_recording(HWND window) {
    if (NumWindow* w = num_from(window)) num_rows_fold_recording(w, replay_extremes);
}

int num_apply_theme(HWND window) {
    NumWindow* w = num_from(window);
    if (!w) return 0;
    apply_theme(w);
    return 1;
}
