// elf.cpp - the ELF container: reading the file, checking the header, locating sections.
//
// [SECTION] Byte readers
// [SECTION] Header and section table
// [SECTION] Opening and closing
// [SECTION] Queries
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/platform.h"
#include "core/text.h"
#include "firmware/dwarf.h"
#include "firmware/elf.h"

// [SECTION] Byte readers ------------------------------------------------------------------------

uint64_t elf_read_n(const ElfImage* image, const uint8_t* p, unsigned n) {
    uint64_t v = 0;
    if (image->little_endian) {
        for (unsigned i = n; i-- > 0;) v = (v << 8) | p[i];
    } else {
        for (unsigned i = 0; i < n; i++) v = (v << 8) | p[i];
    }
    return v;
}

// [SECTION] Header and section table ------------------------------------------------------------

namespace {

// Fails with a formatted message; always returns -1.
int fail(char* error, size_t capacity, const char* format, ...) KX_PRINTF(3, 4);
int fail(char* error, size_t capacity, const char* format, ...) {
    if (error && capacity > 0) {
        va_list args;
        va_start(args, format);
        text_vprintf(error, capacity, format, args);
        va_end(args);
    }
    return -1;
}

int check_header(ElfImage* image, char* error, size_t capacity) {
    const uint8_t* b = image->file_bytes;
    uint64_t size = image->file_size;
    if (size < 16 || b[0] != 0x7F || b[1] != 'E' || b[2] != 'L' || b[3] != 'F')
        return fail(error, capacity, "not an ELF file");
    if (b[4] != 1 && b[4] != 2) return fail(error, capacity, "unsupported ELF class %d", b[4]);
    image->is64 = b[4] == 2;
    image->little_endian = b[5] == 1;
    if (b[6] != 1) return fail(error, capacity, "unsupported ELF version");
    if (image->is64 && size < 64) return fail(error, capacity, "truncated ELF64 header");
    if (!image->is64 && size < 52) return fail(error, capacity, "truncated ELF32 header");
    // An object file's variables all sit at offset 0 of unplaced sections: watching them would
    // read and write the wrong target addresses.
    if (elf_read_u16(image, b + 16) == 1)
        return fail(error, capacity, "relocatable object file (.o): open the linked image");
    image->machine = elf_read_u16(image, b + 18);
    if (image->is64) {
        image->entry = elf_read_u64(image, b + 24);
        image->shoff = elf_read_u64(image, b + 40);
        image->flags = elf_read_u32(image, b + 48);
        image->shentsize = elf_read_u16(image, b + 58);
        image->shnum = elf_read_u16(image, b + 60);
        image->shstrndx = elf_read_u16(image, b + 62);
    } else {
        image->entry = elf_read_u32(image, b + 24);
        image->shoff = elf_read_u32(image, b + 32);
        image->flags = elf_read_u32(image, b + 36);
        image->shentsize = elf_read_u16(image, b + 46);
        image->shnum = elf_read_u16(image, b + 48);
        image->shstrndx = elf_read_u16(image, b + 50);
    }
    if (image->shnum == 0) image->shnum = 65536;
    return 0;
}

// Fields of one section header.
uint32_t shdr_name(const ElfImage* image, const uint8_t* h) { return elf_read_u32(image, h); }
uint32_t shdr_link(const ElfImage* image, const uint8_t* h) {
    return elf_read_u32(image, h + (image->is64 ? 40 : 24));
}
uint64_t shdr_entsize(const ElfImage* image, const uint8_t* h) {
    return image->is64 ? elf_read_u64(image, h + 56) : elf_read_u32(image, h + 36);
}

// Field offsets past sh_name that a header must hold for the reads above.
uint64_t shdr_min_size(const ElfImage* image) { return image->is64 ? 64 : 40; }

ElfSection section_named(const ElfImage* image, const char* name) {
    ElfSection s = {nullptr, 0};
    s.data = elf_section_by_name(image, name, &s.size, nullptr);
    if (!s.data) s.size = 0;
    return s;
}

int locate_sections(ElfImage* image, char* error, size_t capacity) {
    uint64_t table_bytes = static_cast<uint64_t>(image->shentsize) * static_cast<uint64_t>(image->shnum);
    if (image->shoff >= image->file_size) return fail(error, capacity, "bad section table offset");
    if (image->file_size - image->shoff < table_bytes) return fail(error, capacity, "bad section table size");
    image->section_headers = image->file_bytes + image->shoff;
    if (image->shstrndx == 0xFFFF) {
        // SHN_XINDEX: the real index sits in section header 0's sh_link.
        if (image->shentsize < 40) return fail(error, capacity, "bad section table");
        image->shstrndx = static_cast<int32_t>(shdr_link(image, image->section_headers));
    }
    ElfSection names = {nullptr, 0};
    names.data = elf_section_by_index(image, image->shstrndx, &names.size);
    if (!names.data) return fail(error, capacity, "missing .shstrtab");
    image->shstrtab = names;

    int32_t symtab_index = -1;
    uint64_t symtab_size = 0;
    const uint8_t* symtab = elf_section_by_name(image, ".symtab", &symtab_size, &symtab_index);
    if (symtab) {
        const uint8_t* h = image->section_headers + static_cast<uint64_t>(symtab_index) * image->shentsize;
        image->symtab.data = symtab;
        image->symtab.size = symtab_size;
        image->sym_entsize = shdr_entsize(image, h);
        if (image->sym_entsize == 0) image->sym_entsize = image->is64 ? 24 : 16;
        ElfSection strings = {nullptr, 0};
        strings.data = elf_section_by_index(image, shdr_link(image, h), &strings.size);
        if (strings.data) image->strtab = strings;
    }
    image->debug_info = section_named(image, ".debug_info");
    image->debug_abbrev = section_named(image, ".debug_abbrev");
    image->debug_str = section_named(image, ".debug_str");
    image->debug_str_offsets = section_named(image, ".debug_str_offsets");
    image->debug_addr = section_named(image, ".debug_addr");
    image->debug_types = section_named(image, ".debug_types");
    return 0;
}

// Reads an image from bytes that stay valid during the call; owned (malloc'd, or null for a
// mapping the caller releases) passes to the image, and is freed on every failure.
ElfImage* open_bytes(const uint8_t* bytes, uint64_t size, uint8_t* owned, const FileMapping* mapping, char* error,
                     size_t capacity) {
    ElfImage* image = static_cast<ElfImage*>(calloc(1, sizeof(ElfImage)));
    if (!image) {
        free(owned);
        fail(error, capacity, "out of memory");
        return nullptr;
    }
    image->file_bytes = bytes;
    image->file_size = size;
    image->owned_bytes = owned;
    image->mapping = mapping;
    if (check_header(image, error, capacity) != 0 || locate_sections(image, error, capacity) != 0) {
        elf_close(image);
        return nullptr;
    }
    if (image->debug_info.data) dwarf_read_all(image);
    if (image->symtab.data) elf_collect_symbols(image);
    if (image->global_count == 0) {
        fail(error, capacity, "no global variables found (no debug info / symbols)");
        elf_close(image);
        return nullptr;
    }
    return image;
}

// After a mapped open: nothing may point into the mapping any more.
void forget_file_bytes(ElfImage* image) {
    image->file_bytes = nullptr;
    image->section_headers = nullptr;
    image->mapping = nullptr;
    ElfSection* sections[] = {&image->shstrtab, &image->symtab, &image->strtab, &image->debug_info,
                              &image->debug_abbrev, &image->debug_str, &image->debug_str_offsets,
                              &image->debug_addr, &image->debug_types};
    for (ElfSection* s : sections) s->data = nullptr;
}

void clear_error(char* error, size_t capacity) {
    if (error && capacity > 0) error[0] = '\0';
}

}  // namespace

