// kxtool decode ELF DUMP BASE: decodes every leaf whose bytes lie wholly inside a raw memory
// image whose first byte sits at target address BASE (0x... hexadecimal, else decimal). One
// tab-separated line per leaf: name, the codec's text, the value ("%.17g").
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kxtool.h"
#include "kxtool_leaf_image.h"
#include "vartable/leaf_codec.h"

namespace {

bool read_file(const char* path, std::vector<uint8_t>* out) {
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    uint8_t buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) out->insert(out->end(), buffer, buffer + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool parse_address(const char* text, uint64_t* out) {
    bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end;
    *out = strtoull(hex ? text + 2 : text, &end, hex ? 16 : 10);
    return end != (hex ? text + 2 : text) && *end == 0;
}

}  // namespace

int kxtool_decode(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: kxtool decode ELF DUMP BASE\n");
        return 2;
    }
    uint64_t base;
    if (!parse_address(argv[2], &base)) {
        fprintf(stderr, "bad base address: %s\n", argv[2]);
        return 2;
    }
    std::vector<uint8_t> dump;
    if (!read_file(argv[1], &dump)) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    ElfImage* image = kxtool_open_leaves(argv[0]);
    if (!image) return 1;
    uint64_t end = base + dump.size();
    for (LeafId id = 0; id < leaf_count(); id++) {
        const VarLeaf* l = leaf_at(id);
        if (l->address < base || l->address > end || l->size > end - l->address) continue;
        char text[LEAF_TEXT_CAPACITY];
        double value;
        leaf_decode(l, dump.data() + (l->address - base), l->size, text, sizeof text, &value);
        printf("%s\t%s\t%.17g\n", l->name, text, value);
    }
    elf_close(image);
    return 0;
}
