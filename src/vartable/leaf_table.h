// leaf_table.h - the leaf table: every addressable scalar (or short string) of the current
// firmware image, one flat dotted name each ("motor.pid.kp", "buf[3]").
//
// Ids are indexes and are reassigned on every rebuild; holders keep names and rebind with
// leaf_find after a reload. The table is one static record.
//
// Threads:
//   - Rebuild, leaf_add and leaf_flatten run on the main thread only.
//   - leaf_add_remote may be called from any thread. On the main thread it appends at once;
//     from another thread it queues the addition (lock-free) and the main thread appends it in
//     leaf_remote_apply_pending, which the main window calls on WM_APP + 44 and which every
//     rebuild calls at its end. So a rebuild never sees a half-appended remote leaf and a
//     remote addition that arrives during a rebuild is not lost.
//   - leaf_remote_upsert is the thread-safe form of "move the leaf of this name to this address,
//     or add it": the network merge uses it for leaves whose address changed.
//   - The watched flag and the watched count are atomic (the acquisition thread reads them).
//   - leaf_count publishes with release order after the slot is complete, so a reader that
//     checks the count never sees a half-made leaf.
#pragma once
#include <cstddef>
#include <cstdint>

#include "firmware/elf.h"
#include "firmware/types.h"
#include "vartable/sample.h"

// Index into the leaf table; -1 means none.
typedef int32_t LeafId;

enum : int32_t {
    LEAF_NONE = -1,
    LEAF_CAPACITY = 4096,
    LEAF_NAME_CAPACITY = 256,        // 255 bytes of UTF-8 text and the terminator
    LEAF_ENUM_CAPACITY = 64,
    LEAF_ENUM_NAME_CAPACITY = 64,    // 63 bytes of text and the terminator
    LEAF_ARRAY_LIMIT = 1024,         // elements of one array that get leaves
    LEAF_STRING_MIN_ELEMENTS = 17,   // a byte array at least this long is one string leaf
    LEAF_FLATTEN_MAX_DEPTH = 64,
    LEAF_FLATTEN_NAME_CAPACITY = 300,
    MISSING_CAPACITY = 64,
    REMOTE_VAR_CAPACITY = 256,
};

// One enumerator copied into a leaf: name and value.
struct LeafEnumerator {
    char name[LEAF_ENUM_NAME_CAPACITY];
    int64_t value;
};
static_assert(sizeof(LeafEnumerator) == 72, "LeafEnumerator layout");

// One addressable variable of the table (fixed layout: modules receive leaves by address).
struct VarLeaf {
    int32_t id;                      // equal to the leaf's index
    char name[LEAF_NAME_CAPACITY];   // UTF-8, NUL-terminated
    uint64_t address;                // target address
    uint32_t size;                   // bytes, at least 1
    TypeKind kind;
    int32_t is_signed;
    int32_t is_pointer;              // integer values are shown in hexadecimal
    int32_t is_bitfield;
    uint8_t bit_offset;              // shift from the least significant bit of the unit
    uint8_t bit_size;
    LeafEnumerator enumerators[LEAF_ENUM_CAPACITY];
    int32_t enumerator_count;        // 0 to 64
    int32_t watched;                 // atomic: use leaf_is_watched / leaf_set_watched
    Sample last_sample;              // written by the sample hand-off; zero before any sample
    int32_t remote;                  // 1 for a leaf made from a network peer's variable
};
static_assert(offsetof(VarLeaf, name) == 4 && offsetof(VarLeaf, address) == 264, "VarLeaf layout");
static_assert(offsetof(VarLeaf, size) == 272 && offsetof(VarLeaf, bit_offset) == 292, "VarLeaf layout");
static_assert(offsetof(VarLeaf, enumerators) == 296 && offsetof(VarLeaf, enumerator_count) == 4904,
              "VarLeaf layout");
static_assert(offsetof(VarLeaf, watched) == 4908 && offsetof(VarLeaf, last_sample) == 4912, "VarLeaf layout");
static_assert(offsetof(VarLeaf, remote) == 5032 && sizeof(VarLeaf) == 5040, "VarLeaf layout");

// The process-wide table: 4096 slots, the leaf count and the watched count (both atomic).
struct LeafTable {
    VarLeaf leaves[LEAF_CAPACITY];
    int32_t count;
    int32_t watched_count;
};

// One variable a network peer announced (the remote variable list).
struct RemoteVar {
    char name[LEAF_NAME_CAPACITY];
    uint64_t address;
    uint32_t size;
};

