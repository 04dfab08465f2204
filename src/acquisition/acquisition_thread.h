// acquisition_thread.h - the polling thread and its block-merging arithmetic.
#pragma once
#include <cstdint>

// One leaf to read in a cycle: id, address and byte count (1..64).
struct ReadItem {
    int32_t leaf_id;
    uint64_t address;
    uint32_t size;
};

// Gap and span limits of block merging for a probe clock in kHz (4000 when <= 0).
void acq_merge_limits(int32_t speed_khz, uint32_t* gap, uint32_t* span);
// Sorts the items by address (ascending, unsigned).
void acq_sort_items(ReadItem* items, int32_t count);
// One merged block: items [first, first + count) of the sorted list, read from `base`.
struct ReadBlock {
    int32_t first;
    int32_t count;
    uint64_t base;
    uint64_t length;   // largest (address + size - base) over the block's items
};
// Groups sorted items into blocks; writes at most `capacity` blocks, returns how many there are.
int32_t acq_group_blocks(const ReadItem* items, int32_t count, uint32_t gap, uint32_t span, ReadBlock* out,
                         int32_t capacity);
// Builds the read list from the watched leaves (ids below 4096, sizes clamped to 1..64).
int32_t acq_build_read_list(ReadItem* items, int32_t capacity);

// The thread body of one acquisition run; returns 0, or 1 when its memory could not be had.
int acquisition_thread_main(uint32_t generation);
// The probe clock the merge limits follow (kHz); the toolbar's speed sets it.
int32_t acquisition_probe_speed_khz();
