// text.cpp - UTF-8/UTF-16 conversion and fixed-buffer text helpers.
#include "core/text.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Decodes one UTF-8 character; returns its length in bytes (at least 1), U+FFFD for bad input.
size_t utf8_decode(const unsigned char* s, unsigned* cp) {
    unsigned c = s[0];
    if (c < 0x80) { *cp = c; return 1; }
    size_t len; unsigned min;
    if ((c & 0xE0) == 0xC0) { len = 2; *cp = c & 0x1F; min = 0x80; }
    else if ((c & 0xF0) == 0xE0) { len = 3; *cp = c & 0x0F; min = 0x800; }
    else if ((c & 0xF8) == 0xF0) { len = 4; *cp = c & 0x07; min = 0x10000; }
    else { *cp = 0xFFFD; return 1; }
    for (size_t i = 1; i < len; i++) {
        if ((s[i] & 0xC0) != 0x80) { *cp = 0xFFFD; return i; }
        *cp = (*cp << 6) | (s[i] & 0x3F);
    }
    if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) *cp = 0xFFFD;
    return len;
}

}  // namespace

size_t utf8_to_utf16(const char* text, char16_t* out, size_t capacity) {
    if (!out || capacity == 0) return 0;
    size_t n = 0;
    if (text) {
        const unsigned char* s = (const unsigned char*)text;
        while (*s) {
            unsigned cp;
            s += utf8_decode(s, &cp);
            size_t need = cp >= 0x10000 ? 2 : 1;
            if (n + need > capacity - 1) break;
            if (need == 2) {
                cp -= 0x10000;
                out[n++] = (char16_t)(0xD800 + (cp >> 10));
                out[n++] = (char16_t)(0xDC00 + (cp & 0x3FF));
            } else {
                out[n++] = (char16_t)cp;
            }
        }
    }
    out[n] = 0;
    return n;
}

size_t utf16_to_utf8(const char16_t* text, char* out, size_t capacity) {
    if (!out || capacity == 0) return 0;
    size_t n = 0;
    if (text) {
        for (size_t i = 0; text[i]; i++) {
            unsigned cp = text[i];
            if (cp >= 0xD800 && cp <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                i++;
            } else if (cp >= 0xD800 && cp <= 0xDFFF) {
                cp = 0xFFFD;
            }
            unsigned char buf[4];
            size_t len;
            if (cp < 0x80) { buf[0] = (unsigned char)cp; len = 1; }
            else if (cp < 0x800) { buf[0] = (unsigned char)(0xC0 | (cp >> 6)); buf[1] = (unsigned char)(0x80 | (cp & 0x3F)); len = 2; }
            else if (cp < 0x10000) {
                buf[0] = (unsigned char)(0xE0 | (cp >> 12)); buf[1] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
                buf[2] = (unsigned char)(0x80 | (cp & 0x3F)); len = 3;
            } else {
                buf[0] = (unsigned char)(0xF0 | (cp >> 18)); buf[1] = (unsigned char)(0x80 | ((cp >> 12) & 0x3F));
                buf[2] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F)); buf[3] = (unsigned char)(0x80 | (cp & 0x3F)); len = 4;
            }
            if (n + len > capacity - 1) break;
            memcpy(out + n, buf, len);
            n += len;
        }
    }
    out[n] = 0;
    return n;
}

size_t text16_len(const char16_t* text) {
    size_t n = 0;
    if (text) while (text[n]) n++;
    return n;
}

size_t text_copy(char* out, size_t capacity, const char* text) {
    if (!out || capacity == 0) return 0;
    size_t n = 0;
    if (text) while (text[n] && n < capacity - 1) { out[n] = text[n]; n++; }
    out[n] = 0;
    return n;
}

size_t text16_copy(char16_t* out, size_t capacity, const char16_t* text) {
    if (!out || capacity == 0) return 0;
    size_t n = 0;
    if (text) while (text[n] && n < capacity - 1) { out[n] = text[n]; n++; }
    out[n] = 0;
    return n;
}

size_t text_vprintf(char* out, size_t capacity, const char* format, va_list args) {
    if (!out || capacity == 0) return 0;
    int r = vsnprintf(out, capacity, format ? format : "", args);
    out[capacity - 1] = 0;
    if (r < 0) { out[0] = 0; return 0; }
    return (size_t)r < capacity ? (size_t)r : capacity - 1;
}

size_t text_printf(char* out, size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    size_t n = text_vprintf(out, capacity, format, args);
    va_end(args);
    return n;
}

int text16_to_int(const char16_t* text) {
    if (!text) return 0;
    while (*text == u' ' || (*text >= u'\t' && *text <= u'\r')) text++;
    bool negative = false;
    if (*text == u'+' || *text == u'-') negative = (*text++ == u'-');
    long long v = 0;
    while (*text >= u'0' && *text <= u'9') {
        v = v * 10 + (*text++ - u'0');
        if (v > (long long)INT_MAX + 1) { v = (long long)INT_MAX + 1; }
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

int32_t text16_to_port(const char16_t* text) {
    if (!text || !*text) return -1;
    int32_t port = 0;
    for (; *text; text++) {
        if (*text < u'0' || *text > u'9') return -1;
        port = port * 10 + (*text - u'0');
        if (port > 65535) return -1;
    }
    return port >= 1 ? port : -1;
}

size_t text_copy_chars(char* out, size_t capacity, const char* text) {
    if (!out || capacity == 0) return 0;
    size_t n = text_copy(out, capacity, text);
    if (!text || text[n] == 0) return n;
    // Cut: step back over continuation bytes to the lead byte of the character that did not fit.
    size_t end = n;
    while (end > 0 && ((unsigned char)out[end - 1] & 0xC0) == 0x80) end--;
    if (end > 0 && ((unsigned char)out[end - 1] & 0x80)) {
        unsigned char lead = (unsigned char)out[end - 1];
        size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (n - (end - 1) < need) n = end - 1;  // the last character is incomplete
    }
    out[n] = 0;
    return n;
}

const char16_t* text16_find(const char16_t* haystack, const char16_t* needle) {
    if (!haystack || !needle) return nullptr;
    if (!*needle) return haystack;
    for (; *haystack; haystack++) {
        size_t i = 0;
        while (needle[i] && haystack[i] == needle[i]) i++;
        if (!needle[i]) return haystack;
    }
    return nullptr;
}

bool text16_starts_with(const char16_t* text, const char* ascii_prefix) {
    if (!text || !ascii_prefix) return false;
    for (; *ascii_prefix; ascii_prefix++, text++)
        if (*text != (char16_t)(unsigned char)*ascii_prefix) return false;
    return true;
}

bool text16_equals(const char16_t* text, const char* ascii) {
    if (!text || !ascii) return false;
    for (; *ascii; ascii++, text++)
        if (*text != (char16_t)(unsigned char)*ascii) return false;
    return *text == 0;
}
