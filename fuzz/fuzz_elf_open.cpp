// libFuzzer entry: any bytes handed to the ELF reader must open or fail cleanly, never crash,
// hang or read outside the buffer. The bytes are opened as the program opens a mapped file, and
// are poisoned once the open returns (the program unmaps the file then): a successful open is
// walked through every accessor and every type record, and any pointer the image kept into the
// bytes is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <sanitizer/asan_interface.h>

#include "firmware/elf.h"

namespace {

// Visits a type tree. Type records are shared (the reader caches them), so a walk of the tree
// can be exponential in its depth: the depth limit and a per-input visit budget keep the fuzzer's
// own walk bounded.
size_t touch_type(const TypeInfo* t, int depth, size_t* budget) {
    if (!t || depth > 64 || *budget == 0) return 0;
    --*budget;
    size_t sum = t->byte_size + t->bit_offset + t->bit_size + static_cast<size_t>(t->kind);
    if (t->name) sum += strlen(t->name);
    for (int32_t i = 0; i < t->child_count; i++) sum += touch_type(t->children[i], depth + 1, budget);
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = elf_open_view(data, size, error, sizeof error);
    if (!image) return 0;
    ASAN_POISON_MEMORY_REGION(data, size);
    volatile size_t sink = strlen(elf_machine_name(image)) + static_cast<size_t>(elf_bits(image));
    size_t budget = 1u << 18;
    for (int32_t i = 0; i < elf_global_count(image); i++) {
        const GlobalVar* v = elf_global_at(image, i);
        sink = sink + strlen(v->name) + v->size + touch_type(v->type, 0, &budget);
        if (elf_find_global(image, v->name) < 0) __builtin_trap();  // every listed name is found
    }
    (void)sink;
    elf_close(image);
    ASAN_UNPOISON_MEMORY_REGION(data, size);  // libFuzzer's own buffer again
    return 0;
}
