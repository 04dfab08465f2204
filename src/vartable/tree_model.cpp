// tree_model.cpp - the variable tree model (see tree_model.h).
//
// Index
//   [SECTION] State
//   [SECTION] Leaf name index
//   [SECTION] Building
//   [SECTION] Check boxes
//   [SECTION] Lookups
//   [SECTION] Selection and context menu
#include "vartable/tree_model.h"

#include <cstring>

#include "core/log.h"
#include "core/text.h"
#include "vartable/leaf_load.h"

TreeHooks g_tree_hooks;

//-------------------------------------------------------------------------------------------------
// [SECTION] State
//-------------------------------------------------------------------------------------------------

namespace {

// The whole model: items in depth-first order, their texts, the view and the rebuilding flag.
struct TreeModel {
    TreeItem items[TREE_ITEM_CAPACITY];
    int32_t count;
    int32_t last_root;
    char16_t pool[TREE_TEXT_POOL_CAPACITY];
    uint32_t pool_used;
    TreeView view;
    int32_t rebuilding;
};

TreeModel g_tree;

void refresh_status() {
    if (g_tree_hooks.refresh_status) g_tree_hooks.refresh_status();
}

void* view_handle(int32_t index) {
    return index >= 0 && index < g_tree.count ? g_tree.items[index].handle : nullptr;
}

}  // namespace

void tree_view_attach(const TreeView* view) {
    g_tree.view = view ? *view : TreeView{};
}

int32_t tree_is_rebuilding() { return g_tree.rebuilding; }

void tree_reset() {
    g_tree.count = 0;
    g_tree.last_root = TREE_ITEM_NONE;
    g_tree.pool_used = 0;
    g_tree.rebuilding = 0;
    g_tree.view = TreeView{};
}

int32_t tree_item_count() { return g_tree.count; }

const TreeItem* tree_item_at(int32_t index) {
    return index >= 0 && index < g_tree.count ? &g_tree.items[index] : nullptr;
}

const char16_t* tree_item_text(int32_t index) {
    const TreeItem* item = tree_item_at(index);
    return item ? g_tree.pool + item->text_offset : u"";
}

int32_t tree_find_handle(const void* handle) {
    if (!handle) return TREE_ITEM_NONE;
    for (int32_t i = 0; i < g_tree.count; i++)
        if (g_tree.items[i].handle == handle) return i;
    return TREE_ITEM_NONE;
}