// ---- Lookups (any thread; see the note above on rebuilds) ---------------------------------
int32_t leaf_count();
// The leaf of an id, or null when the id is outside [0, count).
VarLeaf* leaf_at(LeafId id);
// First leaf whose name equals the UTF-8 text exactly (case-sensitive), or -1.
LeafId leaf_find(const char* name);
// Leaves whose name begins with the text (ASCII case ignored) or contains it (exact case), in
// table order, at most `maximum`; returns the number of ids written.
int32_t leaf_search(const char* text, int32_t maximum, LeafId* out_ids);

// ---- Watching (the watch count belongs to the watch list of the acquisition side) ----------
// Sets or clears the watched flag and keeps the watched count; 0, or -1 for an id outside the table.
int leaf_set_watched(LeafId id, int on);
// Atomic read of a leaf's watched flag (0 for a null leaf).
int leaf_is_watched(const VarLeaf* leaf);
// Sets the flag with one atomic exchange, without touching the count (--watch=); follow with
// leaf_watch_recount. Ids outside the table are ignored.
void leaf_watch_flag_set(LeafId id);
// Counts the watched flags over the whole table and stores the result as the watched count.
void leaf_watch_recount();
// Stores the flag (0 or 1) with one atomic exchange and returns the previous flag, without
// touching the count (host_set_watched recounts); -1 for an id outside the table.
int32_t leaf_watch_exchange(LeafId id, int32_t on);
// The watched count (atomic read) and its store (for setters that recount themselves).
int32_t leaf_watched_count();
void leaf_watched_count_store(int32_t count);

// ---- Building (main thread) ------------------------------------------------------------------
// Appends one leaf; nothing when the table is full. `enumeration` (or null) supplies enumerators.
void leaf_add(const char* name, uint64_t address, uint32_t size, TypeKind kind, int32_t is_signed,
              int32_t is_pointer, int32_t is_bitfield, uint8_t bit_offset, uint8_t bit_size,
              const TypeInfo* enumeration);
// Appends the leaves of one variable of this type at this address under this name (depth 0).
void leaf_flatten(const TypeInfo* type, uint64_t address, const char* name, int depth);
// Rebuilds from the current image (see elf_load_command), re-watching the formerly watched
// names; returns the new leaf count.
int32_t leaf_table_rebuild();
// Changes with every rebuild (odd while one runs): holders of ids compare it to know they are stale.
uint32_t leaf_table_epoch();
// The id now naming the leaf that a holder took as `id` named `name` while the epoch was `epoch`:
// `id` itself while no rebuild has run since, else the leaf found again by name; -1 when that name
// is gone (or the id is outside the table). Dialogs that stay open across a reload prompt use it.
LeafId leaf_id_after_rebuild(LeafId id, const char* name, uint32_t epoch);
// Same from a given image (null: an empty table).
int32_t leaf_table_rebuild_from(const ElfImage* image);
// Names of formerly watched leaves that the last rebuild did not find (at most 64).
int32_t missing_count();
// The i-th missing name, or null outside [0, count).
const char* missing_name(int32_t index);

// ---- Remote leaves (any thread) ----------------------------------------------------------
// Appends one remote leaf (size 0 -> 4, above 8 -> 8; kind int for 1/2/4/8 bytes, else uint;
// signed). From another thread the addition is queued for the main thread.
void leaf_add_remote(const char* name, uint64_t address, uint32_t size);
// The leaf of that name gets the address, or a remote leaf is added when there is none.
// From another thread the change is queued for the main thread.
void leaf_remote_upsert(const char* name, uint64_t address, uint32_t size);
// Main thread: applies queued remote additions in arrival order; returns how many were applied.
int32_t leaf_remote_apply_pending();
// Number of queued remote changes not yet applied (any thread; a snapshot).
int32_t leaf_remote_pending_count();

// The remote variable list (kept by the network merge, re-applied by every rebuild). Appends
// and updates may come from any thread; entries are published only when complete.
int32_t remote_var_count();
// Copies entry i; 0, or -1 outside [0, count).
int remote_var_at(int32_t index, RemoteVar* out);
// Index of the entry with exactly this name, or -1.
int32_t remote_var_find(const char* name);
// Appends an entry (name cut to 255 bytes); its index, or -1 when the list holds 256 entries.
int32_t remote_var_append(const char* name, uint64_t address, uint32_t size);
// Changes the address and size of entry i; 0, or -1 outside [0, count).
int remote_var_update(int32_t index, uint64_t address, uint32_t size);

// Tests and shut-down: empties the table, the missing list, the remote list and the queue.
void leaf_table_reset();
