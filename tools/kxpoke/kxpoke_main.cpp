// kxpoke - drives the windows of another process from scripts (GUI tests under Wine).
//
// Index:
//   [SECTION] usage and argument parsing
//   [SECTION] find, children, rect, wait-gone
//   [SECTION] messages: post, send, command, click, key
//   [SECTION] text: type, settext, gettext
//   [SECTION] entry
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>

#include "kxpoke.h"

// [SECTION] usage and argument parsing

namespace {

const char kUsage[] =
    "usage: kxpoke COMMAND [OPERANDS] [SELECTORS] [OPTIONS]\n"
    "selectors (top-level):  --class=NAME  --title=TEXT  --title-has=TEXT  --hwnd=0xHANDLE  --visible\n"
    "selectors (descendant): --child-id=N  --child-class=NAME  --child-text=TEXT\n"
    "options: --wait=MS (retry the find every 50 ms)  --at=X,Y (click)  --press=BUTTON (msgbox)\n"
    "         --method=auto|print|window|screen (shot)  --  (ends the options)\n"
    "commands:\n"
    "  find                  list matching top-level windows: HWND\\tCLASS\\tTITLE\n"
    "  children              list descendants: HWND\\tCLASS\\tID\\tENABLED\\tVISIBLE\\tTEXT\n"
    "  post MSG WPARAM LPARAM  post a message (MSG: number, WM_COMMAND, WM_CLOSE, WM_APP+N, ...)\n"
    "  send MSG WPARAM LPARAM  send a message and print its result\n"
    "  command ID            post WM_COMMAND (ID, 0)\n"
    "  click                 left button down/up at the client centre or --at; BM_CLICK for buttons\n"
    "  type TEXT             send WM_CHAR for every UTF-16 unit of TEXT\n"
    "  key VK                post WM_KEYDOWN/WM_KEYUP (ENTER, ESCAPE, TAB, F1..F24, A, 7, or a number)\n"
    "  settext TEXT          send WM_SETTEXT\n"
    "  gettext               print the window text\n"
    "  listview              print the rows of a list view, columns tab-separated\n"
    "  treeview              print a tree view: two spaces per depth, TEXT\\tCHECKED (0, 1 or -)\n"
    "  msgbox                print CAPTION\\tTEXT of a message box; --press=yes|no|ok|cancel presses\n"
    "  rect                  print the window rectangle: LEFT TOP RIGHT BOTTOM\n"
    "  wait-gone             succeed once the selected window no longer exists (with --wait)\n"
    "  shot FILE.bmp         capture the window into a 32-bit BMP; prints WIDTH\\tHEIGHT\\tMETHOD\n"
    "  clipboard             print the clipboard's Unicode text\n"
    "text fields are UTF-8 with \\\\ \\t \\r \\n escaped; exit 0 done, 1 not found or failed, 2 usage\n";

int usage_error(const char* problem) {
    if (problem) err_printf("%s", problem);
    fputs(kUsage, stderr);
    return POKE_USAGE;
}

// Splits "--name=value"; returns the value when the option has this name, else null.
const wchar_t* option_value(const wchar_t* arg, const wchar_t* name) {
    size_t n = wcslen(name);
    if (wcsncmp(arg, name, n) != 0 || arg[n] != L'=') return nullptr;
    return arg + n + 1;
}

bool parse_int_option(const wchar_t* text, int minimum, int* out) {
    long long value;
    if (!parse_number(text, &value) || value < minimum || value > 0x7FFFFFFF) return false;
    *out = static_cast<int>(value);
    return true;
}

// Fills `args`; returns POKE_OK or POKE_USAGE (already reported).
int parse_args(int argc, wchar_t** argv, PokeArgs* args) {
    *args = PokeArgs{};
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* arg = argv[i];
        const wchar_t* v;
        if (!options_done && wcscmp(arg, L"--") == 0) {
            options_done = true;
        } else if (!options_done && arg[0] == L'-' && arg[1] == L'-') {
            if ((v = option_value(arg, L"--class"))) args->cls = v;
            else if ((v = option_value(arg, L"--title"))) args->title = v;
            else if ((v = option_value(arg, L"--title-has"))) args->title_has = v;
            else if ((v = option_value(arg, L"--child-class"))) args->child_class = v;
            else if ((v = option_value(arg, L"--child-text"))) args->child_text = v;
            else if ((v = option_value(arg, L"--press"))) args->press = v;
            else if ((v = option_value(arg, L"--method"))) args->method = v;
            else if ((v = option_value(arg, L"--hwnd"))) {
                long long h;
                if (!parse_number(v, &h) || h <= 0) return usage_error("--hwnd needs a handle (0x...)");
                args->hwnd = reinterpret_cast<HWND>(static_cast<intptr_t>(h));
                args->has_hwnd = true;
            } else if ((v = option_value(arg, L"--child-id"))) {
                if (!parse_number(v, &args->child_id)) return usage_error("--child-id needs a number");
                args->has_child_id = true;
            } else if ((v = option_value(arg, L"--wait"))) {
                if (!parse_int_option(v, 0, &args->wait_ms)) return usage_error("--wait needs milliseconds");
            } else if ((v = option_value(arg, L"--at"))) {
                const wchar_t* comma = wcschr(v, L',');
                wchar_t x_text[32];
                long long x, y;
                size_t x_len = comma ? static_cast<size_t>(comma - v) : 0;
                if (!comma || x_len >= 32) return usage_error("--at needs X,Y");
                wmemcpy(x_text, v, x_len);
                x_text[x_len] = 0;
                if (!parse_number(x_text, &x) || !parse_number(comma + 1, &y) || x < -32768 || x > 32767 ||
                    y < -32768 || y > 32767) {
                    return usage_error("--at needs X,Y");
                }
                args->at_x = static_cast<int>(x);
                args->at_y = static_cast<int>(y);
                args->has_at = true;
            } else if (wcscmp(arg, L"--visible") == 0) {
                args->visible_only = true;
            } else if (wcscmp(arg, L"--help") == 0) {
                return usage_error(nullptr);
            } else {
                err_printf("unknown option %s", utf8_of(arg));
                return usage_error(nullptr);
            }
        } else if (!args->command) {
            args->command = arg;
        } else if (args->operand_count < POKE_MAX_OPERANDS) {
            args->operands[args->operand_count++] = arg;
        } else {
            return usage_error("too many operands");
        }
    }
    if (!args->command) return usage_error("no command");
    return POKE_OK;
}

