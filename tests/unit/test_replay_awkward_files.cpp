// Load-all replay against a plain reader written from the file format alone: recordings as the
// recorder writes them and as people leave them after Excel or a script (BOM or none, CRLF,
// quoting, blank lines, reordered, extra and repeated columns), with numbers at every edge. The
// plain reader splits each line itself and converts each field with strtod / strtoll /
// strtoull at the leaf's width, so every stored time and value must match it bit for bit.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <algorithm>
#include <cstring>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "core/log.h"
#include "core/text.h"
#include "firmware/types.h"
#include "recording/replay.h"
#include "test_recording_util.h"
#include "vartable/leaf_table.h"

namespace {

using rectest::ScratchDir;

// One leaf of the test table and how the plain reader converts its texts.
struct TestLeaf {
    const char* name;
    uint32_t size;
    TypeKind kind;
    int32_t is_signed;
    int32_t is_bitfield;
    uint8_t bit_offset, bit_size;
};

const TestLeaf kLeaves[] = {
    {"i8", 1, TYPE_INT, 1, 0, 0, 0},        {"u8", 1, TYPE_UINT, 0, 0, 0, 0},
    {"i16", 2, TYPE_INT, 1, 0, 0, 0},       {"u16", 2, TYPE_UINT, 0, 0, 0, 0},
    {"i32", 4, TYPE_INT, 1, 0, 0, 0},       {"u32", 4, TYPE_UINT, 0, 0, 0, 0},
    {"i64", 8, TYPE_INT, 1, 0, 0, 0},       {"u64", 8, TYPE_UINT, 0, 0, 0, 0},
    {"c32", 4, TYPE_INT, 0, 0, 0, 0},       {"f32", 4, TYPE_FLOAT, 1, 0, 0, 0},
    {"f64", 8, TYPE_FLOAT, 1, 0, 0, 0},     {"motor.pid.kp", 4, TYPE_FLOAT, 1, 0, 0, 0},
    {"flag", 1, TYPE_BOOL, 0, 0, 0, 0},     {"bits.u", 4, TYPE_UINT, 0, 1, 5, 3},
    {"bits.s", 2, TYPE_INT, 1, 1, 3, 7},    {"buf[3]", 1, TYPE_UINT, 0, 0, 0, 0},
    {"名字,\"q\"", 4, TYPE_INT, 1, 0, 0, 0}, {"mode", 1, TYPE_ENUM, 1, 0, 0, 0},
    {"umode", 4, TYPE_ENUM, 0, 0, 0, 0},
};

// The enumerators of the two enumeration leaves.
const char* const kEnumNames[] = {"MODE_IDLE", "MODE_RUN", "Mode_Fault"};
const int64_t kEnumValues[] = {0, 1, -3};
const int32_t kLeafCount = (int32_t)(sizeof kLeaves / sizeof kLeaves[0]);

uint64_t truncate_to(uint64_t v, uint32_t bits) { return bits >= 64 ? v : v & ((1ull << bits) - 1); }
int64_t sign_extend(uint64_t v, uint32_t bits) {
    if (bits >= 64) return (int64_t)v;
    return (v >> (bits - 1)) & 1 ? (int64_t)(v | (~0ull << bits)) : (int64_t)v;
}

bool ieq(const char* a, const char* b) {
    for (; *a && *b; a++, b++)
        if (tolower((unsigned char)*a) != tolower((unsigned char)*b)) return false;
    return *a == *b;
}

// The value a field gives a leaf, converted with the C library alone; false when it is no value.
bool plain_value(const TestLeaf& l, const std::string& text, double* out) {
    if (text.empty()) return false;
    const char* s = text.c_str();
    char* end = nullptr;
    const uint32_t bits = 8 * (l.size < 8 ? l.size : 8);
    if (l.kind == TYPE_FLOAT) {
        const double d = strtod(s, &end);
        if (end == s) return false;
        *out = l.size == 4 ? (double)(float)d : d;
        return true;
    }
    if (l.kind == TYPE_BOOL) {
        if (ieq(s, "true") || text == "1") *out = 1;
        else if (ieq(s, "false") || text == "0") *out = 0;
        else return false;
        return true;
    }
    if (l.kind == TYPE_ENUM) {
        for (int32_t i = 0; i < 3; i++)
            if (ieq(s, kEnumNames[i])) {
                const uint64_t v = truncate_to((uint64_t)kEnumValues[i], bits);
                *out = l.is_signed ? (double)sign_extend(v, bits) : (double)v;
                return true;
            }
    }
    const bool signed_kind = l.kind == TYPE_INT || l.kind == TYPE_ENUM;
    uint64_t raw = signed_kind ? (uint64_t)strtoll(s, &end, 0) : strtoull(s, &end, 0);
    if (end == s) return false;
    // A whole number written as a decimal ("1e3", "1000.0", "1.8446744073709552e+19") counts as
    // that decimal, cut toward zero and held at the 64-bit limits.
    char* decimal_end = nullptr;
    const double d = (*end == '.' || *end == 'e' || *end == 'E') ? strtod(s, &decimal_end) : 0;
    if (decimal_end && decimal_end > end && !std::isnan(d)) {
        const int64_t clamped = d >= 0x1p63 ? INT64_MAX : d <= -0x1p63 ? INT64_MIN : (int64_t)d;
        raw = !signed_kind && d >= 0x1p64 ? UINT64_MAX : !signed_kind && d >= 0x1p63 ? (uint64_t)d : (uint64_t)clamped;
    }
    uint32_t width = bits;
    if (l.is_bitfield) width = l.bit_size;  // the stored field is the low bits of the number
    raw = truncate_to(raw, width);
    *out = l.is_signed ? (double)sign_extend(raw, width) : (double)raw;
    return true;
}

// The fields of a line: a field that starts with a quote runs to the first undoubled quote, a
// doubled quote inside it is one quote, and text after the closing quote up to the comma is kept.
std::vector<std::string> plain_split(const std::string& line) {
    std::vector<std::string> out;
    size_t i = 0;
    for (;;) {
        std::string f;
        if (i < line.size() && line[i] == '"') {
            for (i++; i < line.size(); i++) {
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        f += '"';
                        i++;
                        continue;
                    }
                    i++;
                    break;
                }
                f += line[i];
            }
        }
        while (i < line.size() && line[i] != ',') f += line[i++];
        out.push_back(f);
        if (i >= line.size()) return out;
        i++;
    }
}