int32_t tree_find_leaf_item(LeafId id) {
    if (id < 0) return TREE_ITEM_NONE;
    for (int32_t i = 0; i < g_tree.count; i++)
        if (g_tree.items[i].data == id + 1) return i;
    return TREE_ITEM_NONE;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Leaf name index
//-------------------------------------------------------------------------------------------------

namespace {

// Name -> first leaf id, built once per rebuild so that every scalar item finds its leaf
// without a walk over the whole table.
struct LeafNameIndex {
    enum : uint32_t { SLOTS = 2 * LEAF_CAPACITY };  // power of two, at most half full
    int32_t slots[SLOTS];                           // leaf id + 1, 0 = empty
};

LeafNameIndex g_names;

uint32_t name_hash(const char* name) {
    uint32_t h = 2166136261u;
    for (const unsigned char* p = (const unsigned char*)name; *p; p++) h = (h ^ *p) * 16777619u;
    return h;
}

void name_index_build() {
    memset(g_names.slots, 0, sizeof g_names.slots);
    int32_t n = leaf_count();
    for (int32_t id = 0; id < n; id++) {
        const VarLeaf* leaf = leaf_at(id);
        if (!leaf) continue;
        uint32_t slot = name_hash(leaf->name) & (LeafNameIndex::SLOTS - 1);
        for (;;) {
            int32_t held = g_names.slots[slot];
            if (held == 0) {
                g_names.slots[slot] = id + 1;
                break;
            }
            const VarLeaf* other = leaf_at(held - 1);
            if (other && strcmp(other->name, leaf->name) == 0) break;  // the first id keeps the name
            slot = (slot + 1) & (LeafNameIndex::SLOTS - 1);
        }
    }
}

// The leaf with exactly this name, or -1 (leaf_find's answer, from the index).
LeafId name_index_find(const char* name) {
    uint32_t slot = name_hash(name) & (LeafNameIndex::SLOTS - 1);
    for (;;) {
        int32_t held = g_names.slots[slot];
        if (held == 0) return LEAF_NONE;
        const VarLeaf* leaf = leaf_at(held - 1);
        if (leaf && strcmp(leaf->name, name) == 0) return held - 1;
        slot = (slot + 1) & (LeafNameIndex::SLOTS - 1);
    }
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Building
//-------------------------------------------------------------------------------------------------

namespace {

// Appends an item (text given as UTF-8) as the last child of `parent` (-1: a root item) and
// inserts it into the view. Returns its index, or -1 when the model is full.
int32_t add_item(int32_t parent, const char* text_utf8, int32_t data, int32_t kind, int32_t state_image) {
    if (g_tree.count >= TREE_ITEM_CAPACITY) return TREE_ITEM_NONE;
    char16_t text[TREE_TEXT_CAPACITY];
    size_t length = utf8_to_utf16(text_utf8, text, TREE_TEXT_CAPACITY);
    if (g_tree.pool_used + length + 1 > (uint32_t)TREE_TEXT_POOL_CAPACITY) return TREE_ITEM_NONE;

    int32_t index = g_tree.count++;
    TreeItem& item = g_tree.items[index];
    item = TreeItem{};
    item.parent = parent;
    item.first_child = item.last_child = item.next_sibling = TREE_ITEM_NONE;
    item.depth = parent >= 0 ? g_tree.items[parent].depth + 1 : 0;
    item.data = data;
    item.kind = kind;
    item.state_image = state_image;
    item.text_offset = g_tree.pool_used;
    item.text_length = (uint32_t)length;
    memcpy(g_tree.pool + g_tree.pool_used, text, (length + 1) * sizeof(char16_t));
    g_tree.pool_used += (uint32_t)length + 1;

    int32_t* previous = parent >= 0 ? &g_tree.items[parent].last_child : &g_tree.last_root;
    if (*previous >= 0) g_tree.items[*previous].next_sibling = index;
    else if (parent >= 0) g_tree.items[parent].first_child = index;
    *previous = index;

    if (g_tree.view.insert)
        item.handle = g_tree.view.insert(g_tree.view.context, view_handle(parent), text, data, state_image);
    return index;
}

int32_t state_of_leaf(LeafId id) {
    return leaf_is_watched(leaf_at(id)) ? TREE_STATE_CHECKED : TREE_STATE_UNCHECKED;
}

// A leaf item for the leaf of this name, or a plain "name @ address" item when there is none.
void add_scalar(int32_t parent, const char* name, uint64_t address) {
    char text[TREE_NAME_CAPACITY + 64];
    text_printf(text, sizeof text, "%s  @0x%llX", name, (unsigned long long)address);
    LeafId id = name_index_find(name);
    if (id >= 0) add_item(parent, text, id + 1, TREE_KIND_LEAF, state_of_leaf(id));
    else add_item(parent, text, TREE_DATA_NONE, TREE_KIND_SCALAR, TREE_STATE_UNCHECKED);
}

void add_bitfield(int32_t parent, const TypeInfo* member, const char* name, uint64_t address) {
    char text[TREE_NAME_CAPACITY + 96];
    text_printf(text, sizeof text, "%s  @0x%llX  [bit %u:%u]", name, (unsigned long long)address,
                (unsigned)member->bit_offset, (unsigned)member->bit_size);
    LeafId id = name_index_find(name);
    // The box follows the watched flag like any leaf item, so a watched bit field never shows
    // an empty box (a watch-all or --watch= of a bit field is visible in the tree).
    int32_t state = id >= 0 ? state_of_leaf(id) : TREE_STATE_UNCHECKED;
    add_item(parent, text, id >= 0 ? id + 1 : TREE_DATA_NONE, TREE_KIND_BITFIELD, state);
}

void add_type_subtree(int32_t parent, const TypeInfo* type, const char* name, uint64_t address, int depth);

void add_aggregate(int32_t parent, const TypeInfo* type, const char* name, uint64_t address, int depth) {
    char text[TREE_NAME_CAPACITY + 64];
    text_printf(text, sizeof text, "%s {...} (%u B)", name, (unsigned)type->byte_size);
    int32_t node = add_item(parent, text, TREE_DATA_NONE, TREE_KIND_AGGREGATE, TREE_STATE_UNCHECKED);
    if (node < 0 || !type->children) return;
    for (int32_t i = 0; i < type->child_count; i++) {
        const TypeInfo* member = type->children[i];
        if (!member) continue;
        uint64_t member_address = address + member->member_offset;
        bool named = member->name && member->name[0];
        bool aggregate = member->kind == TYPE_STRUCT || member->kind == TYPE_UNION;
        char member_name[TREE_NAME_CAPACITY];
        // Members of an anonymous structure or union carry the parent's name, like their leaves.
        if (named || !aggregate)
            text_printf(member_name, sizeof member_name, type_member_needs_quotes(member->name) ? "%s.'%s'" : "%s.%s",
                        name, named ? member->name : "anon");
        else text_copy(member_name, sizeof member_name, name);
        if (member->is_bitfield) add_bitfield(node, member, member_name, member_address);
        else add_type_subtree(node, member, member_name, member_address, depth + 1);
    }
}

void add_array(int32_t parent, const TypeInfo* type, const char* name, uint64_t address, int depth) {
    char text[TREE_NAME_CAPACITY + 32];
    text_printf(text, sizeof text, "%s [%d]", name, (int)type->element_count);
    int32_t node = add_item(parent, text, TREE_DATA_NONE, TREE_KIND_ARRAY, TREE_STATE_UNCHECKED);
    if (node < 0 || type->child_count < 1 || !type->children || !type->children[0]) return;
    const TypeInfo* element = type->children[0];
    if (element->is_char && element->byte_size == 1 && type->element_count >= TREE_STRING_MIN_ELEMENTS) {
        text_printf(text, sizeof text, "%s (string)", name);
        add_item(node, text, TREE_DATA_NONE, TREE_KIND_STRING, TREE_STATE_UNCHECKED);
        return;
    }
    int32_t n = type->element_count;
    if (n < 0) n = 0;
    if (n > TREE_ARRAY_ITEM_LIMIT) n = TREE_ARRAY_ITEM_LIMIT;
    uint64_t stride = element->byte_size ? element->byte_size : 1;
    for (int32_t i = 0; i < n && g_tree.count < TREE_ITEM_CAPACITY; i++) {
        char element_name[TREE_NAME_CAPACITY];
        text_printf(element_name, sizeof element_name, "%s[%d]", name, (int)i);
        add_type_subtree(node, element, element_name, address + (uint64_t)i * stride, depth + 1);
    }
}

// The items of one type under `parent` (-1: at the top level) for this name and address.
void add_type_subtree(int32_t parent, const TypeInfo* type, const char* name, uint64_t address, int depth) {
    // Nesting this deep only comes from broken debug information (a type that contains itself).
    if (depth > TREE_MAX_DEPTH || g_tree.count >= TREE_ITEM_CAPACITY) return;
    if (type->kind == TYPE_STRUCT || type->kind == TYPE_UNION) add_aggregate(parent, type, name, address, depth);
    else if (type->kind == TYPE_ARRAY) add_array(parent, type, name, address, depth);
    else add_scalar(parent, name, address);
}

void add_global(const GlobalVar* v) {
    const char* name = v->name ? v->name : "";
    if (!v->type) {
        char text[TREE_NAME_CAPACITY + 96];
        text_printf(text, sizeof text, "%s  @0x%llX  [%llu B]", name, (unsigned long long)v->address,
                    (unsigned long long)v->size);
        add_item(TREE_ITEM_NONE, text, TREE_DATA_NONE, TREE_KIND_UNTYPED, TREE_STATE_UNCHECKED);
        return;
    }
    TypeKind kind = v->type->kind;
    if (kind == TYPE_STRUCT || kind == TYPE_UNION || kind == TYPE_ARRAY) {
        int32_t group = add_item(TREE_ITEM_NONE, name, TREE_DATA_NONE, TREE_KIND_GROUP, TREE_STATE_UNCHECKED);
        if (group >= 0) add_type_subtree(group, v->type, name, v->address, 0);
    } else {
        add_type_subtree(TREE_ITEM_NONE, v->type, name, v->address, 0);
    }
}

void add_remote_leaves() {
    int32_t n = leaf_count();
    for (int32_t id = 0; id < n; id++) {
        const VarLeaf* leaf = leaf_at(id);
        if (!leaf || !leaf->remote) continue;
        char text[TREE_NAME_CAPACITY + 64];
        text_printf(text, sizeof text, "%s  @0x%llX", leaf->name, (unsigned long long)leaf->address);
        add_item(TREE_ITEM_NONE, text, id + 1, TREE_KIND_LEAF, state_of_leaf(id));
    }
}

}  // namespace

void tree_rebuild_from(const ElfImage* image) {
    g_tree.rebuilding = 1;
    if (g_tree.view.begin_rebuild) g_tree.view.begin_rebuild(g_tree.view.context);
    g_tree.count = 0;
    g_tree.last_root = TREE_ITEM_NONE;
    g_tree.pool_used = 0;
    name_index_build();
    int32_t globals = elf_global_count(image);
    for (int32_t i = 0; i < globals; i++) {
        const GlobalVar* v = elf_global_at(image, i);
        if (v) add_global(v);
    }
    add_remote_leaves();
    if (g_tree.view.end_rebuild) g_tree.view.end_rebuild(g_tree.view.context);
    g_tree.rebuilding = 0;
}

void tree_rebuild() { tree_rebuild_from(current_elf_image()); }

//-------------------------------------------------------------------------------------------------
// [SECTION] Check boxes
//-------------------------------------------------------------------------------------------------

void tree_on_check_changed(int32_t data, uint32_t old_state, uint32_t new_state) {
    if (g_tree.rebuilding) return;
    uint32_t old_image = old_state & TREE_STATE_IMAGE_MASK;
    uint32_t new_image = new_state & TREE_STATE_IMAGE_MASK;
    if (old_image == new_image || data <= 0) return;
    leaf_set_watched(data - 1, (new_image >> 12) == TREE_STATE_CHECKED ? 1 : 0);
    refresh_status();
}

void tree_item_state_reported(int32_t index, int32_t state_image) {
    if (index < 0 || index >= g_tree.count || g_tree.rebuilding) return;
    // Only a ticked or an unticked box is a state; an item without a box (0) says nothing
    // about the watch and must not unwatch its leaf.
    if (state_image != TREE_STATE_UNCHECKED && state_image != TREE_STATE_CHECKED) return;
    TreeItem& item = g_tree.items[index];
    if (item.state_image == state_image) return;
    int32_t old_image = item.state_image;
    item.state_image = state_image;
    tree_on_check_changed(item.data, (uint32_t)old_image << 12, (uint32_t)state_image << 12);
}

void tree_set_leaf_check(LeafId id, int32_t checked) {
    int32_t index = tree_find_leaf_item(id);
    if (index < 0) return;
    int32_t image = checked ? TREE_STATE_CHECKED : TREE_STATE_UNCHECKED;
    // The view's own change notification for this will find the model already in step.
    if (g_tree.view.set_state_image) g_tree.view.set_state_image(g_tree.view.context, g_tree.items[index].handle, image);
    tree_item_state_reported(index, image);
}

void tree_watch_all_from(const ElfImage* image, int32_t on) {
    int32_t n = leaf_count();
    for (int32_t id = 0; id < n; id++) leaf_set_watched(id, on);
    tree_rebuild_from(image);
    refresh_status();
}

void tree_watch_all(int32_t on) { tree_watch_all_from(current_elf_image(), on); }

//-------------------------------------------------------------------------------------------------
// [SECTION] Lookups
//-------------------------------------------------------------------------------------------------

namespace {

void expand_ancestors(int32_t index) {
    if (!g_tree.view.expand) return;
    for (int32_t p = g_tree.items[index].parent; p >= 0; p = g_tree.items[p].parent)
        g_tree.view.expand(g_tree.view.context, g_tree.items[p].handle);
}

void make_caret(int32_t index) {
    if (g_tree.view.set_caret) g_tree.view.set_caret(g_tree.view.context, g_tree.items[index].handle);
}

void set_selected(int32_t index, int32_t on) {
    if (g_tree.view.set_selected) g_tree.view.set_selected(g_tree.view.context, g_tree.items[index].handle, on);
}

// True when the text begins with the target and goes on with its end or a blank.
bool text_matches_target(const char16_t* text, const char16_t* target, size_t target_length) {
    for (size_t i = 0; i < target_length; i++)
        if (text[i] != target[i]) return false;
    return text[target_length] == 0 || text[target_length] == u' ';
}

}  // namespace

int32_t tree_locate_leaves(const LeafId* ids, int32_t count) {
    if (!ids) return 0;
    int32_t found = 0;
    for (int32_t k = 0; k < count; k++) {
        int32_t index = tree_find_leaf_item(ids[k]);
        if (index < 0) continue;
        expand_ancestors(index);
        if (found == 0) make_caret(index);
        else set_selected(index, 1);
        found++;
    }
    return found;
}

int select_leaf(const char16_t* name) {
    if (!name || !name[0]) return -1;
    char name8[TREE_NAME_CAPACITY];
    utf16_to_utf8(name, name8, sizeof name8);
    LeafId id = leaf_find(name8);
    log_printf(LOG_DEBUG, "select_leaf: name='%s' find=%d", name8, (int)id);
    const VarLeaf* leaf = leaf_at(id);
    if (!leaf) return -1;
    char target8[TREE_NAME_CAPACITY + 64];
    text_printf(target8, sizeof target8, "%s  @0x%llX", name8, (unsigned long long)leaf->address);
    char16_t target[TREE_TEXT_CAPACITY];
    size_t target_length = utf8_to_utf16(target8, target, TREE_TEXT_CAPACITY);
    log_printf(LOG_DEBUG, "select_leaf: target='%s'", target8);
    log_printf(LOG_DEBUG, "select_leaf: root=%p", g_tree.count > 0 ? view_handle(0) : nullptr);
    for (int32_t i = 0; i < g_tree.count; i++) {
        if (!text_matches_target(tree_item_text(i), target, target_length)) continue;
        make_caret(i);
        return 0;
    }
    return -1;
}

int32_t tree_collect_leaf_items(int32_t first, int32_t* out_items, int32_t maximum) {
    if (first < 0 || first >= g_tree.count || !out_items || maximum < 1) return 0;
    // `first`, its following siblings and their descendants are one run of the depth-first
    // order: it ends where the next item is no deeper than the parent.
    int32_t depth = g_tree.items[first].depth;
    int32_t found = 0;
    for (int32_t i = first; i < g_tree.count && found < maximum; i++) {
        if (i > first && g_tree.items[i].depth < depth) break;
        if (g_tree.items[i].data > 0) out_items[found++] = i;
    }
    return found;
}

int32_t tree_select_rows(int32_t start, int32_t count) {
    static int32_t rows[TREE_ROWS_LIMIT];
    int32_t n = tree_collect_leaf_items(0, rows, TREE_ROWS_LIMIT);
    int32_t selected = 0;
    for (int32_t k = 0; k < n; k++) {
        bool on = k >= start && (int64_t)k < (int64_t)start + count;
        set_selected(rows[k], on ? 1 : 0);
        if (on) selected++;
    }
    return selected;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Selection and context menu
//-------------------------------------------------------------------------------------------------

int32_t tree_caret_data() {
    if (!g_tree.view.caret) return TREE_DATA_NONE;
    int32_t index = tree_find_handle(g_tree.view.caret(g_tree.view.context));
    return index >= 0 ? g_tree.items[index].data : TREE_DATA_NONE;
}

int32_t tree_selected_leaf_ids(LeafId* out_ids, int32_t maximum) {
    if (!out_ids || !g_tree.view.is_selected) return 0;
    int32_t found = 0;
    for (int32_t i = 0; i < g_tree.count && found < maximum; i++) {
        const TreeItem& item = g_tree.items[i];
        if (item.data > 0 && g_tree.view.is_selected(g_tree.view.context, item.handle)) out_ids[found++] = item.data - 1;
    }
    return found;
}

bool tree_menu_item_enabled(int32_t command, int32_t caret_data, int32_t selected_leaf_items) {
    switch (command) {
        case TREE_CMD_WRITE_VALUE: return selected_leaf_items > 0 && caret_data > 0;
        case TREE_CMD_ADD_WAVEFORM:
        case TREE_CMD_ADD_NUMERIC: return selected_leaf_items > 0;
        default: return true;
    }
}

int32_t tree_add_selected_to_window(int32_t kind) {
    LeafId ids[TREE_SELECTED_LIMIT];
    int32_t n = tree_selected_leaf_ids(ids, TREE_SELECTED_LIMIT);
    if (n < 1) return 0;
    if (g_tree_hooks.add_leaves_to_kind) g_tree_hooks.add_leaves_to_kind(kind, ids, n);
    log_printf(LOG_INFO, "树右键批量添加变量: %d 个", (int)n);
    return n;
}