bool need_operands(const PokeArgs* args, int count, const char* form) {
    if (args->operand_count == count) return true;
    err_printf("usage: %s", form);
    return false;
}

}  // namespace

// [SECTION] find, children, rect, wait-gone

namespace {

int cmd_find(const PokeArgs* args) {
    static HWND found[POKE_MAX_WINDOWS];
    static wchar_t cls[256];
    static wchar_t title[POKE_MATCH_TEXT];
    unsigned long long deadline = now_ms() + static_cast<unsigned long long>(args->wait_ms);
    int count;
    while ((count = find_top_windows(args, found, POKE_MAX_WINDOWS)) == 0 && now_ms() < deadline) Sleep(50);
    for (int i = 0; i < count; ++i) {
        window_class(found[i], cls, 256);
        if (GetWindowTextW(found[i], title, POKE_MATCH_TEXT) <= 0) title[0] = 0;
        out_printf("0x%llX\t", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(found[i])));
        out_text(cls, true);
        out_printf("\t");
        out_text(title, true);
        out_printf("\n");
    }
    if (count == 0) err_printf("no matching window");
    return count ? POKE_OK : POKE_FAIL;
}

BOOL CALLBACK print_child(HWND hwnd, LPARAM) {
    static wchar_t cls[256];
    static wchar_t text[POKE_MATCH_TEXT];
    window_class(hwnd, cls, 256);
    window_text(hwnd, text, POKE_MATCH_TEXT);
    out_printf("0x%llX\t", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)));
    out_text(cls, true);
    out_printf("\t%d\t%d\t%d\t", GetDlgCtrlID(hwnd), IsWindowEnabled(hwnd) ? 1 : 0, IsWindowVisible(hwnd) ? 1 : 0);
    out_text(text, true);
    out_printf("\n");
    return TRUE;
}