// What the plain reader expects a leaf's track to hold.
struct Expected {
    std::vector<int64_t> times;
    std::vector<double> values;
};

std::vector<std::string> plain_lines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t at = 0;
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) at = 3;
    while (at < bytes.size()) {
        size_t lf = bytes.find('\n', at);
        if (lf == std::string::npos) lf = bytes.size();
        std::string line = bytes.substr(at, lf - at);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        lines.push_back(line);
        at = lf + 1;
    }
    return lines;
}

std::vector<Expected> plain_read(const std::string& bytes) {
    std::vector<Expected> by_leaf(kLeafCount);
    std::vector<std::string> lines = plain_lines(bytes);
    if (lines.empty()) return by_leaf;
    std::vector<std::string> header = plain_split(lines[0]);
    std::vector<int32_t> leaf_of(header.size(), -1);
    int32_t time_column = -1;
    for (size_t c = 0; c < header.size(); c++) {
        std::string name = header[c].substr(header[c].find_first_not_of(" \t") == std::string::npos
                                                ? header[c].size()
                                                : header[c].find_first_not_of(" \t"));
        if (name == "timestamp_us") {
            if (time_column < 0) time_column = (int32_t)c;
            continue;
        }
        if (name.compare(0, 8, "time_iso") == 0) continue;
        for (int32_t k = 0; k < kLeafCount; k++)
            if (name == kLeaves[k].name) {
                leaf_of[c] = k;
                break;
            }
    }
    int64_t first_valid = 0, last_valid = 0;
    std::vector<std::vector<size_t>> untimed(kLeafCount);
    for (size_t n = 1; n < lines.size(); n++) {
        if (lines[n].empty()) continue;
        std::vector<std::string> f = plain_split(lines[n]);
        int64_t t = 0;
        if (time_column >= 0 && (size_t)time_column < f.size()) {
            const char* s = f[time_column].c_str();
            while (*s == ' ' || *s == '\t') s++;
            t = strtoll(s, nullptr, 10);
        }
        if (t != 0 && t != -1) {
            if (first_valid == 0) first_valid = t;
            last_valid = t;
        }
        for (size_t c = 0; c < f.size() && c < header.size(); c++) {
            double v;
            if (leaf_of[c] < 0 || !plain_value(kLeaves[leaf_of[c]], f[c], &v)) continue;
            Expected& e = by_leaf[leaf_of[c]];
            if (last_valid == 0) untimed[leaf_of[c]].push_back(e.times.size());
            e.times.push_back(last_valid);
            e.values.push_back(v);
        }
    }
    // Values before the first timed line take its time; times never run backwards.
    for (int32_t k = 0; k < kLeafCount; k++) {
        Expected& e = by_leaf[k];
        for (size_t i : untimed[k]) e.times[i] = first_valid;
        for (size_t i = 1; i < e.times.size(); i++)
            if (e.times[i] < e.times[i - 1]) e.times[i] = e.times[i - 1];
    }
    return by_leaf;
}

