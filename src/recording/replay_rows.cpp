// replay_rows.cpp - header map and per-line samples of recording CSV files.
#include "recording/replay_rows.h"

#include <cstring>

#include "vartable/leaf_codec.h"

namespace {

const char* skip_blanks(const char* text) {
    while (*text == ' ' || *text == '\t') text++;
    return text;
}

uint64_t load_le(const uint8_t* bytes, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n && i < 8; i++) v |= (uint64_t)bytes[i] << (8 * i);
    return v;
}

void store_le(uint8_t* bytes, size_t n, uint64_t v) {
    for (size_t i = 0; i < n && i < 8; i++) bytes[i] = (uint8_t)(v >> (8 * i));
}

// The parsed number is the field's value; the target holds it shifted into its storage unit,
// and the codec reads it from there.
void place_bit_field(const VarLeaf* leaf, uint8_t* bytes, size_t n) {
    uint64_t v = load_le(bytes, n);
    unsigned width = (leaf->bit_size >= 1 && leaf->bit_size <= 64) ? leaf->bit_size : 32;
    if (width < 64) v &= (1ull << width) - 1;
    v = leaf->bit_offset < 64 ? v << leaf->bit_offset : 0;
    store_le(bytes, n, v);
}

}  // namespace

void replay_map_header(char* line, size_t length, ReplayColumns* map, CsvField* fields) {
    map->timestamp_column = -1;
    map->column_count = csv_split(line, length, fields, CSV_FIELD_CAPACITY);
    for (int32_t i = 0; i < map->column_count; i++) {
        const char* name = skip_blanks(fields[i].text);
        map->leaf[i] = LEAF_NONE;
        if (strcmp(name, "timestamp_us") == 0) {
            if (map->timestamp_column < 0) map->timestamp_column = i;
        } else if (strncmp(name, "time_iso", 8) != 0) {
            map->leaf[i] = leaf_find(name);
        }
    }
}

void replay_read_header(ReplayWork* work) {
    char* line;
    size_t length;
    work->columns.timestamp_column = -1;
    work->columns.column_count = 0;
    if (csv_read_line(&work->reader, &line, &length)) replay_map_header(line, length, &work->columns, work->fields);
}

int32_t replay_split_line(ReplayWork* work, char* line, size_t length, int64_t* timestamp) {
    // Fields past the header's last column belong to no column: they are not split at all.
    int32_t count = csv_split(line, length, work->fields, work->columns.column_count);
    int32_t tc = work->columns.timestamp_column;
    *timestamp = (tc >= 0 && tc < count) ? csv_parse_i64(work->fields[tc].text) : 0;
    return count;
}

namespace {

// The target bytes a field's text stands for (bit fields shifted into their unit); false for a
// text the codec does not take.
bool field_bytes(const VarLeaf* leaf, const char* text, uint8_t bytes[8], size_t* n) {
    if (!leaf || !text || !text[0]) return false;
    size_t capacity = leaf->size < 8 ? leaf->size : 8;
    if (capacity == 0) capacity = 8;
    *n = 0;
    if (!leaf_text_to_bytes(text, bytes, capacity, n, leaf->kind, leaf->enumerators, leaf->enumerator_count) ||
        *n == 0)
        return false;
    if (*n > 8) *n = 8;
    if (leaf->is_bitfield) place_bit_field(leaf, bytes, *n);
    return true;
}

}  // namespace

bool replay_field_value(const VarLeaf* leaf, const char* text, double* value) {
    uint8_t bytes[8] = {};
    size_t n;
    if (!field_bytes(leaf, text, bytes, &n)) return false;
    *value = leaf_bytes_value(bytes, (uint32_t)n, leaf->kind, leaf->is_signed, leaf->is_bitfield, leaf->bit_offset,
                              leaf->bit_size);
    return true;
}

bool replay_make_sample(const VarLeaf* leaf, const char* text, int64_t timestamp, Sample* out) {
    uint8_t bytes[8] = {};
    size_t n;
    if (!field_bytes(leaf, text, bytes, &n)) return false;
    memset(out, 0, sizeof *out);
    out->timestamp_us = timestamp;
    out->leaf_id = leaf->id;
    out->address = leaf->address;
    memcpy(out->raw, bytes, n);
    out->size = (int32_t)n;
    leaf_value_to_text(out->text, sizeof out->text, out->raw, (uint32_t)n, leaf->kind, leaf->is_signed,
                       leaf->is_pointer, leaf->is_bitfield, leaf->bit_offset, leaf->bit_size, &out->value,
                       leaf->enumerators, leaf->enumerator_count);
    return true;
}

int32_t replay_line_samples(ReplayWork* work, int32_t field_count, int64_t timestamp, int32_t first) {
    const ReplayColumns& map = work->columns;
    int32_t limit = field_count < map.column_count ? field_count : map.column_count;
    Sample* const out = work->samples + first;
    int32_t made = 0;
    for (int32_t i = 0; i < limit; i++) {
        LeafId id = map.leaf[i];
        if (id < 0 || i == map.timestamp_column) continue;
        const VarLeaf* leaf = leaf_at(id);
        if (leaf && replay_make_sample(leaf, work->fields[i].text, timestamp, &out[made])) made++;
    }
    return made;
}

