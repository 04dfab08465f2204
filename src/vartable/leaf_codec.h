// leaf_codec.h - a leaf's value in its three forms: raw target bytes (little-endian), a double
// for drawing, statistics and recording, and a short UTF-8 text for the user.
//
// Integer texts (int, uint, enum, pointer) are built from the assembled 64-bit integer, never
// from the double, so 64-bit values above 2^53 read exactly; the double is only the value used
// for drawing and statistics.
//
// The UTF-8 / UTF-16 conversions of the value codec are utf8_to_utf16 and utf16_to_utf8 of
// core/text.h (cut to fit, always terminated, null gives empty); this header brings them in.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/text.h"
#include "vartable/leaf_table.h"

enum : size_t { LEAF_TEXT_CAPACITY = 64 };  // the text a sample keeps

// Decodes `count` raw bytes by the leaf's type fields into a text (always terminated, cut to the
// capacity) and, when out_value is given, a double (0 when undecodable, whose text is "<?>").
// A null text or a capacity of 0 does nothing at all.
void leaf_value_to_text(char* text, size_t capacity, const uint8_t* raw, uint32_t count, TypeKind kind,
                        int32_t is_signed, int32_t hex, int32_t is_bitfield, uint8_t bit_offset,
                        uint8_t bit_size, double* out_value, const LeafEnumerator* enumerators,
                        int32_t enumerator_count);

// The double of leaf_value_to_text alone, for readers that keep no text (0 when undecodable).
double leaf_bytes_value(const uint8_t* raw, uint32_t count, TypeKind kind, int32_t is_signed, int32_t is_bitfield,
                        uint8_t bit_offset, uint8_t bit_size);

// The same for a leaf's own fields.
void leaf_decode(const VarLeaf* leaf, const uint8_t* raw, uint32_t count, char* text, size_t capacity,
                 double* out_value);

// Parses typed UTF-8 text into at most min(capacity, 8) raw bytes (little-endian) for a write.
// Returns 1 on success, 0 on failure; out_length (may be null) gets the byte count (0 first).
// Bit-field placement is the caller's business.
int leaf_text_to_bytes(const char* text, uint8_t* out, size_t capacity, size_t* out_length, TypeKind kind,
                       const LeafEnumerator* enumerators, int32_t enumerator_count);
