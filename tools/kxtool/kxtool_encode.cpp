// kxtool encode ELF NAME TEXT: the bytes a write of TEXT to the leaf NAME would store, as hex
// pairs in memory order; exit code 1 when the leaf is unknown or the text does not parse.
#include <cstdio>

#include "kxtool.h"
#include "kxtool_leaf_image.h"
#include "vartable/leaf_codec.h"

int kxtool_encode(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: kxtool encode ELF NAME TEXT\n");
        return 2;
    }
    ElfImage* image = kxtool_open_leaves(argv[0]);
    if (!image) return 1;
    int rc = 0;
    const VarLeaf* l = leaf_at(leaf_find(argv[1]));
    uint8_t bytes[8];
    size_t length = 0;
    if (!l) {
        fprintf(stderr, "no leaf named %s\n", argv[1]);
        rc = 1;
    } else if (!leaf_text_to_bytes(argv[2], bytes, l->size < 8 ? l->size : 8, &length, l->kind, l->enumerators,
                                   l->enumerator_count)) {
        fprintf(stderr, "cannot parse \"%s\" as a value of %s (kind %d)\n", argv[2], l->name, l->kind);
        rc = 1;
    } else {
        for (size_t i = 0; i < length; i++) printf("%s%02X", i ? " " : "", bytes[i]);
        printf("\n");
    }
    elf_close(image);
    return rc;
}