// [SECTION] Opening and closing -----------------------------------------------------------------

ElfImage* elf_open(const char* path, char* error, size_t capacity) {
    clear_error(error, capacity);
    // The file is mapped, not copied: a first open touches only the pages of the sections it
    // reads. Files of 2 GiB or more are refused like empty ones.
    FileMapping map;
    switch (platform_map_file(path, &map)) {
        case FILE_MAP_OK: break;
        case FILE_MAP_EMPTY: fail(error, capacity, "empty file"); return nullptr;
        case FILE_MAP_FAILED: fail(error, capacity, "out of memory"); return nullptr;
        default: fail(error, capacity, "cannot open file: %s", path ? path : ""); return nullptr;
    }
    ElfImage* image = open_bytes(map.data, map.size, nullptr, &map, error, capacity);
    if (image) forget_file_bytes(image);
    platform_unmap_file(&map);
    return image;
}

ElfImage* elf_open_memory(const void* data, size_t size, char* error, size_t capacity) {
    clear_error(error, capacity);
    if (!data || size == 0 || size > 0x7FFFFFFF) {
        fail(error, capacity, "empty file");
        return nullptr;
    }
    uint8_t* bytes = static_cast<uint8_t*>(malloc(size));
    if (!bytes) {
        fail(error, capacity, "out of memory");
        return nullptr;
    }
    memcpy(bytes, data, size);
    return open_bytes(bytes, size, bytes, nullptr, error, capacity);
}