int cmd_children(const PokeArgs* args) {
    HWND hwnd = select_target(args, nullptr);
    if (!hwnd) return POKE_FAIL;
    EnumChildWindows(hwnd, print_child, 0);
    return POKE_OK;
}

int cmd_rect(const PokeArgs* args) {
    HWND hwnd = select_target(args, nullptr);
    if (!hwnd) return POKE_FAIL;
    RECT r;
    if (!GetWindowRect(hwnd, &r)) {
        err_printf("GetWindowRect failed");
        return POKE_FAIL;
    }
    out_printf("%ld %ld %ld %ld\n", static_cast<long>(r.left), static_cast<long>(r.top),
               static_cast<long>(r.right), static_cast<long>(r.bottom));
    return POKE_OK;
}

int cmd_wait_gone(const PokeArgs* args) {
    PokeArgs once = *args;
    once.wait_ms = 0;
    unsigned long long deadline = now_ms() + static_cast<unsigned long long>(args->wait_ms);
    for (;;) {
        static HWND tops[POKE_MAX_WINDOWS];
        int count = find_top_windows(&once, tops, POKE_MAX_WINDOWS);
        bool present = false;
        for (int i = 0; i < count && !present; ++i)
            present = !args_have_child_selector(&once) || find_child(&once, tops[i]) != nullptr;
        if (!present) return POKE_OK;
        if (now_ms() >= deadline) break;
        Sleep(50);
    }
    err_printf("window still present");
    return POKE_FAIL;
}

// [SECTION] messages: post, send, command, click, key

// Reads MSG WPARAM LPARAM from the operands.
bool message_operands(const PokeArgs* args, const char* form, UINT* msg, WPARAM* wparam, LPARAM* lparam) {
    if (!need_operands(args, 3, form)) return false;
    long long w, l;
    if (!parse_message(args->operands[0], msg)) {
        err_printf("unknown message '%s'", utf8_of(args->operands[0]));
        return false;
    }
    if (!parse_number(args->operands[1], &w) || !parse_number(args->operands[2], &l)) {
        err_printf("WPARAM and LPARAM must be decimal or 0x-hex numbers");
        return false;
    }
    *wparam = static_cast<WPARAM>(w);
    *lparam = static_cast<LPARAM>(l);
    return true;
}

int post_checked(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (PostMessageW(hwnd, msg, wparam, lparam)) return POKE_OK;
    err_printf("PostMessage failed (error %lu)", static_cast<unsigned long>(GetLastError()));
    return POKE_FAIL;
}

// post and send: MSG WPARAM LPARAM to the selected window; send prints the result.
int deliver_message(const PokeArgs* args, bool send) {
    UINT msg;
    WPARAM wparam;
    LPARAM lparam;
    if (!message_operands(args, send ? "send MSG WPARAM LPARAM" : "post MSG WPARAM LPARAM", &msg, &wparam,
                          &lparam)) {
        return POKE_USAGE;
    }
    HWND hwnd = select_target(args, nullptr);
    if (!hwnd) return POKE_FAIL;
    if (!send) return post_checked(hwnd, msg, wparam, lparam);
    LRESULT result = 0;
    if (!send_message(hwnd, msg, wparam, lparam, &result)) {
        err_printf("SendMessage failed or timed out (error %lu)", static_cast<unsigned long>(GetLastError()));
        return POKE_FAIL;
    }
    out_printf("%lld\n", static_cast<long long>(result));
    return POKE_OK;
}

