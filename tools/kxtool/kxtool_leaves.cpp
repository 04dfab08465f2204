// kxtool leaves ELF: the leaf table of an image, one tab-separated line per leaf: id, name,
// address, size, kind, signed, is_pointer, is_bitfield, bit offset, bit size, enumerator count.
// Also the shared opener of the leaf subcommands (decode, encode).
#include <cstdio>

#include "firmware/elf.h"
#include "kxtool.h"
#include "kxtool_leaf_image.h"
#include "vartable/leaf_table.h"

ElfImage* kxtool_open_leaves(const char* path) {
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = elf_open(path, error, sizeof error);
    if (!image) {
        fprintf(stderr, "%s\n", error);
        return nullptr;
    }
    leaf_table_rebuild_from(image);
    return image;
}

int kxtool_leaves(int argc, char** argv) {
    if (argc < 1) {
        fprintf(stderr, "usage: kxtool leaves ELF\n");
        return 2;
    }
    ElfImage* image = kxtool_open_leaves(argv[0]);
    if (!image) return 1;
    for (LeafId id = 0; id < leaf_count(); id++) {
        const VarLeaf* l = leaf_at(id);
        printf("%d\t%s\t0x%llX\t%u\t%d\t%d\t%d\t%d\t%u\t%u\t%d\n", l->id, l->name, (unsigned long long)l->address,
               l->size, l->kind, l->is_signed, l->is_pointer, l->is_bitfield, l->bit_offset, l->bit_size,
               l->enumerator_count);
    }
    elf_close(image);
    return 0;
}
