// text.h - fixed-buffer text helpers: UTF-8 inside, UTF-16 only at the Win32 boundary.
// Every function cuts to the capacity and always terminates; none allocates.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#if defined(__GNUC__) && defined(_WIN32)
// The formatting functions run on mingw's C99 printf (__USE_MINGW_ANSI_STDIO), not the CRT's.
#define KX_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#elif defined(__GNUC__)
#define KX_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define KX_PRINTF(fmt_index, first_arg)
#endif

// Converts NUL-terminated UTF-8 to UTF-16 (capacity in units). Invalid sequences become U+FFFD.
// The result is cut to fit, never in the middle of a surrogate pair, and always terminated.
// A null text gives an empty result. Returns the number of units written (without terminator).
size_t utf8_to_utf16(const char* text, char16_t* out, size_t capacity);
// Converts NUL-terminated UTF-16 to UTF-8 (capacity in bytes), cut at a character boundary.
// Lone surrogates become U+FFFD. Returns the number of bytes written (without terminator).
size_t utf16_to_utf8(const char16_t* text, char* out, size_t capacity);

// Length of a NUL-terminated UTF-16 text.
size_t text16_len(const char16_t* text);
// Copies UTF-8 text, cut to the capacity (at a byte), always terminated. Returns bytes copied.
size_t text_copy(char* out, size_t capacity, const char* text);
// Copies UTF-16 text, cut to the capacity in units, always terminated. Returns units copied.
size_t text16_copy(char16_t* out, size_t capacity, const char16_t* text);
// snprintf that always terminates (cut to the capacity). Returns the length written.
size_t text_printf(char* out, size_t capacity, const char* format, ...) KX_PRINTF(3, 4);
size_t text_vprintf(char* out, size_t capacity, const char* format, va_list args);
// Wide-text-to-integer as the platform's conversion: optional leading white space, optional sign,
// leading digits; text that is not a number gives 0. Overflow clamps to the 32-bit limits.
int text16_to_int(const char16_t* text);
// A TCP port written as digits only, 1..65535; -1 for an empty text, other characters or a value
// out of range.
int32_t text16_to_port(const char16_t* text);
// Copies UTF-8 text like text_copy, but a cut never leaves half a character at the end.
size_t text_copy_chars(char* out, size_t capacity, const char* text);
// Finds a UTF-16 needle in a UTF-16 haystack; null when absent.
const char16_t* text16_find(const char16_t* haystack, const char16_t* needle);
// True when the UTF-16 text starts with the ASCII prefix.
bool text16_starts_with(const char16_t* text, const char* ascii_prefix);
// True when the UTF-16 text equals the ASCII text.
bool text16_equals(const char16_t* text, const char* ascii);
