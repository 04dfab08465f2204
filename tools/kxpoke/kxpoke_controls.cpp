// kxpoke_controls.cpp - reading list views and tree views that live in another process, and
// answering message boxes.
//
// List-view and tree-view messages carry pointers to item records. Across processes the records
// and their text buffers must live in the owner's address space, so they are placed in a block
// allocated there (VirtualAllocEx) and copied in and out with Write/ReadProcessMemory.
#include <windows.h>
#include <commctrl.h>

#include <cwchar>

#include "kxpoke.h"

// [SECTION] memory in the owner process

namespace {

constexpr int POKE_ITEM_TEXT = 4096;  // units read per list-view cell or tree-view item
constexpr int POKE_TREE_DEPTH = 64;
constexpr int POKE_TREE_ITEMS = 200000;

// A block of memory inside the process that owns a window.
struct RemoteBlock {
    HANDLE process;
    char* base;
    size_t size;
};

bool remote_open(HWND hwnd, size_t size, RemoteBlock* block) {
    block->process = nullptr;
    block->base = nullptr;
    block->size = size;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (!pid) {
        err_printf("window has no owner process");
        return false;
    }
    block->process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE |
                                     PROCESS_QUERY_LIMITED_INFORMATION,
                                 FALSE, pid);
    if (!block->process) {
        err_printf("cannot open process %lu (error %lu)", static_cast<unsigned long>(pid),
                   static_cast<unsigned long>(GetLastError()));
        return false;
    }
    // The item records written below have this tool's 64-bit layout.
    BOOL wow64 = FALSE;
    if (IsWow64Process(block->process, &wow64) && wow64) {
        err_printf("process %lu is 32-bit; only 64-bit processes are supported",
                   static_cast<unsigned long>(pid));
        CloseHandle(block->process);
        block->process = nullptr;
        return false;
    }
    block->base = static_cast<char*>(
        VirtualAllocEx(block->process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!block->base) {
        err_printf("VirtualAllocEx failed (error %lu)", static_cast<unsigned long>(GetLastError()));
        CloseHandle(block->process);
        block->process = nullptr;
        return false;
    }
    return true;
}

void remote_close(RemoteBlock* block) {
    if (block->base) VirtualFreeEx(block->process, block->base, 0, MEM_RELEASE);
    if (block->process) CloseHandle(block->process);
    block->base = nullptr;
    block->process = nullptr;
}

bool remote_write(const RemoteBlock* block, size_t offset, const void* data, size_t size) {
    SIZE_T done = 0;
    return offset + size <= block->size &&
           WriteProcessMemory(block->process, block->base + offset, data, size, &done) && done == size;
}

bool remote_read(const RemoteBlock* block, size_t offset, void* data, size_t size) {
    SIZE_T done = 0;
    return offset + size <= block->size &&
           ReadProcessMemory(block->process, block->base + offset, data, size, &done) && done == size;
}

// Reads a terminated UTF-16 text of at most `length` units from the block.
bool remote_read_text(const RemoteBlock* block, size_t offset, LRESULT length, wchar_t* out) {
    if (length < 0) length = 0;
    if (length >= POKE_ITEM_TEXT) length = POKE_ITEM_TEXT - 1;
    if (!remote_read(block, offset, out, static_cast<size_t>(length) * sizeof(wchar_t))) return false;
    out[length] = 0;
    return true;
}

}  // namespace

// [SECTION] list view

