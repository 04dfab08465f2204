// firmware_images.h - where the test firmware (tests/firmware) lands in the build tree, for
// every test that wants real compiler output. Each variant is fw_<variant>.elf, built from
// tests/firmware/fw_types.c and fw_other.c at build time; a variant whose compiler is missing
// is simply absent, so callers skip when the file does not exist.
#pragma once
#include <cstdio>
#include <string>

namespace kxfw {

// GCC with DWARF 2 to 5 at -O0 and -O2, one big-endian build, and clang's DWARF 5 (strx/addrx),
// all of the two C files.
inline const char* const kVariants[] = {
    "gcc_dwarf2_O0", "gcc_dwarf3_O0", "gcc_dwarf3_O2", "gcc_dwarf4_O0", "gcc_dwarf4_O2",
    "gcc_dwarf5_O0", "gcc_dwarf5_O2", "gcc_dwarf4_be_O0", "clang_dwarf5_O0",
};

// Every image whose leaves are compared with gdb: the above, clang's optimised C builds (merged
// globals), the packed-structure firmware and the C++ firmware (with type units).
inline const char* const kLeafVariants[] = {
    "gcc_dwarf2_O0", "gcc_dwarf3_O0", "gcc_dwarf3_O2", "gcc_dwarf4_O0", "gcc_dwarf4_O2",
    "gcc_dwarf5_O0", "gcc_dwarf5_O2", "gcc_dwarf4_be_O0", "clang_dwarf5_O0",
    "clang_dwarf5_Oz", "clang_dwarf4_O3",
    "gcc_packed_dwarf4_O0", "gcc_packed_dwarf5_O2", "clang_packed_dwarf5_Oz", "clang_packed_dwarf4_O3",
    "gcc_cpp_dwarf4_O0", "gcc_cpp_dwarf5_O2", "gcc_cpp_dwarf4_types", "gcc_cpp_dwarf5_types",
    "clang_cpp_dwarf4_O0", "clang_cpp_dwarf5_O0", "clang_cpp_dwarf5_Oz", "clang_cpp_dwarf5_types",
};

// GCC's link-time optimised builds of the C firmware and of the C++ firmware.
inline const char* const kLtoVariants[] = {"gcc_lto_dwarf4_O0", "gcc_cpp_lto_dwarf5_O0"};

// Path of one variant under the build directory the tests were configured with.
inline std::string path(const std::string& variant) {
    return std::string(KX_BUILD_DIR) + "/tests/firmware/fw_" + variant + ".elf";
}

inline bool exists(const std::string& file) {
    FILE* f = fopen(file.c_str(), "rb");
    if (f) fclose(f);
    return f != nullptr;
}

}  // namespace kxfw
