// bmp.h - the one BMP writer: 32-bit uncompressed bitmaps for screenshots and the software
// drawing surface.
#pragma once
#include <cstdint>

// Writes `pixels` (width x height, rows top to bottom, each pixel 0x00RRGGBB) as a 32-bit
// uncompressed bottom-up BMP file at the UTF-8 `path`. 0, or -1 when the size is not positive,
// an argument is null or the file cannot be written (the reason is logged).
int bmp_write_32(const char* path, int32_t width, int32_t height, const uint32_t* pixels);

// Writes screenshot pixels as a 32-bit uncompressed top-down BMP (negative height, image size
// and resolutions 0). `pixels` holds width x height x 4 bytes, rows top to bottom, each pixel
// blue, green, red and a fourth byte written as given. 0, or -1 when an argument is null, the
// size is not positive or too large, or the file cannot be written; logs nothing (screenshots
// fail silently). A file that could not be written completely is removed.
int bmp_write_top_down(const char* path, int32_t width, int32_t height, const uint8_t* pixels);
