// leaf_table.cpp - the leaf table: flattening of the image's variables, remote leaves, the
// rebuild with re-watching by name, lookups and the watched flags.
//
// Index
//   [SECTION] State
//   [SECTION] Lookups
//   [SECTION] Watching
//   [SECTION] Adding and flattening
//   [SECTION] Rebuild
//   [SECTION] Remote leaves and the hand-over queue
//   [SECTION] Remote variable list
#include "vartable/leaf_table.h"

#include <atomic>
#include <cstring>
#include <thread>

#include "core/log.h"
#include "core/platform.h"
#include "core/text.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] State
//-------------------------------------------------------------------------------------------------

namespace {

LeafTable g_table;

// Odd while a rebuild runs; lookups from other threads retry around it.
std::atomic<uint32_t> g_rebuild_epoch;

// Names of formerly watched leaves that the last rebuild did not find.
char g_missing[MISSING_CAPACITY][LEAF_NAME_CAPACITY];
int32_t g_missing_count;

// Watched names saved at the start of a rebuild (main thread only).
char g_saved_names[LEAF_CAPACITY][LEAF_NAME_CAPACITY];

std::atomic_ref<int32_t> count_ref() { return std::atomic_ref<int32_t>(g_table.count); }
std::atomic_ref<int32_t> watched_count_ref() { return std::atomic_ref<int32_t>(g_table.watched_count); }
std::atomic_ref<int32_t> watched_ref(VarLeaf* leaf) { return std::atomic_ref<int32_t>(leaf->watched); }

int32_t count_acquire() { return count_ref().load(std::memory_order_acquire); }

bool on_main_thread() { return platform()->on_main_thread(); }

void add_remote_now(const char* name, uint64_t address, uint32_t size);

// Runs a read-only lookup; off the main thread it is repeated until no rebuild overlapped it.
template <typename F>
auto stable_lookup(F lookup) -> decltype(lookup()) {
    if (on_main_thread()) return lookup();
    for (;;) {
        uint32_t before = g_rebuild_epoch.load(std::memory_order_acquire);
        if (before & 1u) {
            std::this_thread::yield();
            continue;
        }
        auto result = lookup();
        // A sequentially consistent re-read orders the lookup's reads before it (ThreadSanitizer
        // does not model stand-alone fences).
        if (g_rebuild_epoch.load(std::memory_order_seq_cst) == before) return result;
    }
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Lookups
//-------------------------------------------------------------------------------------------------

uint32_t leaf_table_epoch() { return g_rebuild_epoch.load(std::memory_order_acquire); }

LeafId leaf_id_after_rebuild(LeafId id, const char* name, uint32_t epoch) {
    if (leaf_table_epoch() != epoch) return name && name[0] ? leaf_find(name) : -1;
    return leaf_at(id) ? id : -1;
}

int32_t leaf_count() { return count_acquire(); }

VarLeaf* leaf_at(LeafId id) {
    if (id < 0 || id >= count_acquire()) return nullptr;
    return &g_table.leaves[id];
}

namespace {

LeafId find_unlocked(const char* name) {
    int32_t n = count_acquire();
    for (int32_t i = 0; i < n; i++)
        if (strcmp(g_table.leaves[i].name, name) == 0) return i;
    return LEAF_NONE;
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

bool starts_with_ignoring_case(const char* name, const char* prefix, size_t prefix_len) {
    for (size_t i = 0; i < prefix_len; i++) {
        if (!name[i] || ascii_lower(name[i]) != ascii_lower(prefix[i])) return false;
    }
    return true;
}

}  // namespace

LeafId leaf_find(const char* name) {
    if (!name) return LEAF_NONE;
    return stable_lookup([name] { return find_unlocked(name); });
}

int32_t leaf_search(const char* text, int32_t maximum, LeafId* out_ids) {
    if (!text || !text[0] || maximum < 1 || !out_ids) return 0;
    size_t text_len = strlen(text);
    return stable_lookup([=] {
        int32_t found = 0;
        int32_t n = count_acquire();
        for (int32_t i = 0; i < n && found < maximum; i++) {
            const char* name = g_table.leaves[i].name;
            if (starts_with_ignoring_case(name, text, text_len) || strstr(name, text)) out_ids[found++] = i;
        }
        return found;
    });
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Watching
//-------------------------------------------------------------------------------------------------

int leaf_set_watched(LeafId id, int on) {
    VarLeaf* leaf = leaf_at(id);
    if (!leaf) return -1;
    int32_t want = on ? 1 : 0;
    // The exchange tells exactly whether this call changed the flag, so concurrent setters
    // cannot count the same change twice.
    int32_t was = watched_ref(leaf).exchange(want, std::memory_order_acq_rel);
    if (!was && want) watched_count_ref().fetch_add(1, std::memory_order_acq_rel);
    if (was && !want) watched_count_ref().fetch_sub(1, std::memory_order_acq_rel);
    return 0;
}

int leaf_is_watched(const VarLeaf* leaf) {
    if (!leaf) return 0;
    return std::atomic_ref<int32_t>(const_cast<VarLeaf*>(leaf)->watched).load(std::memory_order_acquire) ? 1 : 0;
}

void leaf_watch_flag_set(LeafId id) { leaf_watch_exchange(id, 1); }

int32_t leaf_watch_exchange(LeafId id, int32_t on) {
    VarLeaf* leaf = leaf_at(id);
    if (!leaf) return -1;
    return watched_ref(leaf).exchange(on ? 1 : 0, std::memory_order_acq_rel) ? 1 : 0;
}

void leaf_watched_count_store(int32_t count) { watched_count_ref().store(count, std::memory_order_release); }

void leaf_watch_recount() {
    int32_t n = count_acquire(), watched = 0;
    for (int32_t i = 0; i < n; i++) watched += leaf_is_watched(&g_table.leaves[i]);
    leaf_watched_count_store(watched);
}

int32_t leaf_watched_count() { return watched_count_ref().load(std::memory_order_acquire); }

//-------------------------------------------------------------------------------------------------
// [SECTION] Adding and flattening
//-------------------------------------------------------------------------------------------------

namespace {

// Clears the next free slot and gives it its id; null when the table is full. The slot becomes
// visible only through publish_slot.
VarLeaf* begin_slot() {
    int32_t n = count_acquire();
    if (n >= LEAF_CAPACITY) return nullptr;
    VarLeaf* leaf = &g_table.leaves[n];
    memset(leaf, 0, sizeof *leaf);
    leaf->id = n;
    return leaf;
}

void publish_slot(const VarLeaf* leaf) { count_ref().store(leaf->id + 1, std::memory_order_release); }

void copy_enumerators(VarLeaf* leaf, const TypeInfo* enumeration) {
    if (!enumeration || !enumeration->children) return;
    for (int32_t i = 0; i < enumeration->child_count && leaf->enumerator_count < LEAF_ENUM_CAPACITY; i++) {
        const TypeInfo* e = enumeration->children[i];
        if (!e) continue;
        LeafEnumerator* slot = &leaf->enumerators[leaf->enumerator_count++];
        text_copy(slot->name, sizeof slot->name, e->name ? e->name : "");
        slot->value = e->enum_value;
    }
}

uint32_t at_least_one(uint32_t size) { return size ? size : 1; }

bool is_aggregate(TypeKind kind) { return kind == TYPE_STRUCT || kind == TYPE_UNION; }

// One leaf for a bit-field member: its storage unit (1 to 8 bytes, chosen by the reader) shifted
// and masked. Enumerations keep their enumerators and bools stay bools; every other field reads
// as a signed or unsigned integer. A field that no 8-byte unit holds gets no leaf.
void add_bitfield_leaf(const TypeInfo* m, uint64_t address, const char* name) {
    if (m->byte_size < 1 || m->byte_size > 8) {
        log_printf(LOG_WARN, "位域 %s 跨越 %u 字节，超出 8 字节读写单元，未建立叶子", name, (unsigned)m->byte_size);
        return;
    }
    TypeKind kind = m->kind == TYPE_ENUM || m->kind == TYPE_BOOL ? m->kind : m->is_signed ? TYPE_INT : TYPE_UINT;
    leaf_add(name, address, m->byte_size, kind, m->is_signed, 0, 1, m->bit_offset, m->bit_size,
             kind == TYPE_ENUM ? m : nullptr);
}

void flatten_members(const TypeInfo* type, uint64_t address, const char* name, int depth) {
    for (int32_t i = 0; i < type->child_count; i++) {
        const TypeInfo* m = type->children[i];
        if (!m) continue;
        uint64_t member_address = address + m->member_offset;
        bool named = m->name && m->name[0];
        // Members of an anonymous structure or union are named as members of the parent (s.x),
        // as the language and debuggers name them.
        if (!named && is_aggregate(m->kind) && !m->is_bitfield) {
            leaf_flatten(m, member_address, name, depth + 1);
            continue;
        }
        char member_name[LEAF_FLATTEN_NAME_CAPACITY];
        text_printf(member_name, sizeof member_name, type_member_needs_quotes(m->name) ? "%s.'%s'" : "%s.%s", name,
                    named ? m->name : "anon");
        if (m->is_bitfield) add_bitfield_leaf(m, member_address, member_name);
        else leaf_flatten(m, member_address, member_name, depth + 1);
    }
}

void flatten_array(const TypeInfo* type, uint64_t address, const char* name, int depth) {
    const TypeInfo* element = type->children[0];
    int32_t n = type->element_count < 0 ? 0 : type->element_count;
    // Only text is one leaf: arrays of int8_t, bool or one-byte enums are numbers, element by element.
    if (element->is_char && element->byte_size == 1 && n >= LEAF_STRING_MIN_ELEMENTS) {
        leaf_add(name, address, (uint32_t)n, TYPE_STRING, 0, 0, 0, 0, 0, nullptr);
        return;
    }
    if (n > LEAF_ARRAY_LIMIT) n = LEAF_ARRAY_LIMIT;
    uint32_t stride = at_least_one(element->byte_size);
    for (int32_t i = 0; i < n; i++) {
        if (count_acquire() >= LEAF_CAPACITY) return;
        char element_name[LEAF_FLATTEN_NAME_CAPACITY];
        text_printf(element_name, sizeof element_name, "%s[%d]", name, i);
        uint64_t element_address = address + (uint64_t)i * stride;
        if (is_aggregate(element->kind) || element->kind == TYPE_ARRAY) {
            leaf_flatten(element, element_address, element_name, depth + 1);
        } else {
            leaf_add(element_name, element_address, stride, element->kind, element->is_signed,
                     element->is_pointer, 0, 0, 0, element->kind == TYPE_ENUM ? element : nullptr);
        }
    }
}

}  // namespace

void leaf_add(const char* name, uint64_t address, uint32_t size, TypeKind kind, int32_t is_signed,
              int32_t is_pointer, int32_t is_bitfield, uint8_t bit_offset, uint8_t bit_size,
              const TypeInfo* enumeration) {
    VarLeaf* leaf = begin_slot();
    if (!leaf) return;
    text_copy(leaf->name, sizeof leaf->name, name);
    leaf->address = address;
    leaf->size = at_least_one(size);
    leaf->kind = kind;
    leaf->is_signed = is_signed;
    leaf->is_pointer = is_pointer;
    leaf->is_bitfield = is_bitfield;
    leaf->bit_offset = bit_offset;
    leaf->bit_size = bit_size;
    copy_enumerators(leaf, enumeration);
    publish_slot(leaf);
}

void leaf_flatten(const TypeInfo* type, uint64_t address, const char* name, int depth) {
    if (depth > LEAF_FLATTEN_MAX_DEPTH || count_acquire() >= LEAF_CAPACITY || !type) return;
    if (!name) name = "";
    bool has_children = type->child_count > 0 && type->children;
    if (is_aggregate(type->kind) && has_children) {
        flatten_members(type, address, name, depth);
    } else if (type->kind == TYPE_ARRAY && has_children && type->children[0]) {
        flatten_array(type, address, name, depth);
    } else if (is_aggregate(type->kind) || type->kind == TYPE_ARRAY) {
        leaf_add(name, address, at_least_one(type->byte_size), TYPE_OTHER, 0, 0, 0, 0, 0, nullptr);
    } else {
        leaf_add(name, address, at_least_one(type->byte_size), type->kind, type->is_signed, type->is_pointer, 0,
                 0, 0, type->kind == TYPE_ENUM ? type : nullptr);
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Rebuild
//-------------------------------------------------------------------------------------------------

namespace {

int32_t save_watched_names() {
    int32_t n = count_acquire(), saved = 0;
    for (int32_t i = 0; i < n; i++) {
        if (leaf_is_watched(&g_table.leaves[i])) text_copy(g_saved_names[saved++], LEAF_NAME_CAPACITY, g_table.leaves[i].name);
    }
    return saved;
}

void flatten_image(const ElfImage* image) {
    for (int32_t i = 0; i < elf_global_count(image); i++) {
        const GlobalVar* v = elf_global_at(image, i);
        if (v->type) {
            leaf_flatten(v->type, v->address, v->name, 0);
        } else {
            leaf_add(v->name, v->address, v->size ? (uint32_t)v->size : 4, TYPE_OTHER, 0, 0, 0, 0, 0, nullptr);
        }
    }
}

void rewatch(int32_t saved) {
    g_missing_count = 0;
    for (int32_t i = 0; i < saved; i++) {
        LeafId id = find_unlocked(g_saved_names[i]);
        if (id >= 0) {
            watched_ref(&g_table.leaves[id]).store(1, std::memory_order_release);
            watched_count_ref().fetch_add(1, std::memory_order_acq_rel);
        } else if (g_missing_count < MISSING_CAPACITY) {
            text_copy(g_missing[g_missing_count++], LEAF_NAME_CAPACITY, g_saved_names[i]);
        }
    }
}

void apply_remote_list() {
    int32_t n = remote_var_count();
    for (int32_t i = 0; i < n; i++) {
        RemoteVar v;
        if (remote_var_at(i, &v) != 0) continue;
        LeafId id = find_unlocked(v.name);
        if (id >= 0) {
            std::atomic_ref<uint64_t>(g_table.leaves[id].address).store(v.address, std::memory_order_relaxed);
        } else {
            add_remote_now(v.name, v.address, v.size);
        }
    }
}

}  // namespace

int32_t leaf_table_rebuild_from(const ElfImage* image) {
    int32_t saved = save_watched_names();
    g_rebuild_epoch.fetch_add(1, std::memory_order_acq_rel);
    count_ref().store(0, std::memory_order_release);
    watched_count_ref().store(0, std::memory_order_release);
    if (image) {
        flatten_image(image);
        rewatch(saved);
        apply_remote_list();
    }
    g_rebuild_epoch.fetch_add(1, std::memory_order_acq_rel);
    if (!image) return 0;
    // Remote changes that arrived while the table was being rebuilt.
    leaf_remote_apply_pending();
    int32_t n = count_acquire();
    log_printf(LOG_INFO, "ELF 变量表重建: %d 个叶子（原观测 %d 个，缺失 %d 个）", n, saved, g_missing_count);
    return n;
}

int32_t missing_count() { return g_missing_count; }

const char* missing_name(int32_t index) {
    if (index < 0 || index >= g_missing_count) return nullptr;
    return g_missing[index];
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Remote leaves and the hand-over queue
//-------------------------------------------------------------------------------------------------

namespace {

enum : int32_t { PENDING_CAPACITY = 4096, PENDING_ADD = 1, PENDING_UPSERT = 2 };

// One queued remote change. `turn` is 2 * lap while the slot waits for the writer of that lap
// and 2 * lap + 1 once the writer has filled it (a zero-filled slot waits for lap 0).
struct PendingRemote {
    std::atomic<uint64_t> turn;
    int32_t op;
    uint32_t size;
    uint64_t address;
    char name[LEAF_NAME_CAPACITY];
};

PendingRemote g_pending[PENDING_CAPACITY];
std::atomic<uint64_t> g_pending_head;  // next position to write (any thread)
std::atomic<uint64_t> g_pending_tail;  // next position to read (main thread)

// Lock-free multi-producer push; false when the queue is full.
bool pending_push(int32_t op, const char* name, uint64_t address, uint32_t size) {
    uint64_t pos = g_pending_head.load(std::memory_order_relaxed);
    PendingRemote* slot;
    uint64_t lap;
    for (;;) {
        slot = &g_pending[pos % PENDING_CAPACITY];
        lap = pos / PENDING_CAPACITY;
        uint64_t turn = slot->turn.load(std::memory_order_acquire);
        if (turn == 2 * lap) {
            if (g_pending_head.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
        } else if (turn < 2 * lap) {
            return false;  // the slot still holds (or awaits) an entry of the previous lap
        } else {
            pos = g_pending_head.load(std::memory_order_relaxed);
        }
    }
    slot->op = op;
    slot->size = size;
    slot->address = address;
    text_copy(slot->name, sizeof slot->name, name);
    slot->turn.store(2 * lap + 1, std::memory_order_release);
    return true;
}

// Single-consumer pop (main thread); false when empty.
bool pending_pop(int32_t* op, char* name, uint64_t* address, uint32_t* size) {
    uint64_t pos = g_pending_tail.load(std::memory_order_relaxed);
    PendingRemote* slot = &g_pending[pos % PENDING_CAPACITY];
    uint64_t lap = pos / PENDING_CAPACITY;
    if (slot->turn.load(std::memory_order_acquire) != 2 * lap + 1) return false;
    *op = slot->op;
    *size = slot->size;
    *address = slot->address;
    text_copy(name, LEAF_NAME_CAPACITY, slot->name);
    slot->turn.store(2 * (lap + 1), std::memory_order_release);
    g_pending_tail.store(pos + 1, std::memory_order_release);
    return true;
}

void add_remote_now(const char* name, uint64_t address, uint32_t size) {
    VarLeaf* leaf = begin_slot();
    if (!leaf) return;
    text_copy(leaf->name, sizeof leaf->name, name);
    leaf->address = address;
    if (size == 0) size = 4;
    if (size > 8) size = 8;
    leaf->size = size;
    leaf->kind = (size == 1 || size == 2 || size == 4 || size == 8) ? TYPE_INT : TYPE_UINT;
    leaf->is_signed = 1;
    leaf->remote = 1;
    publish_slot(leaf);
}

void upsert_now(const char* name, uint64_t address, uint32_t size) {
    LeafId id = find_unlocked(name);
    if (id >= 0) {
        std::atomic_ref<uint64_t>(g_table.leaves[id].address).store(address, std::memory_order_relaxed);
    } else {
        add_remote_now(name, address, size);
    }
}

void queue_or_warn(int32_t op, const char* name, uint64_t address, uint32_t size) {
    if (!pending_push(op, name, address, size))
        log_printf(LOG_WARN, "远端变量已丢弃（转交队列已满）: %s", name);
}

}  // namespace

void leaf_add_remote(const char* name, uint64_t address, uint32_t size) {
    if (!name) name = "";
    if (on_main_thread()) {
        leaf_remote_apply_pending();  // keep arrival order
        add_remote_now(name, address, size);
    } else {
        queue_or_warn(PENDING_ADD, name, address, size);
    }
}

void leaf_remote_upsert(const char* name, uint64_t address, uint32_t size) {
    if (!name || !name[0]) return;
    if (on_main_thread()) {
        leaf_remote_apply_pending();
        upsert_now(name, address, size);
    } else {
        queue_or_warn(PENDING_UPSERT, name, address, size);
    }
}

int32_t leaf_remote_apply_pending() {
    if (!on_main_thread()) return 0;
    int32_t applied = 0, op;
    char name[LEAF_NAME_CAPACITY];
    uint64_t address;
    uint32_t size;
    while (pending_pop(&op, name, &address, &size)) {
        if (op == PENDING_UPSERT) {
            upsert_now(name, address, size);
        } else {
            add_remote_now(name, address, size);
        }
        applied++;
    }
    return applied;
}

int32_t leaf_remote_pending_count() {
    uint64_t head = g_pending_head.load(std::memory_order_acquire);
    uint64_t tail = g_pending_tail.load(std::memory_order_acquire);
    return head > tail ? (int32_t)(head - tail) : 0;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Remote variable list
//-------------------------------------------------------------------------------------------------

namespace {

// One list entry; `ready` is set once the entry is complete, so readers skip a half-made one.
struct RemoteSlot {
    std::atomic<int32_t> ready;
    char name[LEAF_NAME_CAPACITY];
    std::atomic<uint64_t> address;
    std::atomic<uint32_t> size;
};

RemoteSlot g_remote[REMOTE_VAR_CAPACITY];
std::atomic<int32_t> g_remote_reserved;

int32_t remote_limit() {
    int32_t n = g_remote_reserved.load(std::memory_order_acquire);
    return n < REMOTE_VAR_CAPACITY ? n : REMOTE_VAR_CAPACITY;
}

bool remote_ready(int32_t i) { return g_remote[i].ready.load(std::memory_order_acquire) != 0; }

}  // namespace

int32_t remote_var_count() {
    int32_t n = remote_limit(), ready = 0;
    while (ready < n && remote_ready(ready)) ready++;
    return ready;
}

int remote_var_at(int32_t index, RemoteVar* out) {
    if (!out || index < 0 || index >= remote_limit() || !remote_ready(index)) return -1;
    text_copy(out->name, sizeof out->name, g_remote[index].name);
    out->address = g_remote[index].address.load(std::memory_order_relaxed);
    out->size = g_remote[index].size.load(std::memory_order_relaxed);
    return 0;
}

int32_t remote_var_find(const char* name) {
    if (!name) return -1;
    int32_t n = remote_var_count();
    for (int32_t i = 0; i < n; i++)
        if (strcmp(g_remote[i].name, name) == 0) return i;
    return -1;
}

int32_t remote_var_append(const char* name, uint64_t address, uint32_t size) {
    if (g_remote_reserved.load(std::memory_order_acquire) >= REMOTE_VAR_CAPACITY) return -1;
    int32_t index = g_remote_reserved.fetch_add(1, std::memory_order_acq_rel);
    if (index >= REMOTE_VAR_CAPACITY) return -1;
    RemoteSlot* slot = &g_remote[index];
    text_copy(slot->name, sizeof slot->name, name);
    slot->address.store(address, std::memory_order_relaxed);
    slot->size.store(size, std::memory_order_relaxed);
    slot->ready.store(1, std::memory_order_release);
    return index;
}

int remote_var_update(int32_t index, uint64_t address, uint32_t size) {
    if (index < 0 || index >= remote_limit() || !remote_ready(index)) return -1;
    g_remote[index].address.store(address, std::memory_order_relaxed);
    g_remote[index].size.store(size, std::memory_order_relaxed);
    return 0;
}

//-------------------------------------------------------------------------------------------------
// Reset (tests, shut-down)
//-------------------------------------------------------------------------------------------------

void leaf_table_reset() {
    int32_t op;
    char name[LEAF_NAME_CAPACITY];
    uint64_t address;
    uint32_t size;
    while (pending_pop(&op, name, &address, &size)) {
    }
    count_ref().store(0, std::memory_order_release);
    watched_count_ref().store(0, std::memory_order_release);
    g_missing_count = 0;
    for (int32_t i = 0; i < REMOTE_VAR_CAPACITY; i++) g_remote[i].ready.store(0, std::memory_order_release);
    g_remote_reserved.store(0, std::memory_order_release);
}