ElfImage* elf_open_view(const void* data, size_t size, char* error, size_t capacity) {
    clear_error(error, capacity);
    if (!data || size == 0 || size > 0x7FFFFFFF) {
        fail(error, capacity, "empty file");
        return nullptr;
    }
    ElfImage* image = open_bytes(static_cast<const uint8_t*>(data), size, nullptr, nullptr, error, capacity);
    if (image) forget_file_bytes(image);
    return image;
}

void elf_close(ElfImage* image) {
    if (!image) return;
    free(image->owned_bytes);
    elf_globals_free(image);
    elf_arena_free_all(image);
    free(image);
}

// [SECTION] Queries -----------------------------------------------------------------------------

const char* elf_machine_name(const ElfImage* image) {
    if (!image) return "unknown";
    switch (image->machine) {
        case 2: return "SPARC";
        case 3: return "x86";
        case 8: return "MIPS";
        case 20: return "PowerPC";
        case 21: return "PowerPC64";
        case 40: return (image->flags & 0x00100000u) ? "ARM Cortex-M" : "ARM";
        case 62: return "x86-64";
        case 183: return "AArch64";
        case 243: return "RISC-V";
        default: return "unknown";
    }
}

int elf_bits(const ElfImage* image) {
    if (!image) return 0;
    return image->is64 ? 64 : 32;
}

const uint8_t* elf_section_by_index(const ElfImage* image, int64_t index, uint64_t* out_size) {
    if (out_size) *out_size = 0;
    if (!image || !image->file_bytes || !image->section_headers || index < 0 || index >= image->shnum) return nullptr;
    // A header entry smaller than the fields read would run past the table: no such section.
    if (image->shentsize < shdr_min_size(image)) return nullptr;
    const uint8_t* h = image->section_headers + static_cast<uint64_t>(index) * image->shentsize;
    uint64_t offset, size;
    if (image->is64) {
        offset = elf_read_u64(image, h + 24);
        size = elf_read_u64(image, h + 32);
    } else {
        offset = elf_read_u32(image, h + 16);
        size = elf_read_u32(image, h + 20);
    }
    if (offset > image->file_size || size > image->file_size - offset) return nullptr;
    if (out_size) *out_size = size;
    return image->file_bytes + offset;
}

const uint8_t* elf_section_by_name(const ElfImage* image, const char* name, uint64_t* out_size,
                                   int32_t* out_index) {
    if (out_size) *out_size = 0;
    if (out_index) *out_index = -1;
    if (!image || !name || !image->shstrtab.data || image->shentsize < shdr_min_size(image)) return nullptr;
    size_t want = strlen(name);
    const ElfSection& names = image->shstrtab;
    for (int32_t i = 0; i < image->shnum; i++) {
        const uint8_t* h = image->section_headers + static_cast<uint64_t>(i) * image->shentsize;
        uint64_t at = shdr_name(image, h);
        if (at >= names.size) continue;
        // The name and its NUL must lie inside the table.
        if (names.size - at <= want) continue;
        const char* text = reinterpret_cast<const char*>(names.data + at);
        if (memcmp(text, name, want) != 0 || text[want] != '\0') continue;
        if (out_index) *out_index = i;
        return elf_section_by_index(image, i, out_size);
    }
    return nullptr;
}
