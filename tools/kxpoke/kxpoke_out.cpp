// kxpoke_out.cpp - UTF-8 output with field escaping, number, message and virtual-key parsing.
#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "kxpoke.h"

// [SECTION] output

namespace {

char g_out[16384];
size_t g_out_len = 0;

void out_bytes(const char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (g_out_len == sizeof(g_out)) out_flush();
        g_out[g_out_len++] = bytes[i];
    }
}

// Appends one code point as UTF-8.
void out_code_point(unsigned cp) {
    char b[4];
    size_t n;
    if (cp < 0x80) {
        b[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        b[0] = static_cast<char>(0xC0 | (cp >> 6));
        b[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        b[0] = static_cast<char>(0xE0 | (cp >> 12));
        b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        b[0] = static_cast<char>(0xF0 | (cp >> 18));
        b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    out_bytes(b, n);
}

}  // namespace

void out_flush() {
    if (g_out_len) fwrite(g_out, 1, g_out_len, stdout);
    g_out_len = 0;
    fflush(stdout);
}

void out_text(const wchar_t* text, bool escape) {
    if (!text) return;
    for (size_t i = 0; text[i]; ++i) {
        unsigned u = static_cast<unsigned>(text[i]);
        if (escape && (u == '\\' || u == '\t' || u == '\r' || u == '\n')) {
            const char pair[2] = {'\\', u == '\\' ? '\\' : u == '\t' ? 't' : u == '\r' ? 'r' : 'n'};
            out_bytes(pair, 2);
            continue;
        }
        if (u >= 0xD800 && u < 0xDC00) {
            unsigned low = static_cast<unsigned>(text[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                out_code_point(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
            u = 0xFFFD;
        } else if (u >= 0xDC00 && u < 0xE000) {
            u = 0xFFFD;  // lone low surrogate
        }
        out_code_point(u);
    }
}

void out_printf(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (n < 0) return;
    out_bytes(line, static_cast<size_t>(n) < sizeof(line) ? static_cast<size_t>(n) : sizeof(line) - 1);
}

const char* utf8_of(const wchar_t* text) {
    static char buffers[4][1024];
    static int next = 0;
    char* out = buffers[next];
    next = (next + 1) % 4;
    out[0] = 0;
    if (!text) return out;
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof(buffers[0]), nullptr, nullptr);
    if (n <= 0) {
        // Too long for the buffer: cut it, keeping whole characters where the cut allows.
        wchar_t cut[300];
        size_t i = 0;
        for (; text[i] && i + 1 < sizeof(cut) / sizeof(cut[0]); ++i) cut[i] = text[i];
        if (i && cut[i - 1] >= 0xD800 && cut[i - 1] < 0xDC00) --i;
        cut[i] = 0;
        n = WideCharToMultiByte(CP_UTF8, 0, cut, -1, out, sizeof(buffers[0]), nullptr, nullptr);
        if (n <= 0) out[0] = 0;
    }
    return out;
}

void err_printf(const char* format, ...) {
    out_flush();
    va_list args;
    va_start(args, format);
    fputs("kxpoke: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    fflush(stderr);
}

// [SECTION] parsing helpers

bool ascii_iequals(const wchar_t* text, const char* word) {
    size_t i = 0;
    for (; text[i] && word[i]; ++i) {
        wchar_t a = text[i];
        char b = word[i];
        if (a >= L'a' && a <= L'z') a = static_cast<wchar_t>(a - 32);
        if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
        if (a != static_cast<unsigned char>(b)) return false;
    }
    return text[i] == 0 && word[i] == 0;
}

bool parse_number(const wchar_t* text, long long* out) {
    if (!text || !*text) return false;
    bool negative = false;
    if (*text == L'-') {
        negative = true;
        ++text;
    }
    unsigned long long value = 0;
    int base = 10;
    if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        text += 2;
    }
    if (!*text) return false;
    for (; *text; ++text) {
        int digit;
        wchar_t c = *text;
        if (c >= L'0' && c <= L'9') digit = c - L'0';
        else if (base == 16 && c >= L'a' && c <= L'f') digit = c - L'a' + 10;
        else if (base == 16 && c >= L'A' && c <= L'F') digit = c - L'A' + 10;
        else return false;
        if (value > (~0ull - static_cast<unsigned>(digit)) / static_cast<unsigned>(base)) return false;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
    *out = negative ? -static_cast<long long>(value) : static_cast<long long>(value);
    return true;
}

namespace {

// A named constant of a small lookup table.
struct NamedValue {
    const char* name;
    UINT value;
};

const NamedValue kMessages[] = {
    {"WM_NULL", WM_NULL},           {"WM_DESTROY", WM_DESTROY},     {"WM_SIZE", WM_SIZE},
    {"WM_SETFOCUS", WM_SETFOCUS},   {"WM_PAINT", WM_PAINT},         {"WM_CLOSE", WM_CLOSE},
    {"WM_QUIT", WM_QUIT},           {"WM_KEYDOWN", WM_KEYDOWN},     {"WM_KEYUP", WM_KEYUP},
    {"WM_CHAR", WM_CHAR},           {"WM_COMMAND", WM_COMMAND},     {"WM_SYSCOMMAND", WM_SYSCOMMAND},
    {"WM_TIMER", WM_TIMER},         {"WM_HSCROLL", WM_HSCROLL},     {"WM_VSCROLL", WM_VSCROLL},
    {"WM_MOUSEMOVE", WM_MOUSEMOVE}, {"WM_LBUTTONDOWN", WM_LBUTTONDOWN},
    {"WM_LBUTTONUP", WM_LBUTTONUP}, {"WM_LBUTTONDBLCLK", WM_LBUTTONDBLCLK},
    {"WM_RBUTTONDOWN", WM_RBUTTONDOWN}, {"WM_RBUTTONUP", WM_RBUTTONUP},
    {"WM_MOUSEWHEEL", WM_MOUSEWHEEL}, {"BM_CLICK", BM_CLICK},     {"WM_USER", WM_USER},
    {"WM_APP", WM_APP},
};

const NamedValue kKeys[] = {
    {"BACK", VK_BACK},       {"BACKSPACE", VK_BACK}, {"TAB", VK_TAB},         {"ENTER", VK_RETURN},
    {"RETURN", VK_RETURN},   {"SHIFT", VK_SHIFT},    {"CONTROL", VK_CONTROL}, {"CTRL", VK_CONTROL},
    {"MENU", VK_MENU},       {"ALT", VK_MENU},       {"PAUSE", VK_PAUSE},     {"ESCAPE", VK_ESCAPE},
    {"ESC", VK_ESCAPE},      {"SPACE", VK_SPACE},    {"PRIOR", VK_PRIOR},     {"PAGEUP", VK_PRIOR},
    {"NEXT", VK_NEXT},       {"PAGEDOWN", VK_NEXT},  {"END", VK_END},         {"HOME", VK_HOME},
    {"LEFT", VK_LEFT},       {"UP", VK_UP},          {"RIGHT", VK_RIGHT},     {"DOWN", VK_DOWN},
    {"INSERT", VK_INSERT},   {"DELETE", VK_DELETE},  {"DEL", VK_DELETE},      {"APPS", VK_APPS},
};

bool lookup(const NamedValue* table, size_t count, const wchar_t* name, UINT* out) {
    for (size_t i = 0; i < count; ++i) {
        if (ascii_iequals(name, table[i].name)) {
            *out = table[i].value;
            return true;
        }
    }
    return false;
}

}  // namespace

bool parse_message(const wchar_t* text, UINT* out) {
    long long number;
    if (parse_number(text, &number)) {
        if (number < 0 || number > 0xFFFFFFFFll) return false;
        *out = static_cast<UINT>(number);
        return true;
    }
    wchar_t name[64];
    size_t n = 0;
    while (text[n] && text[n] != L'+' && n + 1 < sizeof(name) / sizeof(name[0])) {
        name[n] = text[n];
        ++n;
    }
    name[n] = 0;
    UINT base;
    if (!lookup(kMessages, sizeof(kMessages) / sizeof(kMessages[0]), name, &base)) return false;
    if (text[n] == 0) {
        *out = base;
        return true;
    }
    if (text[n] != L'+') return false;
    long long offset;
    if (!parse_number(text + n + 1, &offset) || offset < 0 || offset > 0xFFFF) return false;
    *out = base + static_cast<UINT>(offset);
    return true;
}

bool parse_virtual_key(const wchar_t* text, UINT* out) {
    if (!text || !*text) return false;
    if (text[1] == 0) {  // one letter or digit names its own key
        wchar_t c = text[0];
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
        if ((c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9')) {
            *out = static_cast<UINT>(c);
            return true;
        }
    }
    if ((text[0] == L'F' || text[0] == L'f') && text[1] >= L'1' && text[1] <= L'9') {
        long long f;
        if (parse_number(text + 1, &f) && f >= 1 && f <= 24) {
            *out = VK_F1 + static_cast<UINT>(f - 1);
            return true;
        }
    }
    if (lookup(kKeys, sizeof(kKeys) / sizeof(kKeys[0]), text, out)) return true;
    long long number;
    if (parse_number(text, &number) && number > 0 && number < 256) {
        *out = static_cast<UINT>(number);
        return true;
    }
    return false;
}
