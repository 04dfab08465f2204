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

// The type records the walk has visited in this run. Records are shared (the reader caches
// them), so a walk of the tree itself can be exponential in its depth; visiting each record once
// keeps the walk linear and still touches every record the image holds. Stamped per run, so
// nothing is cleared between runs.
constexpr uint32_t VISITED_SLOTS = 1u << 15;
struct VisitedTypes {
    const TypeInfo* record[VISITED_SLOTS];
    uint32_t stamp[VISITED_SLOTS];
    uint32_t run;
};
VisitedTypes g_visited;

// True the first time a record is seen in this run; false when seen before or the table is full
// (the walk then stops there: the fuzzer's own bookkeeping stays bounded).
__attribute__((no_sanitize("coverage"))) bool visit_first(const TypeInfo* t) {
    uint32_t slot = static_cast<uint32_t>((reinterpret_cast<uintptr_t>(t) >> 4) * 2654435761u) & (VISITED_SLOTS - 1);
    for (uint32_t probe = 0; probe < 64; probe++, slot = (slot + 1) & (VISITED_SLOTS - 1)) {
        if (g_visited.stamp[slot] != g_visited.run) {
            g_visited.stamp[slot] = g_visited.run;
            g_visited.record[slot] = t;
            return true;
        }
        if (g_visited.record[slot] == t) return false;
    }
    return false;
}

// Reads every field of every record reachable from t once. The walk is the harness's, not the
// reader's: it carries no coverage of its own, so the fuzzer's feedback is the reader's alone.
__attribute__((no_sanitize("coverage"))) size_t touch_type(const TypeInfo* t, int depth) {
    if (!t || depth > 64 || !visit_first(t)) return 0;
    size_t sum = t->byte_size + t->bit_offset + t->bit_size + static_cast<size_t>(t->kind);
    if (t->name) sum += strlen(t->name);
    for (int32_t i = 0; i < t->child_count; i++) sum += touch_type(t->children[i], depth + 1);
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = elf_open_view(data, size, error, sizeof error);
    if (!image) return 0;
    ASAN_POISON_MEMORY_REGION(data, size);
    volatile size_t sink = strlen(elf_machine_name(image)) + static_cast<size_t>(elf_bits(image));
    if (++g_visited.run == 0) {  // the stamps wrapped: start the table over
        memset(&g_visited, 0, sizeof g_visited);
        g_visited.run = 1;
    }
    for (int32_t i = 0; i < elf_global_count(image); i++) {
        const GlobalVar* v = elf_global_at(image, i);
        sink = sink + strlen(v->name) + v->size + touch_type(v->type, 0);
        if (elf_find_global(image, v->name) < 0) __builtin_trap();  // every listed name is found
    }
    (void)sink;
    elf_close(image);
    ASAN_UNPOISON_MEMORY_REGION(data, size);  // libFuzzer's own buffer again
    return 0;
}