namespace {

// Decimal digits of [p, end) into *m; false past 18 digits or at a non-digit.
bool plain_digits(const char* p, const char* end, uint64_t* m, int32_t* digits) {
    uint64_t v = 0;
    int32_t n = 0;
    for (; p < end; p++, n++) {
        const unsigned d = (unsigned)(*p - '0');
        if (d > 9 || n >= 18) return false;
        v = v * 10 + d;
    }
    *m = v;
    *digits = n;
    return true;
}

bool fast_integer(ReplayFastKind k, const char* p, const char* end, double* value) {
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    // A leading zero followed by digits is octal to the codec.
    if (end - p < 1 || (end - p > 1 && *p == '0')) return false;
    uint64_t m;
    int32_t digits;
    if (!plain_digits(p, end, &m, &digits)) return false;
    if (k.kind == REPLAY_FAST_INT) {
        if (negative ? m > k.top + 1 : m > k.top) return false;
        *value = negative && m ? -(double)m : (double)m;
        return true;
    }
    if (m > k.top || (negative && m != 0)) return false;
    *value = (double)m;
    return true;
}

// Digits of [p, end) into *m (leading zeros cost nothing); stops at the first non-digit, which
// it returns. False past 19 significant digits.
bool mantissa_digits(const char** p, const char* end, uint64_t* m, int32_t* count) {
    for (; *p < end; (*p)++) {
        const unsigned d = (unsigned)(**p - '0');
        if (d > 9) break;
        if (*m == 0 && d == 0) {
            (*count)++;
            continue;
        }
        if (*m >= 1000000000000000000ull) return false;
        *m = *m * 10 + d;
        (*count)++;
    }
    return true;
}

// Plain decimals as the recorder's "%.6g" writes them and as people type them: [sign] digits
// [. digits] [e [sign] digits]. With the digits exact below 2^53 and a power of ten up to 1e22
// (exact in a double), one multiplication or division is correctly rounded: strtod's result.
bool fast_float(ReplayFastKind k, const char* p, const char* end, double* value) {
    static const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    uint64_t m = 0;
    int32_t whole_digits = 0, fraction_digits = 0;
    if (!mantissa_digits(&p, end, &m, &whole_digits)) return false;
    if (p < end && *p == '.') {
        p++;
        if (!mantissa_digits(&p, end, &m, &fraction_digits)) return false;
    }
    if (whole_digits + fraction_digits == 0 || m > (1ull << 53)) return false;
    int32_t exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        p++;
        bool down = false;
        if (p < end && (*p == '-' || *p == '+')) down = *p++ == '-';
        if (p == end || end - p > 3) return false;
        for (; p < end; p++) {
            const unsigned d = (unsigned)(*p - '0');
            if (d > 9) return false;
            exponent = exponent * 10 + (int32_t)d;
        }
        if (down) exponent = -exponent;
    }
    if (p != end) return false;
    const int32_t scale = exponent - fraction_digits;
    if (scale < -22 || scale > 22) return false;
    double v = scale < 0 ? (double)m / kPow10[-scale] : (double)m * kPow10[scale];
    if (negative) v = -v;
    *value = k.kind == REPLAY_FAST_F64 ? v : (double)(float)v;
    return true;
}

}  // namespace

ReplayFastKind replay_fast_kind(const VarLeaf* leaf) {
    ReplayFastKind k = {REPLAY_FAST_NONE, 0};
    if (!leaf || leaf->is_bitfield || leaf->is_pointer || leaf->size < 1) return k;
    const uint32_t bits = 8 * (leaf->size < 8 ? leaf->size : 8);
    switch (leaf->kind) {
    case TYPE_INT:
    case TYPE_UINT:
        k.kind = leaf->is_signed ? REPLAY_FAST_INT : REPLAY_FAST_UINT;
        if (leaf->is_signed) k.top = bits >= 64 ? (uint64_t)INT64_MAX : (1ull << (bits - 1)) - 1;
        else k.top = bits >= 64 ? UINT64_MAX : (1ull << bits) - 1;
        break;
    case TYPE_FLOAT:
        if (leaf->size == 4) k.kind = REPLAY_FAST_F32;
        if (leaf->size == 8) k.kind = REPLAY_FAST_F64;
        break;
    default: break;
    }
    return k;
}

bool replay_fast_parse(ReplayFastKind k, const char* text, size_t length, double* value) {
    if (length == 0) return false;
    const char* end = text + length;
    switch (k.kind) {
    case REPLAY_FAST_INT:
    case REPLAY_FAST_UINT: return fast_integer(k, text, end, value);
    case REPLAY_FAST_F32:
    case REPLAY_FAST_F64: return fast_float(k, text, end, value);
    default: return false;
    }
}

bool replay_fast_value(const VarLeaf* leaf, const char* text, size_t length, double* value) {
    return replay_fast_parse(replay_fast_kind(leaf), text, length, value);
}
