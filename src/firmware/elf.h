// elf.h - the ELF container: one opened firmware image with its sections, its arena and its
// global variables.
//
// elf_open reads the whole file, checks it as ELF32/ELF64 in either byte order, finds the symbol
// table and the DWARF sections, runs the debug-information pass and then the symbol-table pass,
// and returns an image whose global variables (types.h) are ready. The reader never logs and
// has no user interface: a failure is one short English text in the caller's buffer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "firmware/types.h"

struct ArenaChunk;
struct DwarfWork;
struct FileMapping;

// A section's bytes inside the loaded file, or absent (data null, size 0).
struct ElfSection {
    const uint8_t* data;
    uint64_t size;
};

// One opened image (heap, zero-filled at creation). Owns the arena. An image opened from a
// path reads the file through a read-only mapping that lives only during elf_open: everything
// the image keeps (names, types, globals) is copied into the arena, and afterwards file_bytes
// and the section pointers are null (sizes stay). An image opened from memory keeps its copy
// of the bytes, so its sections stay readable.
// A variable that debug information defines without a location but with a linker name (GCC's
// in-class constants whose address is taken): the symbol of that name gives the address.
struct ElfLinkageVar {
    const char* linkage_name;  // mangled name, as in the symbol table
    const char* name;          // arena: the name a debugger takes
    TypeInfo* type;
    ElfLinkageVar* next;
};

struct ElfImage {
    const uint8_t* file_bytes;
    uint64_t file_size;
    int32_t is64;              // ELFCLASS64
    int32_t little_endian;     // data byte 1; every other value reads as big-endian
    uint16_t machine;          // e_machine
    uint32_t flags;            // e_flags
    uint64_t entry;            // e_entry (kept, not used)
    uint64_t shoff;            // e_shoff
    uint16_t shentsize;        // e_shentsize
    int32_t shnum;             // e_shnum, 65536 when the header says 0
    int32_t shstrndx;          // e_shstrndx or its SHN_XINDEX replacement
    const uint8_t* section_headers;
    ElfSection shstrtab;
    ElfSection symtab;
    uint64_t sym_entsize;
    ElfSection strtab;
    ElfSection debug_info;
    ElfSection debug_abbrev;
    ElfSection debug_str;
    ElfSection debug_str_offsets;
    ElfSection debug_addr;
    ElfSection debug_types;    // DWARF 4 type units (-fdebug-types-section)
    GlobalVar* globals;        // heap array (names and types in the arena)
    int32_t global_count;
    int32_t global_capacity;
    int32_t* global_hash;      // heap: name hash slots (index + 1, 0 = empty)
    uint32_t global_hash_mask; // slot count - 1
    DwarfWork* dwarf;          // working tables of the debug-information pass; null after open
    ArenaChunk* arena;         // every block made while reading; freed with the image
    uint8_t* owned_bytes;      // the copy of an image opened from memory (freed with it), else null
    ElfLinkageVar* linkage_vars;  // arena list for the symbol-table pass
    const FileMapping* mapping;   // the file's read-only view while a path is opened, else null
};
static_assert(sizeof(void*) != 8 || sizeof(ElfSection) == 16, "ElfSection layout");

enum : size_t { ELF_ERROR_CAPACITY = 256 };

// Opens an image by UTF-8 path. The error buffer is emptied first and receives the reason on
// failure ("not an ELF file", ...). Returns null on failure.
ElfImage* elf_open(const char* path, char* error, size_t error_capacity);
// Same, from bytes in memory (copied; the copy stays with the image).
ElfImage* elf_open_memory(const void* bytes, size_t size, char* error, size_t error_capacity);
// Same, from bytes that need to stay valid only during the call, as a mapped file is read:
// nothing of the image points into them afterwards (the section views are cleared).
ElfImage* elf_open_view(const void* bytes, size_t size, char* error, size_t error_capacity);
// Frees the image, its file bytes and its arena. Null is ignored.
void elf_close(ElfImage* image);

// "ARM Cortex-M", "x86-64", ... by e_machine; "unknown" for null or an unknown machine.
const char* elf_machine_name(const ElfImage* image);
// 64, 32, or 0 for null.
int elf_bits(const ElfImage* image);

// Bytes of the section at an index, or null when the index or the section's range is invalid.
const uint8_t* elf_section_by_index(const ElfImage* image, int64_t index, uint64_t* out_size);
// Bytes of the first section of that exact name (null when absent or its range is invalid).
// out_size and out_index may be null.
const uint8_t* elf_section_by_name(const ElfImage* image, const char* name, uint64_t* out_size,
                                   int32_t* out_index);

// Global variables (debug information first, then the symbol table).
int32_t elf_global_count(const ElfImage* image);
// Null when the index is outside [0, count).
const GlobalVar* elf_global_at(const ElfImage* image, int32_t index);
// Index of the variable with exactly this name, or -1.
int32_t elf_find_global(const ElfImage* image, const char* name);

// ---- Shared with the DWARF reader and the symbol pass --------------------------------------
// Integer readers in the image's byte order (n from 1 to 8 for elf_read_n).
// The fixed-size readers are inline: the DWARF walk calls them for nearly every value.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the fast readers assume a little-endian host");
inline uint16_t elf_read_u16(const ElfImage* image, const uint8_t* p) {
    uint16_t v;
    memcpy(&v, p, 2);
    return image->little_endian ? v : __builtin_bswap16(v);
}
inline uint32_t elf_read_u32(const ElfImage* image, const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return image->little_endian ? v : __builtin_bswap32(v);
}
inline uint64_t elf_read_u64(const ElfImage* image, const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return image->little_endian ? v : __builtin_bswap64(v);
}
uint64_t elf_read_n(const ElfImage* image, const uint8_t* p, unsigned n);

// Zero-filled arena block (a request of 0 bytes gets 1); null when memory runs out.
void* elf_arena_alloc(ElfImage* image, size_t size);
// Copy of a text in the arena (null text copies as empty); null when memory runs out.
char* elf_arena_strdup(ElfImage* image, const char* text);
// Frees every arena block of the image (elf_close does this).
void elf_arena_free_all(ElfImage* image);

// Appends a variable (name copied) and indexes it by name; the new index or -1 when the list
// cannot grow.
int32_t elf_global_append(ElfImage* image, const char* name, uint64_t address, uint64_t size,
                          TypeInfo* type, int32_t from_debug_info);
// The symbol-table pass: adds data objects that debug information lacked, fills in sizes.
void elf_collect_symbols(ElfImage* image);
// Frees the variable list and its name index (elf_close does this).
void elf_globals_free(ElfImage* image);
