// leaf_codec.cpp - raw bytes to value and text, typed text to raw bytes.
//
// Index
//   [SECTION] Decoding
//   [SECTION] Text
//   [SECTION] Parsing
#include "vartable/leaf_codec.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

//-------------------------------------------------------------------------------------------------
// [SECTION] Decoding
//-------------------------------------------------------------------------------------------------

namespace {

// The decoded form of some raw bytes: the 64-bit integer (sign-extended for signed leaves) and
// the double. `ok` is false when the bytes cannot be decoded.
struct Decoded {
    bool ok;
    uint64_t integer;
    double value;
};

uint64_t assemble_le(const uint8_t* raw, uint32_t count) {
    uint64_t v = 0;
    uint32_t n = count < 8 ? count : 8;
    for (uint32_t i = 0; i < n; i++) v |= (uint64_t)raw[i] << (8 * i);
    return v;
}

Decoded decode_float(const uint8_t* raw, uint32_t count) {
    Decoded d = {};
    if (count == 4) {
        uint32_t bits = (uint32_t)assemble_le(raw, 4);
        float f;
        memcpy(&f, &bits, sizeof f);
        d.ok = true;
        d.value = f;
    } else if (count == 8) {
        uint64_t bits = assemble_le(raw, 8);
        memcpy(&d.value, &bits, sizeof d.value);
        d.ok = true;
    }
    return d;
}

Decoded decode_integer(const uint8_t* raw, uint32_t count, TypeKind kind, int32_t is_signed, int32_t is_bitfield,
                       uint8_t bit_offset, uint8_t bit_size) {
    Decoded d = {};
    d.ok = true;
    uint64_t v = assemble_le(raw, count);
    unsigned width = count * 8;
    if (is_bitfield) {
        if (bit_offset < 64) v >>= bit_offset;
        width = (bit_size >= 1 && bit_size <= 64) ? bit_size : 32;
    }
    if (width < 64) v &= (1ull << width) - 1;
    if (kind == TYPE_BOOL) {
        d.integer = v != 0;
        d.value = v != 0 ? 1.0 : 0.0;
        return d;
    }
    if (is_signed && width < 64 && (v >> (width - 1)) & 1) v |= ~0ull << width;
    d.integer = v;
    // An unsigned 64-bit value is converted as unsigned: taking it as signed would draw
    // values from 2^63 up as negative numbers.
    d.value = is_signed ? (double)(int64_t)v : (double)v;
    return d;
}

Decoded decode(const uint8_t* raw, uint32_t count, TypeKind kind, int32_t is_signed, int32_t is_bitfield,
               uint8_t bit_offset, uint8_t bit_size, const LeafEnumerator* enumerators, int32_t enumerator_count) {
    if (!raw || count == 0 || count > 8 || kind == TYPE_NONE || kind == TYPE_STRING) return Decoded{};
    if (kind == TYPE_FLOAT) return decode_float(raw, count);
    // An enumeration's signedness is the leaf's (the reader takes it from the underlying type):
    // an enumerator of 2^63 or more in an unsigned 64-bit enumeration is not negative.
    (void)enumerators;
    (void)enumerator_count;
    return decode_integer(raw, count, kind, is_signed, is_bitfield, bit_offset, bit_size);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Text
//-------------------------------------------------------------------------------------------------

// A decimal integer as "%lld" / "%llu" write it, cut to the capacity as snprintf cuts. Every
// sample of an integer leaf gets its text here (hundreds of thousands a second while acquiring,
// every value of a replayed file), where a format string would be parsed again each time.
void decimal_text(char* text, size_t capacity, uint64_t magnitude, bool negative) {
    if (capacity == 0) return;
    char digits[24];
    size_t at = sizeof digits;
    do {
        digits[--at] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) digits[--at] = '-';
    size_t n = sizeof digits - at;
    if (n > capacity - 1) n = capacity - 1;
    memcpy(text, digits + at, n);
    text[n] = 0;
}

void signed_text(char* text, size_t capacity, int64_t v) {
    // 0 - v in unsigned arithmetic is the magnitude of every negative value, INT64_MIN included.
    decimal_text(text, capacity, v < 0 ? 0 - (uint64_t)v : (uint64_t)v, v < 0);
}

void integer_text(char* text, size_t capacity, uint64_t v, int32_t is_signed, int32_t hex) {
    if (hex) {
        text_printf(text, capacity, "0x%llX", (unsigned long long)v);
    } else if (is_signed) {
        signed_text(text, capacity, (int64_t)v);
    } else {
        decimal_text(text, capacity, v, false);
    }
}

void enum_text(char* text, size_t capacity, uint64_t v, const LeafEnumerator* enumerators, int32_t count) {
    int64_t s = (int64_t)v;
    if (enumerators) {
        for (int32_t i = 0; i < count && i < LEAF_ENUM_CAPACITY; i++) {
            if (enumerators[i].value == s) {
                text_copy(text, capacity, enumerators[i].name);
                return;
            }
        }
    }
    signed_text(text, capacity, s);
}

void bytes_text(char* text, size_t capacity, const uint8_t* raw, uint32_t count) {
    static const char digits[] = "0123456789ABCDEF";
    char buffer[2 + 2 * 8 + 1] = "0x";
    size_t n = 2;
    for (uint32_t i = 0; i < count && i < 8; i++) {
        buffer[n++] = digits[raw[i] >> 4];
        buffer[n++] = digits[raw[i] & 15];
    }
    buffer[n] = 0;
    text_copy(text, capacity, buffer);
}

}  // namespace

void leaf_value_to_text(char* text, size_t capacity, const uint8_t* raw, uint32_t count, TypeKind kind,
                        int32_t is_signed, int32_t hex, int32_t is_bitfield, uint8_t bit_offset,
                        uint8_t bit_size, double* out_value, const LeafEnumerator* enumerators,
                        int32_t enumerator_count) {
    if (!text || capacity < 1) return;
    Decoded d = decode(raw, count, kind, is_signed, is_bitfield, bit_offset, bit_size, enumerators, enumerator_count);
    if (out_value) *out_value = d.ok ? d.value : 0.0;
    if (!d.ok) {
        text_copy(text, capacity, "<?>");
        return;
    }
    switch (kind) {
    case TYPE_INT:
    case TYPE_UINT: integer_text(text, capacity, d.integer, is_signed, hex); break;
    case TYPE_FLOAT: text_printf(text, capacity, "%.6g", d.value); break;
    case TYPE_BOOL: text_copy(text, capacity, d.value != 0 ? "true" : "false"); break;
    case TYPE_ENUM: enum_text(text, capacity, d.integer, enumerators, enumerator_count); break;
    case TYPE_POINTER: text_printf(text, capacity, "0x%llX", (unsigned long long)d.integer); break;
    default: bytes_text(text, capacity, raw, count); break;
    }
}

double leaf_bytes_value(const uint8_t* raw, uint32_t count, TypeKind kind, int32_t is_signed, int32_t is_bitfield,
                        uint8_t bit_offset, uint8_t bit_size) {
    Decoded d = decode(raw, count, kind, is_signed, is_bitfield, bit_offset, bit_size, nullptr, 0);
    return d.ok ? d.value : 0.0;
}

void leaf_decode(const VarLeaf* leaf, const uint8_t* raw, uint32_t count, char* text, size_t capacity,
                 double* out_value) {
    if (!leaf) {
        leaf_value_to_text(text, capacity, nullptr, 0, TYPE_NONE, 0, 0, 0, 0, 0, out_value, nullptr, 0);
        return;
    }
    leaf_value_to_text(text, capacity, raw, count, leaf->kind, leaf->is_signed, leaf->is_pointer, leaf->is_bitfield,
                       leaf->bit_offset, leaf->bit_size, out_value, leaf->enumerators, leaf->enumerator_count);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Parsing
//-------------------------------------------------------------------------------------------------

namespace {

// The standard conversions: leading white space, a sign and a base prefix ("0x", leading 0)
// are accepted and anything after the number is ignored; no number at all is a failure (the
// end pointer then stays at the start).
//
// Spreadsheets and pandas write whole numbers as decimals ("1.8446744073709552e+19" for a 64-bit
// column with gaps, "1000.0", "1e3"): where the text goes on as a decimal number past its integer
// part, the whole decimal counts, cut toward zero and held at the type's limits, instead of the
// digits before the point or exponent alone.
bool decimal_beyond_integer(const char* text, const char* integer_end, double* v) {
    if (*integer_end != '.' && *integer_end != 'e' && *integer_end != 'E') return false;
    char* end;
    *v = strtod(text, &end);
    return end > integer_end && !std::isnan(*v);
}

bool parse_signed(const char* text, int64_t* out) {
    char* end;
    *out = strtoll(text, &end, 0);  // clamps to the signed 64-bit limits on overflow
    if (end == text) return false;
    double v;
    if (decimal_beyond_integer(text, end, &v))
        *out = v >= 9223372036854775807.0 ? INT64_MAX : v <= -9223372036854775808.0 ? INT64_MIN : (int64_t)v;
    return true;
}

bool parse_unsigned(const char* text, uint64_t* out) {
    char* end;
    *out = strtoull(text, &end, 0);  // a leading minus negates modulo 2^64
    if (end == text) return false;
    double v;
    if (decimal_beyond_integer(text, end, &v)) {
        if (v >= 18446744073709551615.0) *out = UINT64_MAX;
        else if (v >= 0) *out = (uint64_t)v;
        else *out = (uint64_t)(v <= -9223372036854775808.0 ? INT64_MIN : (int64_t)v);  // negated as strtoull does
    }
    return true;
}

bool parse_float(const char* text, double* out) {
    char* end;
    *out = strtod(text, &end);
    return end != text;
}

bool equals_ignoring_case(const char* a, const char* b) {
    for (; *a && *b; a++, b++) {
        char x = (*a >= 'A' && *a <= 'Z') ? (char)(*a - 'A' + 'a') : *a;
        char y = (*b >= 'A' && *b <= 'Z') ? (char)(*b - 'A' + 'a') : *b;
        if (x != y) return false;
    }
    return *a == *b;
}

void store_le(uint8_t* out, size_t n, uint64_t v) {
    memset(out, 0, n);
    for (size_t i = 0; i < n && i < 8; i++) out[i] = (uint8_t)(v >> (8 * i));
}

bool parse_float_bytes(const char* text, uint8_t* out, size_t capacity, size_t* length) {
    double v;
    if (!parse_float(text, &v)) return false;
    if (capacity >= 8) {
        uint64_t bits;
        memcpy(&bits, &v, sizeof bits);
        store_le(out, 8, bits);
        *length = 8;
        return true;
    }
    if (capacity < 4) return false;
    float f = (float)v;
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    store_le(out, 4, bits);
    *length = 4;
    return true;
}

bool parse_bool_byte(const char* text, uint8_t* out, size_t n, size_t* length) {
    int value;
    if (equals_ignoring_case(text, "true") || strcmp(text, "1") == 0) {
        value = 1;
    } else if (equals_ignoring_case(text, "false") || strcmp(text, "0") == 0) {
        value = 0;
    } else {
        return false;
    }
    store_le(out, n, (uint64_t)value);
    *length = 1;
    return true;
}

bool parse_enum_value(const char* text, const LeafEnumerator* enumerators, int32_t count, int64_t* out) {
    if (enumerators) {
        for (int32_t i = 0; i < count && i < LEAF_ENUM_CAPACITY; i++) {
            if (equals_ignoring_case(text, enumerators[i].name)) {
                *out = enumerators[i].value;
                return true;
            }
        }
    }
    return parse_signed(text, out);
}

}  // namespace

int leaf_text_to_bytes(const char* text, uint8_t* out, size_t capacity, size_t* out_length, TypeKind kind,
                       const LeafEnumerator* enumerators, int32_t enumerator_count) {
    if (!text || !out || capacity < 1) return 0;
    size_t unused;
    size_t* length = out_length ? out_length : &unused;
    *length = 0;
    size_t n = capacity < 8 ? capacity : 8;
    switch (kind) {
    case TYPE_FLOAT: return parse_float_bytes(text, out, capacity, length) ? 1 : 0;
    case TYPE_BOOL: return parse_bool_byte(text, out, n, length) ? 1 : 0;
    case TYPE_STRING: {
        size_t copied = strlen(text);
        if (copied > n - 1) copied = n - 1;
        memcpy(out, text, copied);
        out[copied] = 0;
        *length = copied + 1;
        return 1;
    }
    case TYPE_INT:
    case TYPE_ENUM: {
        int64_t v;
        bool ok = kind == TYPE_ENUM ? parse_enum_value(text, enumerators, enumerator_count, &v) : parse_signed(text, &v);
        if (!ok) return 0;
        store_le(out, n, (uint64_t)v);
        *length = n;
        return 1;
    }
    default: {
        uint64_t v;
        if (!parse_unsigned(text, &v)) return 0;
        store_le(out, n, v);
        *length = n;
        return 1;
    }
    }
}
