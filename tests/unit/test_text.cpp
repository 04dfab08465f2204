// Text conversion helpers: cutting, terminating and replacement rules.
#include <gtest/gtest.h>

#include "core/text.h"

TEST(Text, Utf8ToUtf16CutsAndTerminates) {
    char16_t out[4];
    EXPECT_EQ(utf8_to_utf16("abcdef", out, 4), 3u);
    EXPECT_EQ(std::u16string(out), u"abc");
    EXPECT_EQ(utf8_to_utf16(nullptr, out, 4), 0u);
    EXPECT_EQ(out[0], 0);
    // A character outside the BMP needs two units and is not split at the cut.
    char16_t two[3];
    EXPECT_EQ(utf8_to_utf16("a\xF0\x9F\x98\x80", two, 3), 1u);
    EXPECT_EQ(std::u16string(two), u"a");
}

TEST(Text, RoundTripChineseAndInvalid) {
    char16_t wide[64];
    utf8_to_utf16("采集已开始", wide, 64);
    EXPECT_EQ(std::u16string(wide), u"采集已开始");
    char back[64];
    utf16_to_utf8(wide, back, 64);
    EXPECT_STREQ(back, "采集已开始");
    // Cut at a character boundary: 3-byte characters never split.
    char small[7];
    utf16_to_utf8(wide, small, sizeof small);
    EXPECT_STREQ(small, "采集");
    utf8_to_utf16("a\xFF" "b", wide, 64);
    EXPECT_EQ(std::u16string(wide), u"a\uFFFDb");
    const char16_t lone[] = {u'x', 0xD800, u'y', 0};
    utf16_to_utf8(lone, back, sizeof back);
    EXPECT_STREQ(back, "x\xEF\xBF\xBDy");
}

TEST(Text, CopyCutsAtCharacterBoundaries) {
    char out[8];
    // "波形窗口" is four 3-byte characters: 7 bytes of room keep two whole ones, not two and a third.
    EXPECT_EQ(text_copy_chars(out, sizeof out, "波形窗口"), 6u);
    EXPECT_STREQ(out, "波形");
    EXPECT_EQ(text_copy_chars(out, sizeof out, "ab波形"), 5u);  // 8 bytes: the last character goes
    EXPECT_STREQ(out, "ab波");
    EXPECT_EQ(text_copy_chars(out, sizeof out, "abc"), 3u);
    EXPECT_EQ(text_copy_chars(out, 5, "abcd\xF0\x9F\x98\x80"), 4u);
    EXPECT_STREQ(out, "abcd");
    EXPECT_EQ(text_copy_chars(out, 4, "a\xC3\xA9z"), 3u);  // exactly fits: nothing is cut
    EXPECT_STREQ(out, "a\xC3\xA9");
    EXPECT_EQ(text_copy_chars(out, sizeof out, nullptr), 0u);
}

TEST(Text, WideToIntegerLikeThePlatform) {
    EXPECT_EQ(text16_to_int(u"3000"), 3000);
    EXPECT_EQ(text16_to_int(u"  -42abc"), -42);
    EXPECT_EQ(text16_to_int(u"+7"), 7);
    EXPECT_EQ(text16_to_int(u"abc"), 0);
    EXPECT_EQ(text16_to_int(u""), 0);
    EXPECT_EQ(text16_to_int(u"99999999999"), 2147483647);
    EXPECT_EQ(text16_to_int(u"-99999999999"), -2147483647 - 1);
}
