// A large image built by someone else: Debian's debug build of the Python runtime (ELF64
// x86-64, about 10 MB of DWARF 5). It must open and yield its globals with types, in agreement
// with the file's dynamic symbol table as the system's nm reads it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "firmware/elf.h"

namespace {

const char* kPythonDebugLibrary = "/usr/lib/x86_64-linux-gnu/libpython3.11d.so.1.0";

TEST(FirmwareLarge, PythonDebugLibraryOpens) {
    FILE* f = fopen(kPythonDebugLibrary, "rb");
    if (!f) GTEST_SKIP() << kPythonDebugLibrary << " not installed (python3.11-dbg)";
    fclose(f);
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = elf_open(kPythonDebugLibrary, error, sizeof error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_EQ(elf_bits(image), 64);
    EXPECT_STREQ(elf_machine_name(image), "x86-64");
    EXPECT_GT(elf_global_count(image), 5000);
    int typed = 0;
    for (int32_t i = 0; i < elf_global_count(image); i++) typed += elf_global_at(image, i)->type != nullptr;
    EXPECT_GT(typed, 5000);

    const GlobalVar* runtime = elf_global_at(image, elf_find_global(image, "_PyRuntime"));
    ASSERT_NE(runtime, nullptr);
    ASSERT_NE(runtime->type, nullptr);
    EXPECT_EQ(runtime->type->kind, TYPE_STRUCT);
    EXPECT_GT(runtime->type->child_count, 10);
#ifndef _WIN32
    // Address and size of a few exported objects against nm's reading of the symbol table.
    for (const char* name : {"_PyRuntime", "PyBaseObject_Type", "PyLong_Type", "_Py_NoneStruct"}) {
        std::string command = std::string("nm -S -D --defined-only ") + kPythonDebugLibrary + " 2>/dev/null";
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char line[512];
        bool seen = false;
        while (fgets(line, sizeof line, pipe)) {
            unsigned long long address, size;
            char kind, symbol[256];
            if (sscanf(line, "%llx %llx %c %255s", &address, &size, &kind, symbol) != 4 || std::string(symbol) != name)
                continue;
            const GlobalVar* v = elf_global_at(image, elf_find_global(image, name));
            ASSERT_NE(v, nullptr) << name;
            EXPECT_EQ(v->address, address) << name;
            EXPECT_EQ(v->size, size) << name;
            EXPECT_EQ(v->from_debug_info, 1) << name;
            seen = true;
        }
        pclose(pipe);
        EXPECT_TRUE(seen) << name;
    }
#endif
    elf_close(image);
}

}  // namespace
