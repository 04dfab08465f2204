// bmp.cpp - 32-bit BMP writer (BITMAPFILEHEADER + BITMAPINFOHEADER, BI_RGB, bottom-up rows).
#include "core/bmp.h"

#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/platform.h"

namespace {

void put_u16(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)(v & 0xFF);
    p[1] = (unsigned char)((v >> 8) & 0xFF);
}

void put_u32(unsigned char* p, uint32_t v) {
    put_u16(p, v & 0xFFFF);
    put_u16(p + 2, v >> 16);
}

}  // namespace

int bmp_write_32(const char* path, int32_t width, int32_t height, const uint32_t* pixels) {
    if (!path || !pixels || width <= 0 || height <= 0) return -1;
    // A 32-bit row needs no padding; the file size field is 32 bits, so refuse what cannot fit.
    uint64_t image_bytes = (uint64_t)width * (uint64_t)height * 4;
    if (image_bytes > 0xFFFFFFFFull - 54) {
        log_printf(LOG_ERROR, "BMP too large: %dx%d", width, height);
        return -1;
    }
    unsigned char header[54];
    memset(header, 0, sizeof header);
    header[0] = 'B';
    header[1] = 'M';
    put_u32(header + 2, (uint32_t)(54 + image_bytes));  // file size
    put_u32(header + 10, 54);                            // offset of the pixels
    put_u32(header + 14, 40);                            // BITMAPINFOHEADER size
    put_u32(header + 18, (uint32_t)width);
    put_u32(header + 22, (uint32_t)height);              // positive: bottom-up rows
    put_u16(header + 26, 1);                             // planes
    put_u16(header + 28, 32);                            // bits per pixel
    put_u32(header + 30, 0);                             // BI_RGB
    put_u32(header + 34, (uint32_t)image_bytes);
    put_u32(header + 38, 2835);                          // 72 dpi
    put_u32(header + 42, 2835);

    FILE* f = platform()->open_file(path, "wb");
    if (!f) {
        log_printf(LOG_ERROR, "BMP cannot be written: %s", path);
        return -1;
    }
    bool ok = fwrite(header, 1, sizeof header, f) == sizeof header;
    unsigned char row[4 * 1024];
    for (int32_t y = height - 1; ok && y >= 0; y--) {
        const uint32_t* src = pixels + (size_t)y * (size_t)width;
        // Little-endian B, G, R, 0 per pixel, written in chunks of 1024 pixels.
        for (int32_t x0 = 0; ok && x0 < width; x0 += 1024) {
            int32_t n = width - x0 < 1024 ? width - x0 : 1024;
            for (int32_t i = 0; i < n; i++) put_u32(row + 4 * i, src[x0 + i] & 0x00FFFFFFu);
            ok = fwrite(row, 4, (size_t)n, f) == (size_t)n;
        }
    }
    if (fclose(f) != 0) ok = false;
    if (!ok) {
        log_printf(LOG_ERROR, "BMP write failed: %s", path);
        return -1;
    }
    return 0;
}

int bmp_write_top_down(const char* path, int32_t width, int32_t height, const uint8_t* pixels) {
    if (!path || !path[0] || !pixels || width <= 0 || height <= 0) return -1;
    uint64_t image_bytes = (uint64_t)width * (uint64_t)height * 4;
    if (image_bytes > 0xFFFFFFFFull - 54) return -1;
    unsigned char header[54];
    memset(header, 0, sizeof header);
    header[0] = 'B';
    header[1] = 'M';
    put_u32(header + 2, (uint32_t)(54 + image_bytes));
    put_u32(header + 10, 54);
    put_u32(header + 14, 40);
    put_u32(header + 18, (uint32_t)width);
    put_u32(header + 22, (uint32_t)-height);  // negative: the first row is the top row
    put_u16(header + 26, 1);
    put_u16(header + 28, 32);
    FILE* f = platform()->open_file(path, "wb");
    if (!f) return -1;
    bool ok = fwrite(header, 1, sizeof header, f) == sizeof header &&
              fwrite(pixels, 1, (size_t)image_bytes, f) == (size_t)image_bytes;
    if (fclose(f) != 0) ok = false;
    if (!ok) {
        remove(path);
        return -1;
    }
    return 0;
}
