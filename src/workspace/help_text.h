// help_text.h - turning the embedded user manual (UTF-8) into the help window's UTF-16 text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Skips a leading byte-order mark (only when the text is longer than 2 bytes), converts to UTF-16
// and turns every LF not preceded by CR into CR LF. Empty when the conversion yields nothing.
std::u16string help_text_from_utf8(const uint8_t* bytes, size_t size);
