// kxtool globals ELF: lists the image's global variables, one tab-separated line each:
// name, address, size, type name (or "-"), from_debug_info.
#include <cstdio>

#include "firmware/elf.h"
#include "kxtool.h"

int kxtool_globals(int argc, char** argv) {
    if (argc < 1) {
        fprintf(stderr, "usage: kxtool globals ELF\n");
        return 2;
    }
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = elf_open(argv[0], error, sizeof error);
    if (!image) {
        fprintf(stderr, "%s\n", error);
        return 1;
    }
    for (int32_t i = 0; i < elf_global_count(image); i++) {
        const GlobalVar* v = elf_global_at(image, i);
        const char* type = v->type && v->type->name && v->type->name[0] ? v->type->name : "-";
        printf("%s\t0x%llX\t%llu\t%s\t%d\n", v->name, static_cast<unsigned long long>(v->address),
               static_cast<unsigned long long>(v->size), type, v->from_debug_info);
    }
    elf_close(image);
    return 0;
}
