// command_line.cpp - tokenising the command line into CommandLineOptions.
#include "core/command_line.h"

#include <cstring>

#include "core/log.h"
#include "core/text.h"

void command_line_clear(CommandLineOptions* options) {
    memset(options, 0, sizeof *options);
    options->net_listen_port = -1;
}

namespace {

// Windows quoting inside one token: a double quote toggles quoting (a blank inside quotes does not
// end the token); 2n backslashes before a quote give n backslashes and the quote acts, 2n + 1 give n
// backslashes and a literal quote; two quotes inside quotes give one literal quote; backslashes
// before anything else are literal. Text without quotes reads exactly as it stands.
struct QuoteReader {
    const char16_t* in;
    bool quoted;
};

// Reads the token that starts at the reader's position into `out` (which may be the same text:
// the output never runs ahead of the input); stops after the token's end blank or at the end.
// Returns the token's length (before any cut); `out` is cut to the capacity and terminated.
size_t read_token(QuoteReader* r, char16_t* out, size_t capacity) {
    size_t n = 0;
    auto put = [&](char16_t c) {
        if (n + 1 < capacity) out[n] = c;
        n++;
    };
    const char16_t* p = r->in;
    while (*p && (r->quoted || *p != u' ')) {
        if (*p == u'\\') {
            size_t slashes = 0;
            while (p[slashes] == u'\\') slashes++;
            if (p[slashes] == u'"') {
                for (size_t i = 0; i < slashes / 2; i++) put(u'\\');
                p += slashes;
                if (slashes % 2) put(*p++);  // an escaped quote is literal
                continue;
            }
            for (size_t i = 0; i < slashes; i++) put(u'\\');
            p += slashes;
        } else if (*p == u'"') {
            if (r->quoted && p[1] == u'"') {
                put(u'"');
                p += 2;
            } else {
                r->quoted = !r->quoted;
                p++;
            }
        } else {
            put(*p++);
        }
    }
    if (*p) p++;  // the blank that ended the token
    r->in = p;
    r->quoted = false;
    out[n < capacity ? n : capacity - 1] = 0;
    return n;
}

// Quoting state at `position` of the text (inside a quoted part or not), read from the start.
bool quoted_at(const char16_t* text, const char16_t* position) {
    bool quoted = false;
    for (const char16_t* p = text; p < position && *p; p++) {
        if (*p == u'\\') {
            const char16_t* q = p;
            while (*q == u'\\' && q < position) q++;
            if (q < position && *q == u'"' && (q - p) % 2) {
                p = q;  // escaped quote: literal
                continue;
            }
            p = q - 1;
        } else if (*p == u'"') {
            if (quoted && p + 1 < position && p[1] == u'"') p++;
            else quoted = !quoted;
        }
    }
    return quoted;
}

}  // namespace

bool command_line_has_flag(const char16_t* command_line, const char* flag) {
    if (!command_line || !flag) return false;
    QuoteReader r = {command_line, false};
    while (*r.in) {
        while (*r.in == u' ') r.in++;
        if (!*r.in) break;
        char16_t token[64];
        size_t n = read_token(&r, token, 64);
        if (n < 64 && text16_equals(token, flag)) return true;
    }
    return false;
}

int command_line_log_path(const char16_t* command_line, char16_t* out, int capacity) {
    if (out && capacity > 0) out[0] = 0;
    const char16_t* found = text16_find(command_line, u"--log=");
    if (!found || !out || capacity <= 0) return -1;
    // The value runs to the next blank outside quotes, so a quoted path may hold blanks.
    QuoteReader r = {found + 6, quoted_at(command_line, found + 6)};
    char16_t value[1024];
    size_t n = read_token(&r, value, sizeof value / sizeof value[0]);
    if (n < 1 || n > 259 || n >= (size_t)capacity) return -1;
    memcpy(out, value, (n + 1) * sizeof(char16_t));
    return 0;
}

