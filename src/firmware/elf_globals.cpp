// elf_globals.cpp - the global variable list of an image: appending with a name index, the
// symbol-table pass, and the accessors.
//
// The list is looked up by name for every variable entry and every symbol (a variable is listed
// once, by name), so names are indexed by an open-addressing hash.
#include <cstdlib>
#include <cstring>

#include "firmware/elf.h"

namespace {

uint32_t name_hash(const char* name) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++) {
        h ^= *p;
        h *= 16777619u;
    }
    return h;
}

// Rebuilds the hash with `slots` slots (a power of two, at least twice the list's capacity).
bool hash_rebuild(ElfImage* image, uint32_t slots) {
    int32_t* table = static_cast<int32_t*>(calloc(slots, sizeof(int32_t)));
    if (!table) return false;
    uint32_t mask = slots - 1;
    for (int32_t i = 0; i < image->global_count; i++) {
        uint32_t at = name_hash(image->globals[i].name) & mask;
        while (table[at]) at = (at + 1) & mask;
        table[at] = i + 1;
    }
    free(image->global_hash);
    image->global_hash = table;
    image->global_hash_mask = mask;
    return true;
}

// The list and its hash live on the heap rather than in the arena: growing them there would
// leave every outgrown copy behind until the image is closed.
bool list_grow(ElfImage* image) {
    int32_t capacity = image->global_capacity ? image->global_capacity * 2 : 256;
    if (capacity <= image->global_capacity || capacity > (1 << 26)) return false;
    // The index first: a larger index serves the shorter list as well, while a list that grew
    // without its index would fill the index up.
    if (!hash_rebuild(image, static_cast<uint32_t>(capacity) * 2)) return false;
    GlobalVar* grown = static_cast<GlobalVar*>(realloc(image->globals, sizeof(GlobalVar) * static_cast<size_t>(capacity)));
    if (!grown) return false;
    image->globals = grown;
    image->global_capacity = capacity;
    return true;
}

}  // namespace

void elf_globals_free(ElfImage* image) {
    free(image->globals);
    free(image->global_hash);
    image->globals = nullptr;
    image->global_hash = nullptr;
    image->global_count = 0;
    image->global_capacity = 0;
}

namespace {

// Symbol fields, ELF32 or ELF64 layout.
struct Symbol {
    uint32_t name;
    uint64_t value;
    uint64_t size;
    uint8_t info;
    uint16_t shndx;
};

Symbol read_symbol(const ElfImage* image, const uint8_t* p) {
    Symbol s;
    s.name = elf_read_u32(image, p);
    if (image->is64) {
        s.info = p[4];
        s.shndx = elf_read_u16(image, p + 6);
        s.value = elf_read_u64(image, p + 8);
        s.size = elf_read_u64(image, p + 16);
    } else {
        s.value = elf_read_u32(image, p + 4);
        s.size = elf_read_u32(image, p + 8);
        s.info = p[12];
        s.shndx = elf_read_u16(image, p + 14);
    }
    return s;
}

// Name of a symbol when it lies NUL-terminated inside the string table, else null.
const char* symbol_name(const ElfImage* image, uint32_t at) {
    const ElfSection& strings = image->strtab;
    if (!strings.data || at >= strings.size) return nullptr;
    const char* text = reinterpret_cast<const char*>(strings.data + at);
    if (!memchr(text, 0, strings.size - at)) return nullptr;
    return text;
}

// A debug-information variable by address.
struct AddressIndex {
    uint64_t address;
    int32_t index;
};

int compare_addresses(const void* a, const void* b) {
    uint64_t x = static_cast<const AddressIndex*>(a)->address, y = static_cast<const AddressIndex*>(b)->address;
    return x < y ? -1 : x > y ? 1 : 0;
}

// The variables debug information described, sorted by address (malloc'd; null when none or
// out of memory).
AddressIndex* debug_addresses(const ElfImage* image, int32_t* out_count) {
    *out_count = 0;
    if (image->global_count == 0) return nullptr;
    AddressIndex* sorted = static_cast<AddressIndex*>(malloc(sizeof(AddressIndex) * static_cast<size_t>(image->global_count)));
    if (!sorted) return nullptr;
    for (int32_t i = 0; i < image->global_count; i++)
        if (image->globals[i].from_debug_info) sorted[(*out_count)++] = {image->globals[i].address, i};
    qsort(sorted, static_cast<size_t>(*out_count), sizeof(AddressIndex), compare_addresses);
    return sorted;
}

// Index of a debug-information variable at this address, or -1.
int32_t find_by_address(const AddressIndex* sorted, int32_t count, uint64_t address) {
    AddressIndex key = {address, 0};
    const void* hit = bsearch(&key, sorted, static_cast<size_t>(count), sizeof(AddressIndex), compare_addresses);
    return hit ? static_cast<const AddressIndex*>(hit)->index : -1;
}

}  // namespace

