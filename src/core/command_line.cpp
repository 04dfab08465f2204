// command_line.cpp - tokenising the command line into CommandLineOptions.
#include "core/command_line.h"

#include <cstring>

#include "core/text.h"

void command_line_clear(CommandLineOptions* options) {
    memset(options, 0, sizeof *options);
    options->net_listen_port = -1;
}

int command_line_log_path(const char16_t* command_line, char16_t* out, int capacity) {
    if (out && capacity > 0) out[0] = 0;
    const char16_t* found = text16_find(command_line, u"--log=");
    if (!found || !out || capacity <= 0) return -1;
    const char16_t* value = found + 6;
    int n = 0;
    while (value[n] && value[n] != u' ') n++;
    if (n < 1 || n > 259 || n >= capacity) return -1;
    memcpy(out, value, (size_t)n * sizeof(char16_t));
    out[n] = 0;
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
    if ((v = value_of("--net-listen="))) { o->net_listen_port = text16_to_int(v); return true; }
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
            utf16_to_utf8(v, o->net_write_name, sizeof o->net_write_name);
            utf16_to_utf8(v + eq + 1, o->net_write_value, sizeof o->net_write_value);
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
    char16_t* p = command_line;
    bool have_plain = options->elf_path != nullptr;
    while (*p) {
        while (*p == u' ') p++;
        if (!*p) break;
        char16_t* token = p;
        while (*p && *p != u' ') p++;
        if (*p) *p++ = 0;
        if (!apply_option(token, options) && !have_plain) {
            options->elf_path = token;
            have_plain = true;
        }
    }
}