namespace {

// Copies `len` units of `text` into a fixed field, cut to the capacity.
void copy_part(char16_t* out, size_t capacity, const char16_t* text, size_t len) {
    size_t n = len < capacity - 1 ? len : capacity - 1;
    memcpy(out, text, n * sizeof(char16_t));
    out[n] = 0;
}

// Position of the first `c` in `text`, or -1.
long find_char(const char16_t* text, char16_t c) {
    for (long i = 0; text[i]; i++)
        if (text[i] == c) return i;
    return -1;
}

// Applies one token; returns false when it matched no option.
bool apply_option(char16_t* token, CommandLineOptions* o) {
    // Prefix options: the value is the rest of the token.
    auto value_of = [token](const char* prefix) -> char16_t* {
        return text16_starts_with(token, prefix) ? token + strlen(prefix) : nullptr;
    };
    char16_t* v;
    if ((v = value_of("--log="))) return true;
    if ((v = value_of("--select-leaf="))) { o->select_leaf = v; return true; }
    if ((v = value_of("--layout-load="))) { o->layout_load_path = v; return true; }
    if ((v = value_of("--layout-save="))) { o->layout_save_path = v; return true; }
    if (text16_equals(token, "--no-layout")) { o->no_layout = 1; return true; }
    if ((v = value_of("--shot="))) { text16_copy(o->shot_prefix, 260, v); return true; }
    if ((v = value_of("--rename-tab="))) { text16_copy(o->rename_tab, 260, v); return true; }
    if ((v = value_of("--replay="))) { text16_copy(o->replay_path, 260, v); return true; }
    if ((v = value_of("--replay-all="))) { text16_copy(o->replay_all_path, 260, v); return true; }
    if ((v = value_of("--net-listen="))) {
        // An empty or mistyped port would otherwise listen on port 0 (any free port nobody knows).
        o->net_listen_port = text16_to_port(v);
        if (o->net_listen_port < 0) {
            char text[64];
            utf16_to_utf8(v, text, sizeof text);
            log_printf(LOG_ERROR, "命令行监听端口无效: \"%s\"（应为 1-65535），不监听", text);
        }
        return true;
    }
    if ((v = value_of("--net-connect="))) {
        long colon = find_char(v, u':');
        if (colon >= 0) {
            copy_part(o->net_connect_host, 260, v, (size_t)colon);
            o->net_connect_port = text16_to_int(v + colon + 1);
        }
        return true;
    }
    if (text16_equals(token, "--net-sync")) { o->net_sync = 1; return true; }
    if (text16_equals(token, "--net-watch")) { o->net_watch = 1; return true; }
    if ((v = value_of("--net-write="))) {
        long eq = find_char(v, u'=');
        if (eq >= 0) {
            v[eq] = 0;  // split in place; the token is ours
            // Whole or not at all: a name cut short can be another variable's, a value another value.
            char name[1024], value[1024];
            utf16_to_utf8(v, name, sizeof name);
            utf16_to_utf8(v + eq + 1, value, sizeof value);
            if (strlen(name) < sizeof o->net_write_name && strlen(value) < sizeof o->net_write_value) {
                text_copy(o->net_write_name, sizeof o->net_write_name, name);
                text_copy(o->net_write_value, sizeof o->net_write_value, value);
            } else {
                log_printf(LOG_ERROR, "命令行 --net-write= 的变量名或数值超过 63 字节，不写入");
            }
        }
        return true;
    }
    if (text16_equals(token, "--net-download")) { o->net_download = 1; return true; }
    if ((v = value_of("--net-watchstop="))) { o->net_watchstop_ms = text16_to_int(v); return true; }
    if ((v = value_of("--net-shot-at="))) {
        long comma = find_char(v, u',');
        if (comma >= 0) {
            copy_part(o->net_shot_at_path, 260, v, (size_t)comma);
            o->net_shot_at_ms = text16_to_int(v + comma + 1);
        }
        return true;
    }
    if ((v = value_of("--net-set="))) {
        long colon = find_char(v, u':');
        if (colon >= 0) {
            copy_part(o->net_set_address, 64, v, (size_t)colon);
            text16_copy(o->net_set_port, 16, v + colon + 1);
        } else {
            text16_copy(o->net_set_address, 64, v);
            o->net_set_port[0] = 0;
        }
        return true;
    }
    if ((v = value_of("--watch="))) { text16_copy(o->watch_list, 1024, v); return true; }
    if ((v = value_of("--net-win="))) { text16_copy(o->window_spec, 1024, v); return true; }
    if ((v = value_of("--net-exit="))) { o->net_exit_ms = text16_to_int(v); return true; }
    if ((v = value_of("--net-key="))) { utf16_to_utf8(v, o->net_key, sizeof o->net_key); return true; }
    return false;
}

}  // namespace

void parse_command_line(char16_t* command_line, CommandLineOptions* options) {
    if (!command_line || !options) return;
    bool have_plain = options->elf_path != nullptr;
    QuoteReader r = {command_line, false};
    while (*r.in) {
        while (*r.in == u' ') r.in++;
        if (!*r.in) break;
        // The token is unquoted in place: it starts where it stood and ends at or before its blank.
        char16_t* token = (char16_t*)r.in;
        read_token(&r, token, (size_t)-1);
        if (!apply_option(token, options) && !have_plain) {
            options->elf_path = token;
            have_plain = true;
        }
    }
}
