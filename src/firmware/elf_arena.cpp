// elf_arena.cpp - the image arena: every string and type record made while reading an image
// comes from here and is freed together with the image.
//
// Small requests are cut from chunks (one allocation per chunk rather than per record: a large
// image makes hundreds of thousands of records); a request larger than a quarter of the first
// chunk size gets a block of its own. Chunks come straight from the system with their pages
// made resident in one call (platform_alloc_pages): a record is written as soon as it is cut, so
// faulting the pages in one at a time would only cost a trap per page. The first chunk of an
// image is 64 KiB, each further one twice the last up to 1 MiB, so a small image keeps a small
// arena and a large one at most one partly used megabyte. Every block is zero-filled and pushed
// at the head of the list.
//
// Reopening. A firmware is opened again at every rebuild, and mapping a first chunk only to
// unmap it at close costs a system call each way and, on unmap, a flush of every processor's
// address cache. The first chunk of a closed image is kept as a spare (one, process-wide) and
// handed to the next image with only the bytes the last one used cleared again.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "core/platform.h"
#include "firmware/elf.h"

// One block of the arena: the header at the start of the system block.
struct ArenaChunk {
    ArenaChunk* next;
    size_t size;               // usable bytes after the header
    size_t used;
};

namespace {

constexpr size_t kFirstChunk = 64 * 1024;
constexpr size_t kLargestChunk = 1024 * 1024;
constexpr size_t kOwnBlockAbove = kFirstChunk / 4;
constexpr size_t kAlign = 16;
constexpr size_t kHeader = (sizeof(ArenaChunk) + kAlign - 1) & ~(kAlign - 1);

uint8_t* chunk_bytes(ArenaChunk* chunk) { return reinterpret_cast<uint8_t*>(chunk) + kHeader; }

// The kept first chunk of a closed image (zero-filled), or null. Images open on any thread.
std::atomic<ArenaChunk*> g_spare_first_chunk{nullptr};

// A block of kHeader + size bytes from the system (or the spare first chunk), pushed at the head
// of the list.
ArenaChunk* chunk_new(ElfImage* image, size_t size) {
    if (size > SIZE_MAX - kHeader) return nullptr;
    ArenaChunk* chunk = nullptr;
    if (kHeader + size == kFirstChunk) chunk = g_spare_first_chunk.exchange(nullptr, std::memory_order_acquire);
    if (!chunk) chunk = static_cast<ArenaChunk*>(platform_alloc_pages(kHeader + size));
    if (!chunk) return nullptr;
    chunk->size = size;
    chunk->used = 0;
    chunk->next = image->arena;
    image->arena = chunk;
    return chunk;
}

// Usable size of the next chunk: twice the current one, from 64 KiB up to 1 MiB in all.
size_t next_chunk_size(const ArenaChunk* current) {
    size_t total = current ? (current->size + kHeader) * 2 : kFirstChunk;
    if (total > kLargestChunk) total = kLargestChunk;
    return total - kHeader;
}

}  // namespace

void* elf_arena_alloc(ElfImage* image, size_t size) {
    if (!image) return nullptr;
    if (size == 0) size = 1;
    if (size > SIZE_MAX - kAlign) return nullptr;
    size_t rounded = (size + kAlign - 1) & ~(kAlign - 1);
    if (rounded > kOwnBlockAbove) {
        // Own block, pushed behind the current chunk so the current chunk keeps serving.
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
        // Sized from the last chunk cut from (own blocks sit behind it, never at the head).
        chunk = chunk_new(image, next_chunk_size(chunk));
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
        bool kept = false;
        if (kHeader + chunk->size == kFirstChunk) {
            // Zero-filled again before it is offered: the next image's blocks are cut unwritten.
            memset(chunk_bytes(chunk), 0, chunk->used);
            ArenaChunk* none = nullptr;
            kept = g_spare_first_chunk.compare_exchange_strong(none, chunk, std::memory_order_release);
        }
        if (!kept) platform_free_pages(chunk, kHeader + chunk->size);
        chunk = next;
    }
    image->arena = nullptr;
}
