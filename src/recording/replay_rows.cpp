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
    int32_t count = csv_split(line, length, work->fields, CSV_FIELD_CAPACITY);
    int32_t tc = work->columns.timestamp_column;
    *timestamp = (tc >= 0 && tc < count) ? csv_parse_i64(work->fields[tc].text) : 0;
    return count;
}

bool replay_make_sample(const VarLeaf* leaf, const char* text, int64_t timestamp, Sample* out) {
    if (!leaf || !text || !text[0]) return false;
    uint8_t bytes[8] = {};
    size_t capacity = leaf->size < 8 ? leaf->size : 8;
    if (capacity == 0) capacity = 8;
    size_t n = 0;
    if (!leaf_text_to_bytes(text, bytes, capacity, &n, leaf->kind, leaf->enumerators, leaf->enumerator_count) ||
        n == 0)
        return false;
    if (n > 8) n = 8;
    if (leaf->is_bitfield) place_bit_field(leaf, bytes, n);
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

int32_t replay_line_samples(ReplayWork* work, int32_t field_count, int64_t timestamp) {
    const ReplayColumns& map = work->columns;
    int32_t limit = field_count < map.column_count ? field_count : map.column_count;
    int32_t made = 0;
    for (int32_t i = 0; i < limit; i++) {
        LeafId id = map.leaf[i];
        if (id < 0 || i == map.timestamp_column) continue;
        const VarLeaf* leaf = leaf_at(id);
        if (leaf && replay_make_sample(leaf, work->fields[i].text, timestamp, &work->samples[made])) made++;
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

bool fast_integer(const VarLeaf* leaf, const char* p, const char* end, double* value) {
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    // A leading zero followed by digits is octal to the codec.
    if (end - p < 1 || (end - p > 1 && *p == '0')) return false;
    uint64_t m;
    int32_t digits;
    if (!plain_digits(p, end, &m, &digits)) return false;
    const uint32_t bits = 8 * (leaf->size < 8 ? leaf->size : 8);
    if (leaf->is_signed) {
        const uint64_t top = bits >= 64 ? (uint64_t)INT64_MAX : (1ull << (bits - 1)) - 1;
        if (negative ? m > top + 1 : m > top) return false;
        *value = negative && m ? -(double)m : (double)m;
        return true;
    }
    const uint64_t top = bits >= 64 ? UINT64_MAX : (1ull << bits) - 1;
    if (m > top || (negative && m != 0)) return false;
    *value = (double)m;
    return true;
}

bool fast_float(const VarLeaf* leaf, const char* p, const char* end, double* value) {
    static const double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    const char* dot = (const char*)memchr(p, '.', (size_t)(end - p));
    uint64_t whole = 0, fraction = 0;
    int32_t whole_digits = 0, fraction_digits = 0;
    if (!plain_digits(p, dot ? dot : end, &whole, &whole_digits)) return false;
    if (dot && !plain_digits(dot + 1, end, &fraction, &fraction_digits)) return false;
    if (whole_digits + fraction_digits == 0 || whole_digits + fraction_digits > 15) return false;
    // Both parts exact below 2^53 and one correctly rounded division: strtod's result.
    const double m = (double)(whole * (uint64_t)kPow10[fraction_digits] + fraction);
    double v = fraction_digits ? m / kPow10[fraction_digits] : m;
    if (negative) v = -v;
    *value = leaf->size >= 8 ? v : (double)(float)v;
    return true;
}

}  // namespace

bool replay_fast_value(const VarLeaf* leaf, const char* text, size_t length, double* value) {
    if (!leaf || length == 0 || leaf->is_bitfield || leaf->is_pointer) return false;
    const char* end = text + length;
    switch (leaf->kind) {
    case TYPE_INT:
    case TYPE_UINT: return leaf->size >= 1 && fast_integer(leaf, text, end, value);
    case TYPE_FLOAT: return (leaf->size == 4 || leaf->size == 8) && fast_float(leaf, text, end, value);
    default: return false;
    }
}
