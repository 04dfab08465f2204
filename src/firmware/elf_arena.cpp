// elf_arena.cpp - the image arena: every string, type record and the variable list made while
// reading an image come from here and are freed together with the image.
//
// Small requests are cut from 64 KiB chunks (one allocation per chunk rather than per record:
// a large image makes hundreds of thousands of records); a request larger than a quarter chunk
// gets a chunk of its own. Every chunk is zero-filled and pushed at the head of the list.
#include <cstdlib>
#include <cstring>

#include "firmware/elf.h"

struct ArenaChunk {
    ArenaChunk* next;
    size_t size;               // usable bytes after the header
    size_t used;
};

namespace {

constexpr size_t kChunkSize = 64 * 1024;
constexpr size_t kAlign = 16;
constexpr size_t kHeader = (sizeof(ArenaChunk) + kAlign - 1) & ~(kAlign - 1);

uint8_t* chunk_bytes(ArenaChunk* chunk) { return reinterpret_cast<uint8_t*>(chunk) + kHeader; }

ArenaChunk* chunk_new(ElfImage* image, size_t size) {
    if (size > SIZE_MAX - kHeader) return nullptr;
    ArenaChunk* chunk = static_cast<ArenaChunk*>(calloc(1, kHeader + size));
    if (!chunk) return nullptr;
    chunk->size = size;
    chunk->next = image->arena;
    image->arena = chunk;
    return chunk;
}

}  // namespace

void* elf_arena_alloc(ElfImage* image, size_t size) {
    if (!image) return nullptr;
    if (size == 0) size = 1;
    if (size > SIZE_MAX - kAlign) return nullptr;
    size_t rounded = (size + kAlign - 1) & ~(kAlign - 1);
    if (rounded > kChunkSize / 4) {
        // Own chunk, pushed behind the current one so the current chunk keeps serving.
        ArenaChunk* own = chunk_new(image, rounded);
        if (!own) return nullptr;
        own->used = rounded;
        if (own->next) {
            image->arena = own->next;
            own->next = image->arena->next;
            image->arena->next = own;
        }
        return chunk_bytes(own);
    }
    ArenaChunk* chunk = image->arena;
    if (!chunk || chunk->size - chunk->used < rounded) {
        chunk = chunk_new(image, kChunkSize);
        if (!chunk) return nullptr;
    }
    void* block = chunk_bytes(chunk) + chunk->used;
    chunk->used += rounded;
    return block;
}

char* elf_arena_strdup(ElfImage* image, const char* text) {
    if (!text) text = "";
    size_t len = strlen(text);
    char* copy = static_cast<char*>(elf_arena_alloc(image, len + 1));
    if (copy) memcpy(copy, text, len);
    return copy;
}

void elf_arena_free_all(ElfImage* image) {
    ArenaChunk* chunk = image->arena;
    while (chunk) {
        ArenaChunk* next = chunk->next;
        free(chunk);
        chunk = next;
    }
    image->arena = nullptr;
}