// Texts at the edges of every conversion.
const char* const kEdgeTexts[] = {
    "0", "+1", "-1", "-0", "0.1", ".5", "5.", "-.5", "1e", "1e+", "1e-", "e5", ".", "-", "+", "nan", "NaN", "-nan",
    "inf", "-inf", "Infinity", "1e309", "-1e309", "1e-320", "-1e-400", "4.9e-324", "2.4703282292062327e-324",
    "2.2250738585072014e-308", "2.2250738585072011e-308", "1.7976931348623157e308", "1.7976931348623159e308",
    "3.4028235e38", "3.4028236e38", "1.17549435e-38", "1e-45", "0.30000000000000004", "123456789012345678",
    "1234567890123456789", "12345678901234567890", "9007199254740993", "9007199254740992", "9007199254740991",
    "0.1e1", "1.0", "1.000000000000000000000001", "0000123", "00", "007", "08", "0x10", "0X1f", "0x", "1e22",
    "1e23", "9e22", "1e-22", "1e-23", "123e-20", "4.35", "0.000001", "1E5", "1e05", "1e005", "1e0005", " 5", "5 ",
    "\t7", "9223372036854775807", "9223372036854775808", "-9223372036854775808", "-9223372036854775809",
    "18446744073709551615", "18446744073709551616", "-18446744073709551615", "255", "256", "-128", "-129",
    "127", "128", "65535", "65536", "32767", "-32768", "4294967295", "4294967296", "2147483647", "-2147483648",
    "true", "FALSE", "True", "MODE_RUN", "mode_idle", "Mode_Fault", "MODE_FAULTY", "MODE_RUN ", "1.5", "-2.5e3", "12abc", "abc", "温度", "x\xC3\xA9", "1,5", "\"5\"", "5\"", "",
    "0.1234567890123456789", "179769313486231570000000000000000000000000000000000000000000000000000000000000",
};

