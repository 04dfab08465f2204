// kxpoke_target - a small window for exercising kxpoke under Wine. It holds one of each control
// kxpoke reads (button, edit, report list view, check-box tree view) and logs what it receives,
// one line each, to stdout and to the file named by its first argument:
//   command ID CODE | app N WPARAM LPARAM | char U+XXXX | keydown VK | lbutton down|up X Y |
//   msgbox RESULT | close
// WM_COMMAND 200 opens a Yes/No/Cancel message box; WM_APP+N sent returns WPARAM + LPARAM.
#include <windows.h>
#include <commctrl.h>

#include <cstdarg>
#include <cstdio>

namespace {

constexpr int ID_BUTTON = 101;
constexpr int ID_EDIT = 102;
constexpr int ID_LIST = 103;
constexpr int ID_TREE = 104;
constexpr int ID_DISABLED = 105;
constexpr int ID_ASK = 200;

FILE* g_log = nullptr;

void target_log(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
void target_log(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    fprintf(stdout, "%s\n", line);
    fflush(stdout);
    if (g_log) {
        fprintf(g_log, "%s\n", line);
        fflush(g_log);
    }
}

void add_list(HWND parent) {
    HWND list = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT,
                                10, 80, 300, 120, parent, reinterpret_cast<HMENU>(ID_LIST), nullptr, nullptr);
    const wchar_t* headers[2] = {L"名称", L"值"};
    for (int c = 0; c < 2; ++c) {
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.cx = 120;
        column.pszText = const_cast<wchar_t*>(headers[c]);
        SendMessageW(list, LVM_INSERTCOLUMNW, c, reinterpret_cast<LPARAM>(&column));
    }
    const wchar_t* cells[3][2] = {{L"alpha", L"1"}, {L"beta", L"2.5"}, {L"伽马", L"tab\there"}};
    for (int r = 0; r < 3; ++r) {
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = r;
        item.pszText = const_cast<wchar_t*>(cells[r][0]);
        SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        item.iSubItem = 1;
        item.pszText = const_cast<wchar_t*>(cells[r][1]);
        SendMessageW(list, LVM_SETITEMTEXTW, r, reinterpret_cast<LPARAM>(&item));
    }
}

HTREEITEM add_tree_item(HWND tree, HTREEITEM parent, const wchar_t* text, int checked) {
    TVINSERTSTRUCTW insert = {};
    insert.hParent = parent;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT;
    insert.item.pszText = const_cast<wchar_t*>(text);
    HTREEITEM item = reinterpret_cast<HTREEITEM>(
        SendMessageW(tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
    TVITEMW state = {};
    state.mask = TVIF_STATE | TVIF_HANDLE;
    state.hItem = item;
    state.stateMask = TVIS_STATEIMAGEMASK;
    state.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
    SendMessageW(tree, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&state));
    return item;
}

void add_tree(HWND parent) {
    HWND tree = CreateWindowExW(WS_EX_CLIENTEDGE, WC_TREEVIEWW, L"",
                                WS_CHILD | WS_VISIBLE | TVS_HASLINES | TVS_HASBUTTONS | TVS_LINESATROOT,
                                320, 80, 200, 160, parent, reinterpret_cast<HMENU>(ID_TREE), nullptr, nullptr);
    // Check boxes are switched on after creation, which is when the state image list gets made.
    SetWindowLongW(tree, GWL_STYLE, GetWindowLongW(tree, GWL_STYLE) | TVS_CHECKBOXES);
    HTREEITEM root = add_tree_item(tree, TVI_ROOT, L"全部变量", 0);
    HTREEITEM a = add_tree_item(tree, root, L"speed", 1);
    add_tree_item(tree, a, L"speed.raw", 0);
    add_tree_item(tree, root, L"temp", 0);
    add_tree_item(tree, TVI_ROOT, L"second root", 1);
    SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(root));
}

void paint(HWND hwnd) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT client;
    GetClientRect(hwnd, &client);
    HBRUSH background = CreateSolidBrush(RGB(240, 240, 230));
    FillRect(dc, &client, background);
    DeleteObject(background);
    // Coloured bands along the bottom so that a capture is never a single colour.
    const COLORREF colours[4] = {RGB(200, 30, 30), RGB(30, 160, 60), RGB(40, 60, 200), RGB(20, 20, 20)};
    for (int i = 0; i < 4; ++i) {
        RECT band = {10 + i * 60, 260, 60 + i * 60, 300};
        HBRUSH brush = CreateSolidBrush(colours[i]);
        FillRect(dc, &band, brush);
        DeleteObject(brush);
    }
    EndPaint(hwnd, &ps);
}

LRESULT CALLBACK target_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    switch (msg) {
    case WM_CREATE:
        CreateWindowExW(0, L"BUTTON", L"确定 OK", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 10, 100, 26, hwnd,
                        reinterpret_cast<HMENU>(ID_BUTTON), nullptr, nullptr);
        CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL, 120, 10, 200, 24,
                        hwnd, reinterpret_cast<HMENU>(ID_EDIT), nullptr, nullptr);
        CreateWindowExW(0, L"BUTTON", L"disabled", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_PUSHBUTTON, 330, 10,
                        100, 26, hwnd, reinterpret_cast<HMENU>(ID_DISABLED), nullptr, nullptr);
        add_list(hwnd);
        add_tree(hwnd);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) == ID_EDIT) return 0;  // edit notifications are noise here
        target_log("command %u %u", LOWORD(wparam), HIWORD(wparam));
        if (LOWORD(wparam) == ID_ASK) {
            int answer = MessageBoxW(hwnd, L"保存更改吗?\n第二行", L"KxPoke 提问", MB_YESNOCANCEL | MB_ICONQUESTION);
            target_log("msgbox %d", answer);
        }
        return 0;
    case WM_CHAR:
        target_log("char U+%04X", static_cast<unsigned>(wparam));
        return 0;
    case WM_KEYDOWN:
        target_log("keydown %u", static_cast<unsigned>(wparam));
        return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
        target_log("lbutton %s %d %d", msg == WM_LBUTTONDOWN ? "down" : "up", static_cast<short>(LOWORD(lparam)),
                   static_cast<short>(HIWORD(lparam)));
        return 0;
    case WM_PAINT:
        paint(hwnd);
        return 0;
    case WM_CLOSE:
        target_log("close");
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        if (msg >= WM_APP && msg <= 0xBFFF) {
            target_log("app %u %lld %lld", msg - WM_APP, static_cast<long long>(wparam),
                       static_cast<long long>(lparam));
            return static_cast<LRESULT>(wparam) + lparam;
        }
        return DefWindowProcW(hwnd, msg, wparam, lparam);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1) g_log = _wfopen(argv[1], L"w");
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_TREEVIEW_CLASSES};
    InitCommonControlsEx(&controls);

    WNDCLASSW wc = {};
    wc.lpfnWndProc = target_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = L"KxPokeTarget";
    RegisterClassW(&wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"KxPokeHidden";
    RegisterClassW(&wc);

    CreateWindowExW(0, L"KxPokeHidden", L"KxPoke hidden", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                    wc.hInstance, nullptr);
    HWND main = CreateWindowExW(0, L"KxPokeTarget", L"KxPoke 目标", WS_OVERLAPPEDWINDOW, 40, 40, 560, 360,
                                nullptr, nullptr, wc.hInstance, nullptr);
    ShowWindow(main, SW_SHOW);
    UpdateWindow(main);
    target_log("ready");

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    target_log("exit");
    if (g_log) fclose(g_log);
    return 0;
}