int cmd_post(const PokeArgs* args) { return deliver_message(args, false); }
int cmd_send(const PokeArgs* args) { return deliver_message(args, true); }

int cmd_command(const PokeArgs* args) {
    if (!need_operands(args, 1, "command ID")) return POKE_USAGE;
    long long id;
    if (!parse_number(args->operands[0], &id) || id < 0 || id > 0xFFFF) {
        err_printf("command ID must be 0..65535");
        return POKE_USAGE;
    }
    HWND hwnd = select_target(args, nullptr);
    return hwnd ? post_checked(hwnd, WM_COMMAND, static_cast<WPARAM>(id), 0) : POKE_FAIL;
}

// Clicks are posted, not sent: a click that opens a modal dialog would otherwise hold this tool
// until the dialog closes.
int cmd_click(const PokeArgs* args) {
    HWND hwnd = select_target(args, nullptr);
    if (!hwnd) return POKE_FAIL;
    wchar_t cls[64];
    window_class(hwnd, cls, 64);
    if (!args->has_at && _wcsicmp(cls, L"Button") == 0) return post_checked(hwnd, BM_CLICK, 0, 0);
    int x = args->at_x;
    int y = args->at_y;
    if (!args->has_at) {
        RECT client;
        if (!GetClientRect(hwnd, &client)) {
            err_printf("GetClientRect failed");
            return POKE_FAIL;
        }
        x = (client.right - client.left) / 2;
        y = (client.bottom - client.top) / 2;
    }
    LPARAM point = MAKELPARAM(x, y);
    int rc = post_checked(hwnd, WM_MOUSEMOVE, 0, point);
    if (rc == POKE_OK) rc = post_checked(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, point);
    if (rc == POKE_OK) rc = post_checked(hwnd, WM_LBUTTONUP, 0, point);
    return rc;
}

int cmd_key(const PokeArgs* args) {
    if (!need_operands(args, 1, "key VK")) return POKE_USAGE;
    UINT vk;
    if (!parse_virtual_key(args->operands[0], &vk)) {
        err_printf("unknown key '%s'", utf8_of(args->operands[0]));
        return POKE_USAGE;
    }
    HWND hwnd = select_target(args, nullptr);
    if (!hwnd) return POKE_FAIL;
    // lParam as the keyboard driver fills it: repeat count 1, the scan code; key-up adds the
    // previous-state and transition bits.
    LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC) & 0xFF) << 16;
    int rc = post_checked(hwnd, WM_KEYDOWN, vk, 1 | scan);
    if (rc != POKE_OK) return rc;
    // ENTER or ESCAPE on a message box or dialog closes it with the key-down: with the window
    // gone there is nobody left for the key-up, and the key has done its work.
    if (!IsWindow(hwnd)) return POKE_OK;
    if (PostMessageW(hwnd, WM_KEYUP, vk, static_cast<LPARAM>(1 | scan | 0xC0000000ll))) return POKE_OK;
    DWORD error = GetLastError();
    if (!IsWindow(hwnd)) return POKE_OK;  // it closed between the check and the key-up
    err_printf("PostMessage of the key-up failed (error %lu)", static_cast<unsigned long>(error));
    return POKE_FAIL;
}

// [SECTION] text: type, settext, gettext

int cmd_type(const PokeArgs* args) {
    if (!need_operands(args, 1, "type TEXT")) return POKE_USAGE;
    HWND hwnd = select_target(args, nullptr);
    if (!hwnd) return POKE_FAIL;
    for (const wchar_t* p = args->operands[0]; *p; ++p) {
        if (!send_message(hwnd, WM_CHAR, static_cast<WPARAM>(static_cast<unsigned>(*p)), 1, nullptr)) {
            err_printf("WM_CHAR was not taken (error %lu)", static_cast<unsigned long>(GetLastError()));
            return POKE_FAIL;
        }
    }
    return POKE_OK;
}

