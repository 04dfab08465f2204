// bmp.h - the one BMP writer: 32-bit uncompressed bitmaps for screenshots and the software
// drawing surface.
#pragma once
#include <cstdint>

// Writes `pixels` (width x height, rows top to bottom, each pixel 0x00RRGGBB) as a 32-bit
// uncompressed bottom-up BMP file at the UTF-8 `path`. 0, or -1 when the size is not positive,
// an argument is null or the file cannot be written (the reason is logged).
int bmp_write_32(const char* path, int32_t width, int32_t height, const uint32_t* pixels);
