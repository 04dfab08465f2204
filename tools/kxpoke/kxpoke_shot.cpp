// kxpoke_shot.cpp - capturing a window's pixels into an uncompressed 32-bit BMP.
//
// Three ways to get the pixels, tried in order until one gives a picture that is not a single
// colour: PrintWindow (the window paints itself into our bitmap), a copy from the window's DC, and
// a copy of the window's rectangle from the screen (needs the window to be uncovered).
#include <cstdint>

#include "kxpoke.h"

namespace {

// BMP file header (14 bytes, packed) as written to disk.
#pragma pack(push, 1)
struct BmpFileHeader {
    uint16_t type;  // "BM"
    uint32_t file_size;
    uint16_t reserved1;
    uint16_t reserved2;
    uint32_t pixel_offset;
};
#pragma pack(pop)
static_assert(sizeof(BmpFileHeader) == 14, "BMP file header is 14 bytes");
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BMP info header is 40 bytes");

// One way of capturing, by name.
enum ShotMethod { SHOT_PRINT, SHOT_WINDOW, SHOT_SCREEN, SHOT_METHODS };
const char* const kMethodNames[SHOT_METHODS] = {"print", "window", "screen"};

bool capture(ShotMethod method, HWND hwnd, const RECT& rect, HDC target) {
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    switch (method) {
    case SHOT_PRINT:
        return PrintWindow(hwnd, target, 0) != 0;
    case SHOT_WINDOW: {
        HDC source = GetWindowDC(hwnd);
        if (!source) return false;
        BOOL ok = BitBlt(target, 0, 0, width, height, source, 0, 0, SRCCOPY);
        ReleaseDC(hwnd, source);
        return ok != 0;
    }
    case SHOT_SCREEN: {
        HDC source = GetDC(nullptr);
        if (!source) return false;
        BOOL ok = BitBlt(target, 0, 0, width, height, source, rect.left, rect.top, SRCCOPY);
        ReleaseDC(nullptr, source);
        return ok != 0;
    }
    default:
        return false;
    }
}

bool single_colour(const uint32_t* pixels, size_t count) {
    for (size_t i = 1; i < count; ++i) {
        if ((pixels[i] & 0x00FFFFFFu) != (pixels[0] & 0x00FFFFFFu)) return false;
    }
    return true;
}

// Writes a bottom-up 32-bit BI_RGB bitmap.
bool bmp_write(const wchar_t* path, const uint32_t* pixels, int width, int height) {
    uint32_t pixel_bytes = static_cast<uint32_t>(width) * static_cast<uint32_t>(height) * 4u;
    BmpFileHeader file = {};
    file.type = 0x4D42;
    file.pixel_offset = sizeof(BmpFileHeader) + sizeof(BITMAPINFOHEADER);
    file.file_size = file.pixel_offset + pixel_bytes;
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;  // positive: rows bottom-up, as the DIB section holds them
    info.biPlanes = 1;
    info.biBitCount = 32;
    info.biCompression = BI_RGB;
    info.biSizeImage = pixel_bytes;
    info.biXPelsPerMeter = 3780;  // 96 dpi
    info.biYPelsPerMeter = 3780;

    HANDLE file_handle = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_handle == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file_handle, &file, sizeof(file), &written, nullptr) && written == sizeof(file) &&
              WriteFile(file_handle, &info, sizeof(info), &written, nullptr) && written == sizeof(info) &&
              WriteFile(file_handle, pixels, pixel_bytes, &written, nullptr) && written == pixel_bytes;
    ok = CloseHandle(file_handle) && ok;
    if (!ok) DeleteFileW(path);
    return ok;
}

}  // namespace

int cmd_shot(const PokeArgs* args) {
    if (args->operand_count != 1) {
        err_printf("usage: shot FILE.bmp");
        return POKE_USAGE;
    }
    int first = SHOT_PRINT;
    int last = SHOT_SCREEN;
    if (args->method && !ascii_iequals(args->method, "auto")) {
        first = -1;
        for (int m = 0; m < SHOT_METHODS; ++m) {
            if (ascii_iequals(args->method, kMethodNames[m])) first = last = m;
        }
        if (first < 0) {
            err_printf("unknown --method (auto, print, window or screen)");
            return POKE_USAGE;
        }
    }
    HWND hwnd = select_target(args, nullptr);
    if (!hwnd) return POKE_FAIL;
    RECT rect;
    if (!GetWindowRect(hwnd, &rect) || rect.right <= rect.left || rect.bottom <= rect.top) {
        err_printf("window has no area");
        return POKE_FAIL;
    }
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    if (width > 16384 || height > 16384) {
        err_printf("window too large (%dx%d)", width, height);
        return POKE_FAIL;
    }

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (!memory || !dib || !bits) {
        err_printf("cannot create a %dx%d bitmap", width, height);
        if (dib) DeleteObject(dib);
        if (memory) DeleteDC(memory);
        return POKE_FAIL;
    }
    HGDIOBJ old = SelectObject(memory, dib);
    uint32_t* pixels = static_cast<uint32_t*>(bits);
    size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    int used = -1;
    for (int m = first; m <= last; ++m) {
        for (size_t i = 0; i < count; ++i) pixels[i] = 0;
        if (!capture(static_cast<ShotMethod>(m), hwnd, rect, memory)) continue;
        GdiFlush();
        used = m;
        if (!single_colour(pixels, count)) break;  // a blank result falls through to the next way
    }
    // 32-bit BI_RGB leaves the fourth byte unused; make it opaque for viewers that read it anyway.
    for (size_t i = 0; i < count; ++i) pixels[i] |= 0xFF000000u;
    int result = POKE_FAIL;
    if (used < 0) {
        err_printf("capture failed");
    } else if (!bmp_write(args->operands[0], pixels, width, height)) {
        err_printf("cannot write %s (error %lu)", utf8_of(args->operands[0]), static_cast<unsigned long>(GetLastError()));
    } else {
        out_printf("%d\t%d\t%s\n", width, height, kMethodNames[used]);
        result = POKE_OK;
    }
    SelectObject(memory, old);
    DeleteObject(dib);
    DeleteDC(memory);
    return result;
}
