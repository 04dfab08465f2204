// gdb_image.cpp - firmware images for programming: ELF PT_LOAD segments at their load
// (physical) addresses, Intel HEX records, or a raw binary at the request's base address.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

#include "gdb_driver.h"

namespace {

uint64_t le(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}

bool has_extension(const char* path, const char* ext) {
    const char* dot = std::strrchr(path, '.');
    if (!dot) return false;
    for (dot++; *dot && *ext; dot++, ext++) {
        char c = *dot >= 'A' && *dot <= 'Z' ? (char)(*dot - 'A' + 'a') : *dot;
        if (c != *ext) return false;
    }
    return !*dot && !*ext;
}

// Appends bytes at an address: extends the last segment when they follow it directly.
bool append(GdbImage* image, uint64_t address, const uint8_t* data, uint32_t size, uint32_t* capacity) {
    if (size == 0) return true;
    if (image->size + (uint64_t)size > GDB_IMAGE_BYTES_MAX) return false;
    if (image->size + size > *capacity) {
        uint32_t grown = *capacity ? *capacity : 65536;
        while (grown < image->size + size) grown *= 2;
        uint8_t* bytes = (uint8_t*)std::realloc(image->bytes, grown);
        if (!bytes) return false;
        image->bytes = bytes;
        *capacity = grown;
    }
    GdbImageSegment* last = image->count ? &image->segments[image->count - 1] : nullptr;
    if (last && last->address + last->size == address && last->offset + last->size == image->size) {
        last->size += size;
    } else {
        if (image->count >= GDB_IMAGE_SEGMENTS_MAX) return false;
        image->segments[image->count++] = {address, size, image->size};
    }
    std::memcpy(image->bytes + image->size, data, size);
    image->size += size;
    return true;
}

int32_t parse_elf(const uint8_t* f, size_t size, GdbImage* image, uint32_t* capacity) {
    if (size < 52 || std::memcmp(f, "\x7f" "ELF", 4) != 0 || f[5] != 1) return GDB_ERR_FORMAT;
    bool is64 = f[4] == 2;
    if (!is64 && f[4] != 1) return GDB_ERR_FORMAT;
    if (is64 && size < 64) return GDB_ERR_FORMAT;
    uint64_t phoff = is64 ? le(f + 0x20, 8) : le(f + 0x1C, 4);
    uint64_t phentsize = is64 ? le(f + 0x36, 2) : le(f + 0x2A, 2);
    uint64_t phnum = is64 ? le(f + 0x38, 2) : le(f + 0x2C, 2);
    if (phentsize < (is64 ? 56u : 32u) || phoff > size || phnum * phentsize > size - phoff) return GDB_ERR_FORMAT;
    for (uint64_t i = 0; i < phnum; i++) {
        const uint8_t* ph = f + phoff + i * phentsize;
        if (le(ph, 4) != 1) continue;  // PT_LOAD only
        uint64_t offset = is64 ? le(ph + 8, 8) : le(ph + 4, 4);
        uint64_t paddr = is64 ? le(ph + 24, 8) : le(ph + 12, 4);
        uint64_t filesz = is64 ? le(ph + 32, 8) : le(ph + 16, 4);
        if (filesz == 0) continue;  // .bss and other memory-only segments
        if (offset > size || filesz > size - offset || filesz > GDB_IMAGE_BYTES_MAX) return GDB_ERR_FORMAT;
        if (!append(image, paddr, f + offset, (uint32_t)filesz, capacity)) return GDB_ERR_FORMAT;
    }
    return image->count ? 0 : GDB_ERR_FORMAT;
}

int hex_digit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int32_t parse_hex(const uint8_t* f, size_t size, GdbImage* image, uint32_t* capacity) {
    uint64_t base = 0;
    size_t i = 0;
    bool ended = false;
    while (i < size && !ended) {
        if (f[i] == '\r' || f[i] == '\n' || f[i] == ' ' || f[i] == '\t') {
            i++;
            continue;
        }
        if (f[i] != ':') return GDB_ERR_FORMAT;
        i++;
        uint8_t record[5 + 255];
        int32_t n = 0;
        while (i + 1 < size && hex_digit(f[i]) >= 0 && hex_digit(f[i + 1]) >= 0 && n < (int32_t)sizeof record) {
            record[n++] = (uint8_t)(hex_digit(f[i]) * 16 + hex_digit(f[i + 1]));
            i += 2;
        }
        if (n < 5 || n != record[0] + 5) return GDB_ERR_FORMAT;
        uint8_t sum = 0;
        for (int32_t k = 0; k < n; k++) sum = (uint8_t)(sum + record[k]);
        if (sum != 0) return GDB_ERR_FORMAT;
        uint32_t length = record[0];
        uint64_t offset = (uint64_t)record[1] << 8 | record[2];
        const uint8_t* data = record + 4;
        switch (record[3]) {
            case 0:
                if (!append(image, base + offset, data, length, capacity)) return GDB_ERR_FORMAT;
                break;
            case 1: ended = true; break;
            case 2:
                if (length != 2) return GDB_ERR_FORMAT;
                base = ((uint64_t)data[0] << 8 | data[1]) << 4;
                break;
            case 4:
                if (length != 2) return GDB_ERR_FORMAT;
                base = ((uint64_t)data[0] << 8 | data[1]) << 16;
                break;
            case 3:
            case 5: break;  // start addresses: not programmed
            default: return GDB_ERR_FORMAT;
        }
    }
    return ended && image->count ? 0 : GDB_ERR_FORMAT;
}

}  // namespace