int cmd_listview(const PokeArgs* args) {
    HWND list = select_target(args, WC_LISTVIEWW);
    if (!list) return POKE_FAIL;
    LRESULT rows = 0;
    LRESULT header = 0;
    LRESULT columns = 0;
    if (!send_message(list, LVM_GETITEMCOUNT, 0, 0, &rows) ||
        !send_message(list, LVM_GETHEADER, 0, 0, &header)) {
        err_printf("list view does not answer");
        return POKE_FAIL;
    }
    if (header) send_message(reinterpret_cast<HWND>(header), HDM_GETITEMCOUNT, 0, 0, &columns);
    if (columns <= 0) columns = 1;  // views other than report have no header: the item text only

    const size_t text_offset = sizeof(LVITEMW);
    RemoteBlock block;
    if (!remote_open(list, text_offset + POKE_ITEM_TEXT * sizeof(wchar_t), &block)) return POKE_FAIL;
    static wchar_t text[POKE_ITEM_TEXT];
    int result = POKE_OK;
    for (LRESULT row = 0; row < rows && result == POKE_OK; ++row) {
        for (LRESULT column = 0; column < columns; ++column) {
            LVITEMW item = {};
            item.mask = LVIF_TEXT;
            item.iItem = static_cast<int>(row);
            item.iSubItem = static_cast<int>(column);
            item.pszText = reinterpret_cast<wchar_t*>(block.base + text_offset);
            item.cchTextMax = POKE_ITEM_TEXT;
            const wchar_t empty = 0;
            LRESULT length = 0;
            if (!remote_write(&block, 0, &item, sizeof(item)) ||
                !remote_write(&block, text_offset, &empty, sizeof(empty)) ||
                !send_message(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                              reinterpret_cast<LPARAM>(block.base), &length) ||
                !remote_read_text(&block, text_offset, length, text)) {
                err_printf("cannot read item %lld column %lld", static_cast<long long>(row),
                           static_cast<long long>(column));
                result = POKE_FAIL;
                break;
            }
            if (column) out_printf("\t");
            out_text(text, true);
        }
        out_printf("\n");
    }
    remote_close(&block);
    return result;
}

// [SECTION] tree view

namespace {

// Prints one item and, depth first, everything below it; false when the view stopped answering.
bool tree_dump(HWND tree, const RemoteBlock* block, HTREEITEM first, int depth, int* budget) {
    static wchar_t text[POKE_ITEM_TEXT];
    const size_t text_offset = sizeof(TVITEMW);
    for (HTREEITEM item = first; item && *budget > 0; --*budget) {
        TVITEMW record = {};
        record.mask = TVIF_TEXT | TVIF_HANDLE;
        record.hItem = item;
        record.pszText = reinterpret_cast<wchar_t*>(block->base + text_offset);
        record.cchTextMax = POKE_ITEM_TEXT;
        const wchar_t empty = 0;
        LRESULT ok = 0;
        LRESULT state = 0;
        if (!remote_write(block, 0, &record, sizeof(record)) ||
            !remote_write(block, text_offset, &empty, sizeof(empty)) ||
            !send_message(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(block->base), &ok) || !ok ||
            !remote_read(block, text_offset, text, sizeof(text)) ||
            !send_message(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_STATEIMAGEMASK,
                          &state)) {
            err_printf("cannot read tree item");
            return false;
        }
        text[POKE_ITEM_TEXT - 1] = 0;
        for (int i = 0; i < depth; ++i) out_printf("  ");
        out_text(text, true);
        // State image 1 is the unchecked box, 2 the checked one; anything else is no box.
        int image = static_cast<int>((static_cast<UINT>(state) & TVIS_STATEIMAGEMASK) >> 12);
        out_printf("\t%s\n", image == 1 ? "0" : image == 2 ? "1" : "-");

        LRESULT child = 0;
        if (depth + 1 < POKE_TREE_DEPTH &&
            send_message(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(item), &child) &&
            child) {
            if (!tree_dump(tree, block, reinterpret_cast<HTREEITEM>(child), depth + 1, budget))
                return false;
        }
        LRESULT next = 0;
        if (!send_message(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item), &next)) {
            err_printf("tree view does not answer");
            return false;
        }
        item = reinterpret_cast<HTREEITEM>(next);
    }
    return true;
}

}  // namespace

int cmd_treeview(const PokeArgs* args) {
    HWND tree = select_target(args, WC_TREEVIEWW);
    if (!tree) return POKE_FAIL;
    LRESULT root = 0;
    if (!send_message(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0, &root)) {
        err_printf("tree view does not answer");
        return POKE_FAIL;
    }
    if (!root) return POKE_OK;  // an empty tree prints nothing
    RemoteBlock block;
    if (!remote_open(tree, sizeof(TVITEMW) + POKE_ITEM_TEXT * sizeof(wchar_t), &block)) return POKE_FAIL;
    int budget = POKE_TREE_ITEMS;
    bool ok = tree_dump(tree, &block, reinterpret_cast<HTREEITEM>(root), 0, &budget);
    remote_close(&block);
    return ok ? POKE_OK : POKE_FAIL;
}

