// sim_config.cpp - the simulator's settings: defaults, sim.ini and KX_SIM_* environment variables.
#include <cstdlib>
#include <cstring>

#include "sim_target.h"

namespace {

void copy_text(char* out, size_t capacity, const char* text) {
    size_t n = 0;
    while (text[n] && n + 1 < capacity) {
        out[n] = text[n];
        n++;
    }
    out[n] = 0;
}

// Parses a non-negative decimal number; false when the text is not one.
bool parse_count(const char* text, int64_t* out) {
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    if (end == text || v < 0) return false;
    while (*end == ' ' || *end == '\t' || *end == '\r') end++;
    if (*end) return false;
    *out = v;
    return true;
}

// One setting; unknown keys and malformed numbers are ignored, out-of-range sizes are clamped.
void apply_setting(SimConfig* c, const char* key, const char* value) {
    if (std::strcmp(key, "image") == 0) {
        copy_text(c->image, sizeof c->image, value);
        return;
    }
    int64_t v = 0;
    if (!parse_count(value, &v)) return;
    auto clamp = [](int64_t x, int64_t lo, int64_t hi) { return x < lo ? lo : x > hi ? hi : x; };
    if (std::strcmp(key, "flash_kb") == 0) c->flash_size = (uint32_t)clamp(v, 1, 16384) * 1024u;
    else if (std::strcmp(key, "ram_kb") == 0) c->ram_size = (uint32_t)clamp(v, 1, 16384) * 1024u;
    else if (std::strcmp(key, "latency_us") == 0) c->latency_us = (int32_t)clamp(v, 0, 1000000);
    else if (std::strcmp(key, "fail_every") == 0) c->fail_every = (int32_t)clamp(v, 0, 1000000000);
    else if (std::strcmp(key, "drop_after_s") == 0) c->drop_after_s = (int32_t)clamp(v, 0, 1000000);
    else if (std::strcmp(key, "probes") == 0) c->probes = (int32_t)clamp(v, 0, 64);
    else if (std::strcmp(key, "tick_ms") == 0) c->tick_ms = (int32_t)clamp(v, 1, 1000);
}

char* trim(char* s) {
    while (*s == ' ' || *s == '\t') s++;
    char* end = s + std::strlen(s);
    while (end > s && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r')) *--end = 0;
    return s;
}

}  // namespace

void sim_config_defaults(SimConfig* c) {
    std::memset(c, 0, sizeof *c);
    c->flash_size = 512u * 1024u;
    c->ram_size = 128u * 1024u;
    c->latency_us = 300;
    c->probes = 1;
    c->tick_ms = 1;
}

void sim_config_parse_ini(SimConfig* c, const char* text) {
    if (!text) return;
    bool in_sim = true;  // keys before any section count
    const char* p = text;
    if ((unsigned char)p[0] == 0xEF && (unsigned char)p[1] == 0xBB && (unsigned char)p[2] == 0xBF) p += 3;
    while (*p) {
        char line[600];
        size_t n = 0;
        while (*p && *p != '\n') {
            if (n + 1 < sizeof line) line[n++] = *p;
            p++;
        }
        if (*p == '\n') p++;
        line[n] = 0;
        char* s = trim(line);
        if (!*s || *s == ';' || *s == '#') continue;
        if (*s == '[') {
            in_sim = std::strncmp(s, "[sim]", 5) == 0;
            continue;
        }
        char* eq = std::strchr(s, '=');
        if (!eq || !in_sim) continue;
        *eq = 0;
        apply_setting(c, trim(s), trim(eq + 1));
    }
}

void sim_config_apply_env(SimConfig* c, const char* (*get_env)(const char* name)) {
    static const char* const kKeys[][2] = {
        {"KX_SIM_FLASH_KB", "flash_kb"},       {"KX_SIM_RAM_KB", "ram_kb"},   {"KX_SIM_LATENCY_US", "latency_us"},
        {"KX_SIM_FAIL_EVERY", "fail_every"},   {"KX_SIM_DROP_AFTER_S", "drop_after_s"},
        {"KX_SIM_PROBES", "probes"},           {"KX_SIM_TICK_MS", "tick_ms"}, {"KX_SIM_IMAGE", "image"},
    };
    for (const auto& k : kKeys) {
        const char* value = get_env(k[0]);
        if (value) {
            char copy[600];
            copy_text(copy, sizeof copy, value);
            apply_setting(c, k[1], trim(copy));
        }
    }
}

void sim_utf16_to_utf8(const uint16_t* text, char* out, size_t capacity) {
    size_t n = 0;
    if (capacity == 0) return;
    for (size_t i = 0; text && text[i]; i++) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        char buf[4];
        size_t len;
        if (cp < 0x80) { buf[0] = (char)cp; len = 1; }
        else if (cp < 0x800) { buf[0] = (char)(0xC0 | (cp >> 6)); buf[1] = (char)(0x80 | (cp & 0x3F)); len = 2; }
        else if (cp < 0x10000) {
            buf[0] = (char)(0xE0 | (cp >> 12)); buf[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
            buf[2] = (char)(0x80 | (cp & 0x3F)); len = 3;
        } else {
            buf[0] = (char)(0xF0 | (cp >> 18)); buf[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
            buf[2] = (char)(0x80 | ((cp >> 6) & 0x3F)); buf[3] = (char)(0x80 | (cp & 0x3F)); len = 4;
        }
        if (n + len + 1 > capacity) break;
        for (size_t k = 0; k < len; k++) out[n++] = buf[k];
    }
    out[n] = 0;
}
