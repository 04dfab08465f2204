// help_text.cpp - the help window's text from the manual resource.
#include "workspace/help_text.h"

#include <vector>

#include "core/text.h"

std::u16string help_text_from_utf8(const uint8_t* bytes, size_t size) {
    if (!bytes || size == 0) return std::u16string();
    if (size > 2 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        bytes += 3;
        size -= 3;
    }
    std::string utf8((const char*)bytes, size);
    std::vector<char16_t> wide(utf8.size() + 1);
    size_t n = utf8_to_utf16(utf8.c_str(), wide.data(), wide.size());
    std::u16string out;
    out.reserve(n + n / 16);
    for (size_t i = 0; i < n; i++) {
        if (wide[i] == u'\n' && (i == 0 || wide[i - 1] != u'\r')) out.push_back(u'\r');
        out.push_back(wide[i]);
    }
    return out;
}