// [SECTION] message boxes

namespace {

// The message text of a message box: its first static child that is not the icon.
BOOL CALLBACK find_message_static(HWND hwnd, LPARAM param) {
    wchar_t cls[64];
    window_class(hwnd, cls, 64);
    if (_wcsicmp(cls, L"Static") != 0) return TRUE;
    if ((GetWindowLongW(hwnd, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) return TRUE;
    wchar_t probe[2];
    if (window_text(hwnd, probe, 2) == 0) return TRUE;
    *reinterpret_cast<HWND*>(param) = hwnd;
    return FALSE;
}

// Button id named by --press: yes, no, ok, cancel, abort, retry, ignore, or a number.
bool press_id(const wchar_t* name, int* id) {
    static const struct {
        const char* name;
        int id;
    } kButtons[] = {{"ok", IDOK},       {"cancel", IDCANCEL}, {"abort", IDABORT}, {"retry", IDRETRY},
                    {"ignore", IDIGNORE}, {"yes", IDYES},     {"no", IDNO},       {"close", IDCLOSE},
                    {"tryagain", IDTRYAGAIN}, {"continue", IDCONTINUE}};
    for (const auto& button : kButtons) {
        if (ascii_iequals(name, button.name)) {
            *id = button.id;
            return true;
        }
    }
    long long number;
    if (parse_number(name, &number) && number > 0 && number < 0x10000) {
        *id = static_cast<int>(number);
        return true;
    }
    return false;
}

bool wait_window_gone(HWND hwnd, unsigned ms) {
    unsigned long long deadline = now_ms() + ms;
    while (IsWindow(hwnd)) {
        if (now_ms() >= deadline) return false;
        Sleep(20);
    }
    return true;
}

}  // namespace

int cmd_msgbox(const PokeArgs* args) {
    int button_id = 0;
    if (args->press && !press_id(args->press, &button_id)) {
        err_printf("unknown button '%s' (yes, no, ok, cancel, abort, retry, ignore or an id)", utf8_of(args->press));
        return POKE_USAGE;
    }
    PokeArgs dialog_args = *args;
    dialog_args.cls = L"#32770";
    HWND dialog = select_target(&dialog_args, nullptr);
    if (!dialog) return POKE_FAIL;

    static wchar_t caption[POKE_MATCH_TEXT];
    static wchar_t message[POKE_MATCH_TEXT];
    GetWindowTextW(dialog, caption, POKE_MATCH_TEXT);
    HWND text_child = nullptr;
    EnumChildWindows(dialog, find_message_static, reinterpret_cast<LPARAM>(&text_child));
    message[0] = 0;
    if (text_child) window_text(text_child, message, POKE_MATCH_TEXT);
    out_text(caption, true);
    out_printf("\t");
    out_text(message, true);
    out_printf("\n");
    if (!args->press) return POKE_OK;

    HWND button = GetDlgItem(dialog, button_id);
    if (!button) {
        err_printf("the message box has no button %d", button_id);
        return POKE_FAIL;
    }
    if (!IsWindowEnabled(button)) {
        err_printf("button %d is disabled", button_id);
        return POKE_FAIL;
    }
    // BM_CLICK goes through the button's own press and release, as a user's click would. Should
    // the box still be there, the dialog gets the command the button would have sent. (Closing can
    // take two seconds under Wine on a bare X server: it waits for a window manager that is absent.)
    PostMessageW(button, BM_CLICK, 0, 0);
    if (wait_window_gone(dialog, 4000)) return POKE_OK;
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button_id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    if (wait_window_gone(dialog, 4000)) return POKE_OK;
    err_printf("the message box did not close");
    return POKE_FAIL;
}
