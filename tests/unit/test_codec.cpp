// The value codec: raw bytes to value and text for every kind, typed text to bytes, the 64-bit
// integer texts, and the text conversions it shares with the core.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vartable/leaf_codec.h"

namespace {

// Result of one decode: text and value.
struct Out {
    std::string text;
    double value;
};

Out decode(std::vector<uint8_t> raw, TypeKind kind, int is_signed = 0, int hex = 0, int bitfield = 0,
           uint8_t bit_offset = 0, uint8_t bit_size = 0, const LeafEnumerator* e = nullptr, int ne = 0) {
    char text[LEAF_TEXT_CAPACITY];
    double value = 123;
    leaf_value_to_text(text, sizeof text, raw.empty() ? nullptr : raw.data(), (uint32_t)raw.size(), kind, is_signed,
                       hex, bitfield, bit_offset, bit_size, &value, e, ne);
    return {text, value};
}

// Bytes of a parse, or "fail".
std::string encode(const char* text, TypeKind kind, size_t capacity, const LeafEnumerator* e = nullptr, int ne = 0) {
    uint8_t out[16];
    memset(out, 0xCC, sizeof out);
    size_t length = 99;
    if (!leaf_text_to_bytes(text, out, capacity, &length, kind, e, ne)) return "fail";
    std::string hex;
    char b[4];
    for (size_t i = 0; i < length; i++) {
        snprintf(b, sizeof b, "%02X", out[i]);
        hex += b;
    }
    return hex;
}

const LeafEnumerator kModes[] = {{"A", 1}, {"B", 2}, {"FAULT", -3}};

TEST(CodecDecode, IntegersBySignHexAndWidth) {
    EXPECT_EQ(decode({0xFE, 0xFF}, TYPE_INT, 1).text, "-2");
    EXPECT_EQ(decode({0xFE, 0xFF}, TYPE_INT, 1).value, -2);
    EXPECT_EQ(decode({0xFE, 0xFF}, TYPE_UINT, 0).text, "65534");
    EXPECT_EQ(decode({0xFE, 0xFF}, TYPE_UINT, 0).value, 65534);
    EXPECT_EQ(decode({0xFE, 0xFF}, TYPE_INT, 1, 1).text, "0xFFFFFFFFFFFFFFFE");  // hex of the signed value
    EXPECT_EQ(decode({0xFE, 0xFF}, TYPE_UINT, 0, 1).text, "0xFFFE");
    EXPECT_EQ(decode({0x01, 0x02, 0x03}, TYPE_UINT).text, "197121");  // 3 bytes, least significant first
    EXPECT_EQ(decode({0x80}, TYPE_INT, 1).text, "-128");
}

TEST(CodecDecode, SixtyFourBitTextsAreExact) {
    std::vector<uint8_t> ones(8, 0xFF);
    EXPECT_EQ(decode(ones, TYPE_UINT).text, "18446744073709551615");
    EXPECT_EQ(decode(ones, TYPE_UINT, 0, 1).text, "0xFFFFFFFFFFFFFFFF");
    EXPECT_EQ(decode(ones, TYPE_POINTER, 0, 1).text, "0xFFFFFFFFFFFFFFFF");
    EXPECT_EQ(decode(ones, TYPE_INT, 1).text, "-1");
    // 2^53 + 1 is not a double; its text is still exact, the value is the nearest double.
    std::vector<uint8_t> big = {0x01, 0, 0, 0, 0, 0, 0x20, 0};
    Out o = decode(big, TYPE_UINT);
    EXPECT_EQ(o.text, "9007199254740993");
    EXPECT_EQ(o.value, 9007199254740992.0);
    // Unsigned values from 2^63 up stay positive as doubles.
    std::vector<uint8_t> top = {0, 0, 0, 0, 0, 0, 0, 0x80};
    EXPECT_EQ(decode(top, TYPE_UINT).value, 9223372036854775808.0);
    EXPECT_EQ(decode(top, TYPE_UINT).text, "9223372036854775808");
    EXPECT_EQ(decode(top, TYPE_INT, 1).text, "-9223372036854775808");
    EXPECT_EQ(decode({0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}, TYPE_ENUM, 0, 0, 0, 0, 0, kModes, 3).text,
              "81985529216486895");
}

TEST(CodecDecode, BitFields) {
    EXPECT_EQ(decode({0xE0, 0, 0, 0}, TYPE_INT, 1, 0, 1, 5, 3).value, -1);  // bits 5..7 all set
    EXPECT_EQ(decode({0xE0, 0, 0, 0}, TYPE_UINT, 0, 0, 1, 5, 3).text, "7");
    EXPECT_EQ(decode({0x00, 0x5A}, TYPE_UINT, 0, 0, 1, 9, 4).text, "13");     // 0x5A00 >> 9 = 0x2D, 4 bits
    EXPECT_EQ(decode({0xFF, 0xFF, 0xFF, 0xFF}, TYPE_UINT, 0, 0, 1, 0, 0).text, "4294967295");  // width 0 -> 32
    EXPECT_EQ(decode({0xFF, 0xFF, 0xFF, 0xFF}, TYPE_UINT, 0, 0, 1, 200, 8).text, "255");  // offset past 64: no shift
    EXPECT_EQ(decode({0x10}, TYPE_INT, 1, 1, 1, 4, 1).text, "0xFFFFFFFFFFFFFFFF");  // 1-bit signed field set
}

TEST(CodecDecode, FloatsBoolsEnumsPointersAndRawKinds) {
    EXPECT_EQ(decode({0x00, 0x00, 0x80, 0x3F}, TYPE_FLOAT).text, "1");
    EXPECT_EQ(decode({0x00, 0x00, 0x80, 0x3F}, TYPE_FLOAT).value, 1.0);
    EXPECT_EQ(decode({0, 0, 0, 0, 0, 0, 0x24, 0xC0}, TYPE_FLOAT).text, "-10");
    EXPECT_EQ(decode({0xDB, 0x0F, 0x49, 0x40}, TYPE_FLOAT).text, "3.14159");
    Out three = decode({0, 0, 0x80}, TYPE_FLOAT);
    EXPECT_EQ(three.text, "<?>");
    EXPECT_EQ(three.value, 0);
    EXPECT_TRUE(std::isnan(decode({0, 0, 0xC0, 0x7F}, TYPE_FLOAT).value));

    EXPECT_EQ(decode({0x02}, TYPE_BOOL).text, "true");
    EXPECT_EQ(decode({0x02}, TYPE_BOOL).value, 1);
    EXPECT_EQ(decode({0x00, 0x00}, TYPE_BOOL).text, "false");

    EXPECT_EQ(decode({2}, TYPE_ENUM, 0, 0, 0, 0, 0, kModes, 3).text, "B");
    EXPECT_EQ(decode({7}, TYPE_ENUM, 0, 0, 0, 0, 0, kModes, 3).text, "7");
    // A signed 1-byte enumeration (the reader takes the sign from the underlying type): the
    // byte reads signed; the same byte of an unsigned enumeration is 253.
    Out fault = decode({0xFD}, TYPE_ENUM, 1, 0, 0, 0, 0, kModes, 3);
    EXPECT_EQ(fault.text, "FAULT");
    EXPECT_EQ(fault.value, -3);
    EXPECT_EQ(decode({0xFD}, TYPE_ENUM, 0, 0, 0, 0, 0, kModes, 3).text, "253");
    // An unsigned 64-bit enumeration: an enumerator of 2^63 and more is not negative.
    LeafEnumerator big[1] = {};
    strcpy(big[0].name, "HUGE");
    big[0].value = static_cast<int64_t>(0x8000000000000001ull);
    Out huge = decode({0x01, 0, 0, 0, 0, 0, 0, 0x80}, TYPE_ENUM, 0, 0, 0, 0, 0, big, 1);
    EXPECT_EQ(huge.text, "HUGE");
    EXPECT_EQ(huge.value, 9223372036854775808.0);

    EXPECT_EQ(decode({0x08, 0x00, 0x00, 0x20}, TYPE_POINTER, 0, 1).text, "0x20000008");
    EXPECT_EQ(decode({0x01, 0x02, 0x03, 0x04}, TYPE_STRUCT).text, "0x01020304");
    EXPECT_EQ(decode({0xAB}, TYPE_OTHER).text, "0xAB");
    EXPECT_EQ(decode({0xAB, 0xCD}, 42).text, "0xABCD");
    EXPECT_EQ(decode(std::vector<uint8_t>(16, 1), TYPE_STRUCT).text, "<?>");
    EXPECT_EQ(decode({'a', 'b'}, TYPE_STRING).text, "<?>");
    EXPECT_EQ(decode({1}, TYPE_NONE).text, "<?>");
    EXPECT_EQ(decode({}, TYPE_INT).text, "<?>");
}

TEST(CodecDecode, TextBufferIsCutAndNullOutputsAreSafe) {
    uint8_t raw[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    char small[5];
    leaf_value_to_text(small, sizeof small, raw, 8, TYPE_UINT, 0, 0, 0, 0, 0, nullptr, nullptr, 0);
    EXPECT_STREQ(small, "1844");
    char untouched[4] = "xyz";
    leaf_value_to_text(untouched, 0, raw, 8, TYPE_UINT, 0, 0, 0, 0, 0, nullptr, nullptr, 0);
    EXPECT_STREQ(untouched, "xyz");
    leaf_value_to_text(nullptr, 8, raw, 8, TYPE_UINT, 0, 0, 0, 0, 0, nullptr, nullptr, 0);
}

TEST(CodecDecode, IntegerTextsAreWhatPrintfWritesAtEveryWidthAndCut) {
    // Signed and unsigned decimals at the ends of every width, enum values without a name, and
    // every capacity from one byte up: the same text and the same cut as "%lld" / "%llu".
    const uint64_t values[] = {0, 1, 9, 10, 99, 100, 127, 128, 255, 256, 32767, 32768, 65535, 0x7FFFFFFFull,
                               0x80000000ull, 0xFFFFFFFFull, 1000000000000000000ull, 0x7FFFFFFFFFFFFFFFull,
                               0x8000000000000000ull, 0x8000000000000001ull, 0xFFFFFFFFFFFFFFFEull,
                               0xFFFFFFFFFFFFFFFFull};
    for (uint64_t v : values) {
        uint8_t raw[8];
        for (int i = 0; i < 8; i++) raw[i] = (uint8_t)(v >> (8 * i));
        for (uint32_t width : {1u, 2u, 4u, 8u}) {
            const uint64_t unit = width == 8 ? v : v & ((1ull << (8 * width)) - 1);
            const int64_t as_signed =
                width == 8 ? (int64_t)unit : (int64_t)(unit << (64 - 8 * width)) >> (64 - 8 * width);
            for (size_t capacity = 1; capacity <= 24; capacity++) {
                char want[24], got[24];
                std::snprintf(want, capacity, "%llu", (unsigned long long)unit);
                leaf_value_to_text(got, capacity, raw, width, TYPE_UINT, 0, 0, 0, 0, 0, nullptr, nullptr, 0);
                ASSERT_STREQ(got, want) << v << " width " << width << " capacity " << capacity;
                std::snprintf(want, capacity, "%lld", (long long)as_signed);
                leaf_value_to_text(got, capacity, raw, width, TYPE_INT, 1, 0, 0, 0, 0, nullptr, nullptr, 0);
                ASSERT_STREQ(got, want) << v << " width " << width << " capacity " << capacity;
                leaf_value_to_text(got, capacity, raw, width, TYPE_ENUM, 1, 0, 0, 0, 0, nullptr, kModes, 3);
                if (as_signed != 1 && as_signed != 2 && as_signed != -3) {
                    ASSERT_STREQ(got, want) << v;
                }
            }
        }
    }
}

TEST(CodecEncode, IntegersAndUnsigned) {
    EXPECT_EQ(encode("0x10", TYPE_UINT, 1), "10");
    EXPECT_EQ(encode("300", TYPE_UINT, 1), "2C");           // cut to the low byte
    EXPECT_EQ(encode("12abc", TYPE_UINT, 1), "0C");
    EXPECT_EQ(encode("abc", TYPE_UINT, 1), "fail");
    EXPECT_EQ(encode("", TYPE_UINT, 4), "fail");
    EXPECT_EQ(encode("  -1", TYPE_UINT, 2), "FFFF");         // minus negates modulo 2^64
    EXPECT_EQ(encode("010", TYPE_INT, 2), "0800");           // leading 0: octal
    EXPECT_EQ(encode("-2", TYPE_INT, 4), "FEFFFFFF");
    EXPECT_EQ(encode("99999999999999999999", TYPE_INT, 8), "FFFFFFFFFFFFFF7F");   // clamped
    EXPECT_EQ(encode("-99999999999999999999", TYPE_INT, 8), "0000000000000080");
    EXPECT_EQ(encode("0x20000008", TYPE_POINTER, 16), "0800002000000000");        // at most 8 bytes
    EXPECT_EQ(encode("5", TYPE_STRUCT, 2), "0500");
    EXPECT_EQ(encode("18446744073709551615", TYPE_UINT, 8), "FFFFFFFFFFFFFFFF");
}

// Whole numbers as a spreadsheet or pandas writes them: the decimal counts, not its first digits.
TEST(CodecEncode, IntegersWrittenAsDecimals) {
    EXPECT_EQ(encode("1e3", TYPE_INT, 4), "E8030000");
    EXPECT_EQ(encode("1000.0", TYPE_UINT, 2), "E803");
    EXPECT_EQ(encode("2.5", TYPE_INT, 4), "02000000");                             // cut toward zero
    EXPECT_EQ(encode("-2.5", TYPE_INT, 4), "FEFFFFFF");
    EXPECT_EQ(encode("1.8446744073709552e+19", TYPE_UINT, 8), "FFFFFFFFFFFFFFFF");  // 2^64: held at the top
    EXPECT_EQ(encode("4.2e9", TYPE_UINT, 8), "00EA56FA00000000");
    EXPECT_EQ(encode("9.3e18", TYPE_INT, 8), "FFFFFFFFFFFFFF7F");
    EXPECT_EQ(encode("-9.3e18", TYPE_INT, 8), "0000000000000080");
    EXPECT_EQ(encode("-1.0", TYPE_UINT, 2), "FFFF");                                // negated as "-1" is
    EXPECT_EQ(encode("1.5e3", TYPE_ENUM, 2, kModes, 3), "DC05");
    // Texts that are not decimals past their integer part read as before.
    EXPECT_EQ(encode("12abc", TYPE_INT, 1), "0C");
    EXPECT_EQ(encode("1e", TYPE_INT, 1), "01");
    EXPECT_EQ(encode("0x1e3", TYPE_INT, 2), "E301");
    EXPECT_EQ(encode("7.nan", TYPE_INT, 1), "07");
}

TEST(CodecEncode, FloatsBoolsEnumsStrings) {
    EXPECT_EQ(encode("1", TYPE_FLOAT, 4), "0000803F");
    EXPECT_EQ(encode("-10", TYPE_FLOAT, 8), "00000000000024C0");
    EXPECT_EQ(encode("1.5", TYPE_FLOAT, 3), "fail");
    EXPECT_EQ(encode("x", TYPE_FLOAT, 4), "fail");

    EXPECT_EQ(encode("TRUE", TYPE_BOOL, 1), "01");
    EXPECT_EQ(encode("False", TYPE_BOOL, 4), "00");
    EXPECT_EQ(encode("1", TYPE_BOOL, 1), "01");
    EXPECT_EQ(encode("2", TYPE_BOOL, 1), "fail");
    EXPECT_EQ(encode("1 ", TYPE_BOOL, 1), "fail");

    EXPECT_EQ(encode("b", TYPE_ENUM, 1, kModes, 3), "02");
    EXPECT_EQ(encode("fault", TYPE_ENUM, 2, kModes, 3), "FDFF");
    EXPECT_EQ(encode("7", TYPE_ENUM, 1, kModes, 3), "07");
    EXPECT_EQ(encode("C", TYPE_ENUM, 1, kModes, 3), "fail");

    EXPECT_EQ(encode("kestrelix", TYPE_STRING, 8), "6B65737472656C00");  // 7 characters and the NUL
    EXPECT_EQ(encode("", TYPE_STRING, 4), "00");

    uint8_t out[4];
    EXPECT_EQ(leaf_text_to_bytes(nullptr, out, 4, nullptr, TYPE_INT, nullptr, 0), 0);
    EXPECT_EQ(leaf_text_to_bytes("1", nullptr, 4, nullptr, TYPE_INT, nullptr, 0), 0);
    EXPECT_EQ(leaf_text_to_bytes("1", out, 0, nullptr, TYPE_INT, nullptr, 0), 0);
    EXPECT_EQ(leaf_text_to_bytes("1", out, 4, nullptr, TYPE_INT, nullptr, 0), 1);  // null length is allowed
}

TEST(CodecEncode, RoundTripsThroughDecode) {
    const char* texts[] = {"-123456789", "0", "2147483647", "-2147483648"};
    for (const char* t : texts) {
        uint8_t bytes[8];
        size_t n;
        ASSERT_EQ(leaf_text_to_bytes(t, bytes, 4, &n, TYPE_INT, nullptr, 0), 1);
        char text[64];
        leaf_value_to_text(text, sizeof text, bytes, (uint32_t)n, TYPE_INT, 1, 0, 0, 0, 0, nullptr, nullptr, 0);
        EXPECT_STREQ(text, t);
    }
}

TEST(CodecText, SharedConversionsCutAndTerminate) {
    char16_t wide[4];
    EXPECT_EQ(utf8_to_utf16("变量表", wide, 4), 3u);
    EXPECT_EQ(wide[3], 0);
    EXPECT_EQ(utf8_to_utf16("abcdef", wide, 4), 3u);
    EXPECT_EQ(utf8_to_utf16(nullptr, wide, 4), 0u);
    EXPECT_EQ(wide[0], 0);
    char narrow[7];
    EXPECT_EQ(utf16_to_utf8(u"变量表", narrow, sizeof narrow), 6u);  // the third character does not fit
    EXPECT_STREQ(narrow, "变量");
}

}  // namespace
