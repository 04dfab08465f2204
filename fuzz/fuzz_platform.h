// fuzz_platform.h - the platform seam for fuzz targets: one named file is the current input,
// served from memory; no other file opens, no window, no boxes, no waiting, no debugger output,
// a fixed program folder and a clock that steps by 997 us at every reading.
#pragma once
#include <cstddef>
#include <cstdint>

// The path under which the current input can be opened.
inline constexpr const char* FUZZ_INPUT_PATH = "fuzz-input";

// Installs the fuzz platform (once) and makes data[0, size) the current input.
void fuzz_platform_serve(const uint8_t* data, size_t size);
