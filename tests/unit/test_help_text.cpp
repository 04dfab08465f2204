// The help window's text: byte-order mark, line ends, empty resources.
#include <gtest/gtest.h>

#include <string>

#include "workspace/help_text.h"

namespace {

std::u16string convert(const std::string& bytes) {
    return help_text_from_utf8((const uint8_t*)bytes.data(), bytes.size());
}

}  // namespace

TEST(HelpText, ByteOrderMarkAndLineEnds) {
    EXPECT_EQ(convert("\xEF\xBB\xBF# 说明\nline\r\nend\n"), u"# 说明\r\nline\r\nend\r\n");
    EXPECT_EQ(convert("\nfirst"), u"\r\nfirst");  // an LF at the very start counts as not preceded
    EXPECT_EQ(convert("a\n\nb"), u"a\r\n\r\nb");
    // Only a text longer than two bytes can carry a skipped mark; a lone mark leaves nothing.
    EXPECT_EQ(convert("\xEF\xBB\xBF"), u"");
    EXPECT_EQ(convert(""), u"");
    EXPECT_EQ(help_text_from_utf8(nullptr, 5), u"");
}