int cmd_settext(const PokeArgs* args) {
    if (!need_operands(args, 1, "settext TEXT")) return POKE_USAGE;
    HWND hwnd = select_target(args, nullptr);
    if (!hwnd) return POKE_FAIL;
    LRESULT ok = 0;
    if (!send_message(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(args->operands[0]), &ok) || !ok) {
        err_printf("WM_SETTEXT failed");
        return POKE_FAIL;
    }
    return POKE_OK;
}

int cmd_gettext(const PokeArgs* args) {
    HWND hwnd = select_target(args, nullptr);
    if (!hwnd) return POKE_FAIL;
    static wchar_t text[65536];
    LRESULT length = 0;
    if (!send_message(hwnd, WM_GETTEXTLENGTH, 0, 0, &length)) {
        err_printf("WM_GETTEXTLENGTH failed");
        return POKE_FAIL;
    }
    window_text(hwnd, text, 65536);
    out_text(text, true);
    out_printf("\n");
    return POKE_OK;
}

// Prints the clipboard's Unicode text (escaped); fails when there is none.
int cmd_clipboard(const PokeArgs*) {
    if (!OpenClipboard(nullptr)) {
        err_printf("cannot open the clipboard (error %lu)", static_cast<unsigned long>(GetLastError()));
        return POKE_FAIL;
    }
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    const wchar_t* text = data ? static_cast<const wchar_t*>(GlobalLock(data)) : nullptr;
    if (!text) {
        CloseClipboard();
        err_printf("no Unicode text on the clipboard");
        return POKE_FAIL;
    }
    out_text(text, true);
    out_printf("\n");
    GlobalUnlock(data);
    CloseClipboard();
    return POKE_OK;
}

// [SECTION] entry

// One command: name, whether it needs a top-level selector, entry.
struct PokeCommand {
    const char* name;
    bool needs_selector;
    int (*run)(const PokeArgs* args);
};

const PokeCommand kCommands[] = {
    {"find", false, cmd_find},         {"children", true, cmd_children}, {"post", true, cmd_post},
    {"send", true, cmd_send},          {"command", true, cmd_command},   {"click", true, cmd_click},
    {"type", true, cmd_type},          {"key", true, cmd_key},           {"settext", true, cmd_settext},
    {"gettext", true, cmd_gettext},    {"listview", true, cmd_listview}, {"treeview", true, cmd_treeview},
    {"msgbox", false, cmd_msgbox},     {"rect", true, cmd_rect},         {"wait-gone", true, cmd_wait_gone},
    {"shot", true, cmd_shot},          {"clipboard", false, cmd_clipboard},
};

// A fault in this tool would end it with no word on stderr, and a script would see only the exit
// code. Plain stdio only: the fault may lie in the output buffer itself.
LONG WINAPI report_fault(EXCEPTION_POINTERS* info) {
    fprintf(stderr, "kxpoke: fault: exception 0x%08lX at %p\n",
            static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode), info->ExceptionRecord->ExceptionAddress);
    fflush(stderr);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetUnhandledExceptionFilter(report_fault);
    _setmode(_fileno(stdout), _O_BINARY);  // UTF-8 bytes and bare LF, untranslated
    _setmode(_fileno(stderr), _O_BINARY);
    PokeArgs args;
    if (argc == 2 && wcscmp(argv[1], L"--help") == 0) {
        fputs(kUsage, stdout);
        return POKE_OK;
    }
    int rc = parse_args(argc, argv, &args);
    if (rc != POKE_OK) return rc;
    for (const PokeCommand& command : kCommands) {
        if (!ascii_iequals(args.command, command.name)) continue;
        if (command.needs_selector && !args_have_top_selector(&args))
            return usage_error("this command needs --class, --title, --title-has or --hwnd");
        rc = command.run(&args);
        out_flush();
        return rc;
    }
    err_printf("unknown command %s", utf8_of(args.command));
    return usage_error(nullptr);
}
