// variable_write.h - writing a typed value to a leaf through the driver (or the network peer).
#pragma once
#include <cstddef>
#include <cstdint>

// Writes the UTF-8 value text to the leaf: parse, (read-modify-write for bit fields), write,
// read back and publish the read-back sample. 0 on success, -1 with the reason in `error`.
int variable_write(int32_t leaf_id, const char* text, char* error, size_t capacity);