// A random number text: integers of every length, decimals and exponents in the forms programs
// write them ("%.6g", repr, pandas).
std::string random_number(std::mt19937_64& rng) {
    char buf[64];
    switch (rng() % 6) {
    case 0: snprintf(buf, sizeof buf, "%lld", (long long)(rng() >> (rng() % 64))); break;
    case 1: snprintf(buf, sizeof buf, "-%llu", (unsigned long long)(rng() >> (rng() % 64))); break;
    case 2: {
        double d;
        uint64_t bits = rng();
        memcpy(&d, &bits, sizeof d);
        snprintf(buf, sizeof buf, "%.17g", d);
        break;
    }
    case 3: snprintf(buf, sizeof buf, "%.6g", (double)(int64_t)rng() / (double)(rng() % 1000000 + 1)); break;
    case 4: snprintf(buf, sizeof buf, "%.*f", (int)(rng() % 20), (double)(int32_t)rng() / 997.0); break;
    default: snprintf(buf, sizeof buf, "%de%d", (int)(rng() % 100000), (int)(rng() % 80) - 40); break;
    }
    return buf;
}

std::string csv_quoted(const std::string& text) {
    std::string q = "\"";
    for (char c : text) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

std::string field_text(const std::string& text) {
    return text.find_first_of(",\"\r\n") != std::string::npos ? csv_quoted(text) : text;
}

// A recording in some shape a user may hand over.
std::string random_file(std::mt19937_64& rng, int32_t lines) {
    std::vector<std::string> columns = {"timestamp_us", "time_iso"};
    for (const TestLeaf& l : kLeaves)
        if (rng() % 5) columns.push_back(l.name);
    if (rng() % 3 == 0) columns.push_back("not_a_leaf");
    if (rng() % 4 == 0) columns.push_back(columns[2 + rng() % (columns.size() - 2)]);  // a repeated name
    if (rng() % 3 == 0) columns.insert(columns.begin(), "");                             // a pandas index
    if (rng() % 3 == 0) std::shuffle(columns.begin(), columns.end(), rng);
    if (rng() % 6 == 0) columns.erase(std::find(columns.begin(), columns.end(), "timestamp_us"));
    const bool bom = rng() % 2, crlf = rng() % 2, quote_all = rng() % 5 == 0, one_per_line = rng() % 2;
    const std::string eol = crlf ? "\r\n" : "\n";
    std::string out = bom ? "\xEF\xBB\xBF" : "";
    for (size_t c = 0; c < columns.size(); c++)
        out += (c ? "," : "") + (quote_all ? csv_quoted(columns[c]) : field_text(columns[c]));
    out += eol;
    int64_t t = (int64_t)(rng() % 2000000000000000ull) - 1000;
    for (int32_t n = 0; n < lines; n++) {
        if (rng() % 40 == 0) {
            out += eol;  // blank line
            continue;
        }
        switch (rng() % 20) {
        case 0: t = -(int64_t)(rng() % 100000); break;
        case 1: t -= (int64_t)(rng() % 1000); break;  // backwards
        case 2: t = 0; break;
        case 3: t = -1; break;
        default: t += (int64_t)(rng() % 200); break;
        }
        const size_t value_column = rng() % columns.size();
        for (size_t c = 0; c < columns.size(); c++) {
            std::string text;
            const std::string& name = columns[c];
            if (name == "timestamp_us") {
                switch (rng() % 30) {
                case 0: text = ""; break;
                case 1: text = std::to_string(rng()).substr(0, 1 + rng() % 19); break;
                case 2: text = "+" + std::to_string(t); break;
                case 3: text = " " + std::to_string(t); break;
                case 4: text = std::to_string(t) + ".0"; break;
                case 5: text = "99999999999999999999"; break;
                case 6: text = "-9999999999999999999"; break;
                default: text = std::to_string(t); break;
                }
            } else if (name == "time_iso") {
                text = "2024-12-08 12:00:00.123456";
            } else if (!one_per_line || c == value_column) {
                const uint64_t r = rng() % 10;
                if (r < 4) text = kEdgeTexts[rng() % (sizeof kEdgeTexts / sizeof kEdgeTexts[0])];
                else if (r < 9) text = random_number(rng);
                else if (r == 9) text = std::string(1 + rng() % 10000, "0123456789."[rng() % 11]);
            }
            out += c ? "," : "";
            out += quote_all || rng() % 50 == 0 ? csv_quoted(text) : field_text(text);
        }
        if (rng() % 20 == 0) out += ",";  // trailing comma: one field more than the header
        if (n + 1 < lines || rng() % 2) out += eol;
    }
    return out;
}

// The newest value of each leaf reaches its last-value slot, with the text the numeric window shows.
bool last_sample_matches(const TestLeaf& l, const Sample& s, double value) {
    char text[64];
    if (l.kind == TYPE_ENUM) return memcmp(&s.value, &value, sizeof value) == 0;
    if (l.kind == TYPE_FLOAT) text_printf(text, sizeof text, "%.6g", value);
    else if (l.kind == TYPE_BOOL) text_printf(text, sizeof text, "%s", value != 0 ? "true" : "false");
    // A 64-bit integer's text cannot be told from its double past 2^53: the value alone then.
    else if (std::fabs(value) >= 9007199254740992.0) return memcmp(&s.value, &value, sizeof value) == 0;
    else if (l.is_signed) text_printf(text, sizeof text, "%lld", (long long)value);
    else text_printf(text, sizeof text, "%llu", (unsigned long long)value);
    return memcmp(&s.value, &value, sizeof value) == 0 && strcmp(s.text, text) == 0;
}

class ReplayAwkwardFiles : public ::testing::Test {
protected:
    void SetUp() override {
        log_reset();
        leaf_table_reset();
        samples_reset();
        replay_store_reset();
        TypeInfo enumerators[3] = {};
        TypeInfo* children[3];
        for (int32_t i = 0; i < 3; i++) {
            enumerators[i].name = kEnumNames[i];
            enumerators[i].kind = TYPE_ENUM;
            enumerators[i].enum_value = kEnumValues[i];
            children[i] = &enumerators[i];
        }
        TypeInfo enumeration = {};
        enumeration.kind = TYPE_ENUM;
        enumeration.child_count = 3;
        enumeration.children = children;
        uint64_t address = 0x20000000;
        for (const TestLeaf& l : kLeaves) {
            leaf_add(l.name, address, l.size, l.kind, l.is_signed, 0, l.is_bitfield, l.bit_offset, l.bit_size,
                     l.kind == TYPE_ENUM ? &enumeration : nullptr);
            address += 16;
        }
    }
    void TearDown() override {
        replay_store_reset();
        samples_reset();
        leaf_table_reset();
        log_reset();
    }
    // Loads the bytes and compares every track with the plain reader; returns the mismatches.
    int32_t load_and_compare(const std::string& bytes, const std::string& what) {
        const std::string path = dir.path("r.csv");
        rectest::write_file(path, bytes);
        EXPECT_EQ(replay_load_all(path.c_str()), 0);
        std::vector<Expected> expected = plain_read(bytes);
        int32_t faults = 0;
        for (int32_t k = 0; k < kLeafCount; k++) {
            const ReplaySeries* s = replay_series_at(leaf_find(kLeaves[k].name));
            const int64_t count = s ? s->track.count : 0;
            const Expected& e = expected[k];
            if (count != (int64_t)e.values.size()) {
                ADD_FAILURE() << what << ": " << kLeaves[k].name << " holds " << count << " samples, expected "
                              << e.values.size();
                faults++;
                continue;
            }
            if (count > 0 && !last_sample_matches(kLeaves[k], leaf_at(leaf_find(kLeaves[k].name))->last_sample,
                                                  e.values.back())) {
                ADD_FAILURE() << what << ": " << kLeaves[k].name << " last sample "
                              << leaf_at(leaf_find(kLeaves[k].name))->last_sample.text << " is not "
                              << e.values.back();
                faults++;
            }
            for (int64_t i = 0; i < count && faults < 20; i++) {
                if (s->track.times[i] != e.times[i] ||
                    memcmp(&s->track.values[i], &e.values[i], sizeof(double)) != 0) {
                    ADD_FAILURE() << what << ": " << kLeaves[k].name << "[" << i << "] is (" << s->track.times[i]
                                  << ", " << s->track.values[i] << "), expected (" << e.times[i] << ", "
                                  << e.values[i] << ")";
                    faults++;
                }
            }
        }
        return faults;
    }
    ScratchDir dir;
};

// Every edge text alone in a column of each kind, in the recorder's own layout.
TEST_F(ReplayAwkwardFiles, EdgeTextsInEveryKindMatchThePlainReader) {
    std::string bytes = "\xEF\xBB\xBFtimestamp_us,time_iso";
    for (const TestLeaf& l : kLeaves) bytes += "," + field_text(l.name);
    bytes += "\n";
    int64_t t = 1733659200123456;
    for (const char* text : kEdgeTexts) {
        for (int32_t k = 0; k < kLeafCount; k++) {
            bytes += std::to_string(t++) + ",2024-12-08 12:00:00.123456";
            for (int32_t c = 0; c < kLeafCount; c++) bytes += "," + (c == k ? field_text(text) : std::string());
            bytes += "\n";
        }
    }
    EXPECT_EQ(load_and_compare(bytes, "edge texts"), 0);
}

// Random files in the shapes users leave them in; each seed is one file.
TEST_F(ReplayAwkwardFiles, RandomUserEditedFilesMatchThePlainReader) {
    for (uint64_t seed = 1; seed <= 60; seed++) {
        std::mt19937_64 rng(seed);
        const int32_t lines = (int32_t)(1 + rng() % 400);
        if (load_and_compare(random_file(rng, lines), "seed " + std::to_string(seed)) > 0) break;
    }
}

// Values before the first timed line take its time even when that time is negative, and a time
// that runs back below the track's last one is held there: a track's times never decrease.
TEST_F(ReplayAwkwardFiles, UntimedLeadingValuesKeepTheTrackInTimeOrder) {
    EXPECT_EQ(load_and_compare("timestamp_us,i32\n,1\n-500,2\n-400,3\n-300,4\n", "negative times"), 0);
    EXPECT_EQ(load_and_compare("timestamp_us,i32\n0,1\n100,\n-50,2\n20,3\n", "times back below the first"), 0);
    const ReplaySeries* s = replay_series_at(leaf_find("i32"));
    ASSERT_NE(s, nullptr);
    for (int64_t i = 1; i < s->track.count; i++) EXPECT_LE(s->track.times[i - 1], s->track.times[i]) << i;
}

#if !defined(_WIN32)
// Per column, the non-empty values Debian's pandas reads from a file, as exact hexadecimal doubles
// (round-trip parsing: pandas' default reader is not correctly rounded); false without pandas.
bool pandas_columns(const std::string& path, const std::vector<std::string>& names,
                    std::vector<std::vector<double>>* out) {
    std::string cmd = "/usr/bin/python3 -c \"import sys, pandas; d = pandas.read_csv(sys.argv[1], "
                      "float_precision='round_trip', encoding='utf-8-sig')\n"
                      "for c in sys.argv[2:]: print(' '.join(float(v).hex() for v in d[c].dropna()))\" '" +
                      path + "'";
    for (const std::string& n : names) cmd += " '" + n + "'";
    cmd += " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return false;
    std::string text;
    char buf[4096];
    for (size_t got; (got = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, got);
    if (pclose(p) != 0) return false;
    out->clear();
    size_t at = 0;
    for (size_t i = 0; i < names.size(); i++) {
        const size_t lf = text.find('\n', at);
        if (lf == std::string::npos) return false;
        std::vector<double> column;
        const std::string line = text.substr(at, lf - at);
        for (const char* q = line.c_str(); *q;) {
            char* end;
            const double v = strtod(q, &end);
            if (end == q) break;
            column.push_back(v);
            q = end;
        }
        out->push_back(column);
        at = lf + 1;
    }
    return true;
}

// A recording in the recorder's own layout, with decimals as "%.6g", repr and "%.17g" write them
// and integers below 2^53 (which pandas keeps exact in a column with gaps): every value as pandas
// reads it.
TEST_F(ReplayAwkwardFiles, RecorderFilesMatchPandas) {
    const std::vector<std::string> names = {"f64", "f32", "i64", "u32", "i16"};
    std::mt19937_64 rng(11);
    std::string bytes = "\xEF\xBB\xBFtimestamp_us,time_iso";
    for (const std::string& n : names) bytes += "," + n;
    bytes += "\n";
    for (int32_t line = 0; line < 5000; line++) {
        const size_t column = rng() % names.size();
        std::string text;
        if (column < 2) {
            text = random_number(rng);
            if (strtod(text.c_str(), nullptr) == 0 || !std::isfinite(strtod(text.c_str(), nullptr))) text = "0.5";
            if (column == 1 && !std::isfinite((float)strtod(text.c_str(), nullptr))) text = "-2.25";
        } else {
            const int64_t top = column == 2 ? (1ll << 53) : column == 3 ? 4294967295ll : 32767;
            const int64_t v = (int64_t)(rng() % (uint64_t)top) - (column == 3 ? 0 : top / 2);
            text = std::to_string(v);
        }
        bytes += std::to_string(1733659200000000ll + line * 37) + ",2024-12-08 12:00:00.000000";
        for (size_t c = 0; c < names.size(); c++) bytes += "," + (c == column ? text : std::string());
        bytes += "\n";
    }
    const std::string path = dir.path("pandas.csv");
    rectest::write_file(path, bytes);
    std::vector<std::vector<double>> columns;
    if (!pandas_columns(path, names, &columns)) GTEST_SKIP() << "pandas not available";
    ASSERT_EQ(load_and_compare(bytes, "recorder file"), 0);
    for (size_t c = 0; c < names.size(); c++) {
        const ReplaySeries* s = replay_series_at(leaf_find(names[c].c_str()));
        ASSERT_NE(s, nullptr) << names[c];
        ASSERT_EQ(s->track.count, (int64_t)columns[c].size()) << names[c];
        for (int64_t i = 0; i < s->track.count; i++) {
            const double expected = names[c] == "f32" ? (double)(float)columns[c][i] : columns[c][i];
            ASSERT_EQ(memcmp(&s->track.values[i], &expected, sizeof expected), 0)
                << names[c] << "[" << i << "] " << s->track.values[i] << " pandas " << expected;
        }
    }
}
#endif

// Timestamps of every length and sign, alone in the timestamp column.
TEST_F(ReplayAwkwardFiles, TimestampsOfEveryLengthMatchThePlainReader) {
    std::string bytes = "timestamp_us,i32\n";
    std::mt19937_64 rng(7);
    const char* fixed[] = {"9223372036854775807", "9223372036854775808", "-9223372036854775808",
                           "-9223372036854775809", "18446744073709551616", "000000000000000000001",
                           "0000000000000000000000000000012", "+12", "-12", " 12", "12 ", "1a", "a1", "-1", "0"};
    for (const char* f : fixed) bytes += std::string(f) + ",1\n";
    for (int32_t digits = 1; digits <= 22; digits++) {
        for (int32_t n = 0; n < 20; n++) {
            std::string text = rng() % 3 == 0 ? "-" : "";
            for (int32_t d = 0; d < digits; d++) text += (char)('0' + rng() % 10);
            bytes += text + "," + std::to_string(n) + "\n";
        }
    }
    EXPECT_EQ(load_and_compare(bytes, "timestamps"), 0);
}

}  // namespace
