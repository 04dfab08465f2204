// libFuzzer target: firmware files the user picks for programming through the GDB-server driver
// (ELF program headers, Intel HEX records, raw binaries): each is parsed into segments or refused,
// never read or written outside its bytes. The first byte picks the file kind by its extension.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "gdb_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const char* const kPaths[4] = {"fw.elf", "fw.hex", "fw.bin", "FW.AXF"};
    GdbImage image;
    if (gdb_image_parse(kPaths[data[0] & 3], data + 1, size - 1, 0x08000000u, &image) != 0) return 0;
    // Every segment lies inside the bytes the image holds.
    uint64_t total = 0;
    for (int32_t i = 0; i < image.count; i++) {
        const GdbImageSegment& s = image.segments[i];
        if ((uint64_t)s.offset + s.size > image.size) __builtin_trap();
        total += s.size;
    }
    if (total != image.size) __builtin_trap();
    gdb_image_free(&image);
    return 0;
}