// The variable debug information defined by this linker name without a location, or null.
static const ElfLinkageVar* find_linkage_variable(const ElfImage* image, const char* symbol) {
    // Only C++ names are mangled: C symbols never need the walk.
    if (strncmp(symbol, "_Z", 2) != 0) return nullptr;
    for (const ElfLinkageVar* v = image->linkage_vars; v; v = v->next)
        if (strcmp(v->linkage_name, symbol) == 0) return v;
    return nullptr;
}

int32_t elf_global_append(ElfImage* image, const char* name, uint64_t address, uint64_t size,
                          TypeInfo* type, int32_t from_debug_info) {
    if (image->global_count >= image->global_capacity && !list_grow(image)) return -1;
    char* copy = elf_arena_strdup(image, name);
    if (!copy) return -1;
    int32_t index = image->global_count++;
    GlobalVar& v = image->globals[index];
    v.name = copy;
    v.address = address;
    v.size = size;
    v.type = type;
    v.from_debug_info = from_debug_info;
    uint32_t at = name_hash(copy) & image->global_hash_mask;
    while (image->global_hash[at]) at = (at + 1) & image->global_hash_mask;
    image->global_hash[at] = index + 1;
    return index;
}

// Lists the variable that debug information described by this symbol's linker name, under its
// debug name and type; -1 when the list cannot grow.
static int32_t append_described(ElfImage* image, const ElfLinkageVar* described, const Symbol& s) {
    uint64_t size = described->type && described->type->byte_size ? described->type->byte_size : s.size;
    return elf_global_append(image, described->name, s.value, size, described->type, 1);
}

void elf_collect_symbols(ElfImage* image) {
    const ElfSection& table = image->symtab;
    uint64_t step = image->sym_entsize;
    uint64_t need = image->is64 ? 24 : 16;
    // An entry size below the fields read would read past an entry; such a table is not used.
    if (!table.data || step < need) return;
    // A symbol at the address of a variable that debug information named otherwise (a C++
    // mangled name, a qualified name) is that variable, not a second one.
    int32_t debug_count = 0;
    AddressIndex* debug_sorted = debug_addresses(image, &debug_count);
    for (uint64_t at = 0; at <= table.size && table.size - at >= step; at += step) {
        Symbol s = read_symbol(image, table.data + at);
        unsigned type = s.info & 0x0F, binding = s.info >> 4;
        if (type != 1 || s.shndx == 0 || s.size == 0) continue;
        const char* name = symbol_name(image, s.name);
        if (!name || name[0] == '\0' || name[0] == '$') continue;
        if (binding != 1 && binding != 2) {
            // A local (or GNU unique) symbol is taken only to place an in-class constant that
            // debug information described by this very linker name: whole-program link-time
            // optimisation makes every symbol local.
            const ElfLinkageVar* described = find_linkage_variable(image, name);
            if (!described || elf_find_global(image, described->name) >= 0) continue;
            if (debug_sorted && find_by_address(debug_sorted, debug_count, s.value) >= 0) continue;
            if (append_described(image, described, s) < 0) break;
            continue;
        }
        // What the C++ compiler makes for itself (vtables, type information, guard variables)
        // is no variable of the program.
        if (strncmp(name, "_ZT", 3) == 0 || strncmp(name, "_ZGV", 4) == 0) continue;
        int32_t known = elf_find_global(image, name);
        if (known < 0 && debug_sorted) known = find_by_address(debug_sorted, debug_count, s.value);
        if (known >= 0) {
            if (image->globals[known].size == 0) image->globals[known].size = s.size;
            continue;
        }
        const ElfLinkageVar* described = find_linkage_variable(image, name);
        if (described && elf_find_global(image, described->name) < 0) {
            if (append_described(image, described, s) < 0) break;
            continue;
        }
        if (elf_global_append(image, name, s.value, s.size, nullptr, 0) < 0) break;
    }
    free(debug_sorted);
}

int32_t elf_global_count(const ElfImage* image) { return image ? image->global_count : 0; }

const GlobalVar* elf_global_at(const ElfImage* image, int32_t index) {
    if (!image || index < 0 || index >= image->global_count) return nullptr;
    return &image->globals[index];
}

int32_t elf_find_global(const ElfImage* image, const char* name) {
    if (!image || !name || image->global_count == 0 || !image->global_hash) return -1;
    uint32_t at = name_hash(name) & image->global_hash_mask;
    while (int32_t slot = image->global_hash[at]) {
        if (strcmp(image->globals[slot - 1].name, name) == 0) return slot - 1;
        at = (at + 1) & image->global_hash_mask;
    }
    return -1;
}
