// gdb_config.cpp - gdbremote.ini: the GDB servers the driver offers, and the built-in list of
// well-known local ports used without the file.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gdb_driver.h"

namespace {

// Kind names as the ini writes them, in GdbServerKind order.
const char* const kKindNames[] = {"openocd", "pyocd", "jlink", "stlink", "bmp", "qemu", "generic"};

char* trim(char* s) {
    while (*s == ' ' || *s == '\t') s++;
    size_t n = std::strlen(s);
    while (n && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r')) s[--n] = 0;
    return s;
}

void copy_text(char* out, size_t capacity, const char* text) { std::snprintf(out, capacity, "%s", text); }

void server_defaults(GdbServerConfig* s, const char* name) {
    std::memset(s, 0, sizeof *s);
    copy_text(s->name, sizeof s->name, name);
    copy_text(s->host, sizeof s->host, "127.0.0.1");
    s->port = 0;
    s->kind = GDB_KIND_GENERIC;
    s->mode = -1;  // the kind's default, decided at the end of the section
    s->timeout_ms = 1000;
}

// ASCII comparison without regard to case: ini files on Windows are case-insensitive, and users
// write "Port" and "OpenOCD" as readily as "port" and "openocd".
bool same_word(const char* a, const char* b) {
    for (; *a && *b; a++, b++) {
        char x = *a >= 'A' && *a <= 'Z' ? (char)(*a - 'A' + 'a') : *a;
        char y = *b >= 'A' && *b <= 'Z' ? (char)(*b - 'A' + 'a') : *b;
        if (x != y) return false;
    }
    return !*a && !*b;
}

// Cuts a trailing comment (" ; ..." or " # ...", after white space) off a value.
void cut_comment(char* value) {
    for (char* p = value; *p; p++) {
        if ((*p == ';' || *p == '#') && p > value && (p[-1] == ' ' || p[-1] == '\t')) {
            *p = 0;
            break;
        }
    }
}

bool parse_int(const char* text, int32_t low, int32_t high, int32_t* out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end || v < low || v > high) return false;
    *out = (int32_t)v;
    return true;
}

// Applies one key; false when the key or its value is not understood.
bool apply(GdbServerConfig* s, const char* key, const char* value) {
    if (same_word(key, "name")) copy_text(s->name, sizeof s->name, value);
    else if (same_word(key, "host")) {
        if (!value[0] || std::strlen(value) >= sizeof s->host) return false;  // never a cut-off host
        copy_text(s->host, sizeof s->host, same_word(value, "localhost") ? "127.0.0.1" : value);
    } else if (same_word(key, "port")) return parse_int(value, 1, 65535, &s->port);
    else if (same_word(key, "kind")) {
        int32_t kind = gdb_kind_from_name(value);
        if (kind < 0) return false;
        s->kind = kind;
    } else if (same_word(key, "mode")) {
        if (same_word(value, "halt")) s->mode = GDB_MODE_HALT;
        else if (same_word(value, "background")) s->mode = GDB_MODE_BACKGROUND;
        else return false;
    } else if (same_word(key, "resume_on_attach")) return parse_int(value, 0, 1, &s->resume_on_attach);
    else if (same_word(key, "timeout_ms")) return parse_int(value, 50, 60000, &s->timeout_ms);
    else return false;
    return true;
}

// Ends a section: kept when it names a port.
void finish(GdbConfig* config, GdbServerConfig* s, bool open, GdbLogFn log) {
    if (!open) return;
    if (s->port == 0) {
        if (log) log(KX_LOG_WARN, "gdbremote.ini: 服务器 [%s] 没有 port，已忽略", s->name);
        return;
    }
    if (s->mode < 0) s->mode = gdb_kind_default_mode(s->kind);
    if (config->count < GDB_SERVERS_MAX) config->servers[config->count++] = *s;
    else if (log) log(KX_LOG_WARN, "gdbremote.ini: 服务器 [%s] 超出 %d 个的上限，已忽略", s->name, (int)GDB_SERVERS_MAX);
}

}  // namespace

const char* gdb_kind_name(int32_t kind) {
    return kind >= 0 && kind <= GDB_KIND_GENERIC ? kKindNames[kind] : "generic";
}

int32_t gdb_kind_from_name(const char* name) {
    for (int32_t i = 0; i <= GDB_KIND_GENERIC; i++)
        if (same_word(name, kKindNames[i])) return i;
    return -1;
}

int32_t gdb_kind_default_mode(int32_t kind) {
    switch (kind) {
        case GDB_KIND_OPENOCD:
        case GDB_KIND_PYOCD:
        case GDB_KIND_JLINK:
        case GDB_KIND_STLINK: return GDB_MODE_BACKGROUND;
        default: return GDB_MODE_HALT;
    }
}

void gdb_config_defaults(GdbConfig* config) {
    std::memset(config, 0, sizeof *config);
    struct Known {
        const char* name;
        int32_t port;
        int32_t kind;
    } const known[] = {{"OpenOCD/pyOCD", 3333, GDB_KIND_OPENOCD},
                       {"J-Link GDB Server", 2331, GDB_KIND_JLINK},
                       {"ST-LINK GDB server", 61234, GDB_KIND_STLINK},
                       {"QEMU", 1234, GDB_KIND_QEMU}};
    for (const Known& k : known) {
        GdbServerConfig* s = &config->servers[config->count++];
        server_defaults(s, k.name);
        s->port = k.port;
        s->kind = k.kind;
        s->mode = gdb_kind_default_mode(k.kind);
    }
}

int32_t gdb_config_parse(GdbConfig* config, const char* text, GdbLogFn log) {
    std::memset(config, 0, sizeof *config);
    GdbServerConfig current;
    server_defaults(&current, "");
    bool open = false;
    int32_t line_number = 0;
    const char* p = text;
    while (*p) {
        const char* end = std::strchr(p, '\n');
        size_t n = end ? (size_t)(end - p) : std::strlen(p);
        char line[512];
        line_number++;
        bool too_long = n >= sizeof line;
        std::memcpy(line, p, too_long ? sizeof line - 1 : n);
        line[too_long ? sizeof line - 1 : n] = 0;
        p += n + (end ? 1 : 0);
        // A UTF-8 byte-order mark at the start of the file is not part of the first line.
        char* s = line;
        if (line_number == 1 && (uint8_t)s[0] == 0xEF && (uint8_t)s[1] == 0xBB && (uint8_t)s[2] == 0xBF) s += 3;
        s = trim(s);
        if (!*s || *s == ';' || *s == '#') continue;
        if (too_long) {
            if (log) log(KX_LOG_WARN, "gdbremote.ini 第 %d 行过长，已跳过", (int)line_number);
            continue;
        }
        size_t len = std::strlen(s);
        if (s[0] == '[' && s[len - 1] == ']' && len > 2) {
            finish(config, &current, open, log);
            s[len - 1] = 0;
            server_defaults(&current, trim(s + 1));
            open = true;
            continue;
        }
        char* eq = std::strchr(s, '=');
        if (!eq || !open) {
            if (log) log(KX_LOG_WARN, "gdbremote.ini 第 %d 行无法识别，已跳过: %s", (int)line_number, s);
            continue;
        }
        *eq = 0;
        const char* key = trim(s);
        cut_comment(eq + 1);
        const char* value = trim(eq + 1);
        if (!apply(&current, key, value) && log)
            log(KX_LOG_WARN, "gdbremote.ini 第 %d 行无效，已跳过: %s=%s", (int)line_number, key, value);
    }
    finish(config, &current, open, log);
    return config->count;
}
