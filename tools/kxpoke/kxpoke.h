// kxpoke.h - shared records and helpers of kxpoke, the console helper that drives the windows of
// another process for scripted GUI tests: find windows, post and send messages, click, type, read
// list views and tree views across the process boundary, answer message boxes, capture BMP shots.
//
// Output is UTF-8, one result per line; fields are tab-separated and every text field is escaped
// (backslash, tab, CR and LF become \\ \t \r \n) so that a result never spans lines.
#pragma once
#include <windows.h>

#if defined(__MINGW32__)
#define POKE_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#elif defined(__GNUC__)
#define POKE_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define POKE_PRINTF(fmt_index, first_arg)
#endif

// Process exit codes.
enum PokeExit { POKE_OK = 0, POKE_FAIL = 1, POKE_USAGE = 2 };

constexpr int POKE_MAX_OPERANDS = 8;
constexpr int POKE_MATCH_TEXT = 4096;     // units compared when matching titles and texts
constexpr int POKE_MAX_WINDOWS = 1024;    // top-level matches collected by one find
constexpr UINT POKE_SEND_TIMEOUT_MS = 5000;

// The parsed command line: window selectors, options, the command and its operands.
struct PokeArgs {
    const wchar_t* cls;          // --class: exact window class (case-insensitive, as Windows)
    const wchar_t* title;        // --title: exact window text
    const wchar_t* title_has;    // --title-has: substring of the window text
    HWND hwnd;                   // --hwnd
    bool has_hwnd;
    long long child_id;          // --child-id
    bool has_child_id;
    const wchar_t* child_class;  // --child-class
    const wchar_t* child_text;   // --child-text (exact)
    bool visible_only;           // --visible: top-level windows that are shown
    int wait_ms;                 // --wait: retry the find for this long
    int at_x, at_y;              // --at=x,y (client coordinates)
    bool has_at;
    const wchar_t* press;        // msgbox --press=yes|no|ok|cancel|N
    const wchar_t* method;       // shot --method=auto|print|window|screen
    const wchar_t* command;
    const wchar_t* operands[POKE_MAX_OPERANDS];
    int operand_count;
};

// [SECTION] output (kxpoke_out.cpp)
// Writes UTF-16 text to stdout as UTF-8; with escape, \ tab CR LF become \\ \t \r \n.
void out_text(const wchar_t* text, bool escape);
// Writes formatted ASCII/UTF-8 to stdout.
void out_printf(const char* format, ...) POKE_PRINTF(1, 2);
void out_flush();
// UTF-8 copy of a UTF-16 text for messages, in one of four rotating static buffers (cut at 1 KiB).
const char* utf8_of(const wchar_t* text);
// One line on stderr, prefixed with "kxpoke: ".
void err_printf(const char* format, ...) POKE_PRINTF(1, 2);

// [SECTION] parsing helpers (kxpoke_out.cpp)
// Decimal (optionally negative) or 0x-hex; false when the text is not entirely a number.
bool parse_number(const wchar_t* text, long long* out);
// A message number, or WM_NAME, or WM_NAME+N (WM_APP+13).
bool parse_message(const wchar_t* text, UINT* out);
// A virtual key by name (ENTER, ESCAPE, F1, A, 7) or number.
bool parse_virtual_key(const wchar_t* text, UINT* out);
// ASCII case-insensitive comparison of a wide text with an ASCII word.
bool ascii_iequals(const wchar_t* text, const char* word);

// [SECTION] window selection (kxpoke_find.cpp)
bool args_have_top_selector(const PokeArgs* args);
bool args_have_child_selector(const PokeArgs* args);
// Every top-level window that matches the top-level selectors (visible ones first).
int find_top_windows(const PokeArgs* args, HWND* out, int capacity);
// The first descendant of `top` that matches the child selectors, or null.
HWND find_child(const PokeArgs* args, HWND top);
// The first descendant of `top` of the given class (or `top` itself), or null.
HWND find_descendant_of_class(HWND top, const wchar_t* cls);
// The window a command acts on: the first top-level match and, with child selectors, its matching
// descendant; retried every 50 ms for up to --wait. Null (reported on stderr) when not found.
// With default_child_class, a window without child selectors resolves to its first descendant of
// that class.
HWND select_target(const PokeArgs* args, const wchar_t* default_child_class);
// The text of a window of any process (WM_GETTEXT with a timeout). Returns the length.
int window_text(HWND hwnd, wchar_t* out, int capacity);
int window_class(HWND hwnd, wchar_t* out, int capacity);
// SendMessageTimeout with the standard timeout; false when the call failed or timed out.
bool send_message(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, LRESULT* result);
// Milliseconds since an arbitrary origin.
unsigned long long now_ms();

// [SECTION] controls of another process (kxpoke_controls.cpp)
int cmd_listview(const PokeArgs* args);
int cmd_treeview(const PokeArgs* args);
int cmd_msgbox(const PokeArgs* args);

// [SECTION] window capture (kxpoke_shot.cpp)
int cmd_shot(const PokeArgs* args);