int32_t gdb_image_parse(const char* path, const uint8_t* data, size_t size, uint32_t base, GdbImage* out) {
    std::memset(out, 0, sizeof *out);
    uint32_t capacity = 0;
    int32_t rc;
    if (has_extension(path, "elf") || has_extension(path, "out") || has_extension(path, "axf"))
        rc = parse_elf(data, size, out, &capacity);
    else if (has_extension(path, "hex"))
        rc = parse_hex(data, size, out, &capacity);
    else
        rc = size == 0 || size > GDB_IMAGE_BYTES_MAX || !append(out, base, data, (uint32_t)size, &capacity) ? GDB_ERR_FORMAT : 0;
    if (rc != 0) gdb_image_free(out);
    return rc;
}

int32_t gdb_image_load(const char* utf8_path, uint32_t base, GdbImage* out) {
    std::memset(out, 0, sizeof *out);
#ifdef _WIN32
    wchar_t wide[1040];
    if (!MultiByteToWideChar(CP_UTF8, 0, utf8_path, -1, wide, 1040)) return GDB_ERR_FILE;
    FILE* f = _wfopen(wide, L"rb");
#else
    FILE* f = std::fopen(utf8_path, "rb");
#endif
    if (!f) return GDB_ERR_FILE;
    size_t capacity = 1 << 20, size = 0;
    uint8_t* data = (uint8_t*)std::malloc(capacity);
    int32_t rc = data ? 0 : GDB_ERR_FILE;
    while (rc == 0) {
        if (size == capacity) {
            if (capacity >= 4 * (size_t)GDB_IMAGE_BYTES_MAX) {
                rc = GDB_ERR_FORMAT;  // far larger than any flash
                break;
            }
            uint8_t* grown = (uint8_t*)std::realloc(data, capacity * 2);
            if (!grown) {
                rc = GDB_ERR_FILE;
                break;
            }
            data = grown;
            capacity *= 2;
        }
        size_t n = std::fread(data + size, 1, capacity - size, f);
        if (n == 0) break;
        size += n;
    }
    if (rc == 0 && std::ferror(f)) rc = GDB_ERR_FILE;
    std::fclose(f);
    if (rc == 0) rc = gdb_image_parse(utf8_path, data, size, base, out);
    std::free(data);
    return rc;
}

void gdb_image_free(GdbImage* image) {
    std::free(image->bytes);
    image->bytes = nullptr;
    image->count = 0;
    image->size = 0;
}
