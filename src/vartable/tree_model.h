// tree_model.h - the variable tree: which items the side panel shows for the current image and
// leaf table, how their check boxes follow the watched flags, and the lookups that tick, locate
// and select leaves in it.
//
// The model keeps every item in one static array in depth-first order (each item followed by its
// descendants, siblings in order), so "the first item, searched depth-first from the first root"
// is the lowest index. A view (the Win32 tree view, or a test's fake) is attached through
// TreeView; the model inserts the view's items while it builds its own and asks the view for the
// selection, which belongs to the control. Everything here runs on the main thread.
#pragma once
#include <cstdint>

#include "firmware/elf.h"
#include "vartable/leaf_table.h"

enum : int32_t {
    TREE_ITEM_CAPACITY = 65536,               // items beyond are dropped
    TREE_TEXT_POOL_CAPACITY = 4 * 1024 * 1024,  // UTF-16 units of all item texts together
    TREE_TEXT_CAPACITY = 320,                 // units of one item text with the terminator
    TREE_ARRAY_ITEM_LIMIT = 512,              // element items per array node
    TREE_STRING_MIN_ELEMENTS = 17,            // byte arrays this long show a "(string)" label
    TREE_MAX_DEPTH = 64,                      // nesting beyond this is not shown
    TREE_NAME_CAPACITY = 512,                 // UTF-8 bytes of a dotted name
    TREE_STATE_UNCHECKED = 1,                 // state image of an unticked box
    TREE_STATE_CHECKED = 2,                   // state image of a ticked box
    TREE_STATE_IMAGE_MASK = 0xF000,           // state-image bits of an item state
    TREE_ITEM_NONE = -1,
    TREE_DATA_NONE = -1,                      // item data of groups and labels
    TREE_SELECTED_LIMIT = 512,                // leaf ids handed on from the selection
    TREE_ROWS_LIMIT = 1024,                   // leaf rows of a range selection
};

// Context-menu commands of the tree (routed by the main window).
enum : int32_t {
    TREE_CMD_WATCH_ALL = 2301,
    TREE_CMD_CLEAR_ALL = 2302,
    TREE_CMD_WRITE_VALUE = 2303,
    TREE_CMD_RELOAD_ELF = 2304,
    TREE_CMD_ADD_WAVEFORM = 2305,
    TREE_CMD_ADD_NUMERIC = 2306,
};

// Which kind of window leaves are handed to.
enum : int32_t { TREE_WINDOW_WAVEFORM = 0, TREE_WINDOW_NUMERIC = 1 };

// What an item stands for.
enum : int32_t {
    TREE_KIND_LEAF = 0,       // "%s  @0x%llX" with a leaf
    TREE_KIND_BITFIELD = 1,   // "%s  @0x%llX  [bit %u:%u]"
    TREE_KIND_GROUP = 2,      // top-level item of a structure, union or array variable
    TREE_KIND_AGGREGATE = 3,  // "%s {...} (%u B)"
    TREE_KIND_ARRAY = 4,      // "%s [%d]"
    TREE_KIND_STRING = 5,     // "%s (string)"
    TREE_KIND_SCALAR = 6,     // "%s  @0x%llX" without a leaf
    TREE_KIND_UNTYPED = 7,    // "%s  @0x%llX  [%llu B]"
};

// One item of the tree: links by index (-1 = none), item data, check state and text.
struct TreeItem {
    int32_t parent;
    int32_t first_child;
    int32_t last_child;
    int32_t next_sibling;
    int32_t depth;          // 0 for root items
    int32_t data;           // leaf id + 1, or -1
    int32_t kind;           // TREE_KIND_*
    int32_t state_image;    // the check box as the model last knew it (1 or 2)
    uint32_t text_offset;   // into the text pool
    uint32_t text_length;   // units, without the terminator
    void* handle;           // the view's item, null without a view
};

// The control the model mirrors itself into. Every entry may be null.
struct TreeView {
    void* context;
    void (*begin_rebuild)(void* context);  // delete every item; drawing may pause until the end
    void (*end_rebuild)(void* context);
    // Appends an item after its siblings under `parent` (null: a root item); returns its handle.
    void* (*insert)(void* context, void* parent, const char16_t* text, int32_t data, int32_t state_image);
    void (*set_state_image)(void* context, void* item, int32_t state_image);
    void (*expand)(void* context, void* item);
    void (*set_caret)(void* context, void* item);  // caret and selection, scrolled into view
    void (*set_selected)(void* context, void* item, int32_t selected);
    int32_t (*is_selected)(void* context, void* item);
    void* (*caret)(void* context);                 // null when there is no caret item
};

// Steps that belong to other parts of the program; a null entry is skipped.
struct TreeHooks {
    void (*refresh_status)();  // status bar and toolbar states after the watch list changed
    // The windows of a kind take these leaves (waveform 0, numeric 1); null while the workspace
    // has no such windows.
    void (*add_leaves_to_kind)(int32_t kind, const LeafId* ids, int32_t count);
};
extern TreeHooks g_tree_hooks;

// ---- View ----------------------------------------------------------------------------------
// Attaches a view (copied) or detaches it (null). The next rebuild fills the view.
void tree_view_attach(const TreeView* view);

// ---- Building ------------------------------------------------------------------------------
// Clears and refills the tree from the current image and leaf table.
void tree_rebuild();
// The same from a given image (null: only remote leaves).
void tree_rebuild_from(const ElfImage* image);
// 1 while a rebuild runs (check-box notifications are ignored then).
int32_t tree_is_rebuilding();
// Empties the model and forgets the view (tests and shut-down).
void tree_reset();

// ---- Items ---------------------------------------------------------------------------------
int32_t tree_item_count();
// Null outside [0, count).
const TreeItem* tree_item_at(int32_t index);
// The item's text (terminated), or an empty text outside [0, count).
const char16_t* tree_item_text(int32_t index);
// Index of the item with this view handle, or -1.
int32_t tree_find_handle(const void* handle);
// Index of the first item (depth-first) whose data is id + 1, or -1.
int32_t tree_find_leaf_item(LeafId id);

// ---- Check boxes ---------------------------------------------------------------------------
// An item-change notification: watches or unwatches the item's leaf when the state image
// changed, the data is positive and no rebuild runs; then refreshes the status.
void tree_on_check_changed(int32_t data, uint32_t old_state, uint32_t new_state);
// The view reports an item's current state image (after a click, a key or a change
// notification); a change against the model's record goes through tree_on_check_changed.
void tree_item_state_reported(int32_t index, int32_t state_image);
// Ticks or unticks the first item of this leaf; nothing for a negative id or no item.
void tree_set_leaf_check(LeafId id, int32_t checked);
// Sets every leaf's watched flag, rebuilds and refreshes the status.
void tree_watch_all(int32_t on);
// The same with the tree rebuilt from a given image.
void tree_watch_all_from(const ElfImage* image, int32_t on);

// ---- Lookups -------------------------------------------------------------------------------
// Expands and selects the first item of each id; the first found becomes the caret. Returns
// how many ids were found.
int32_t tree_locate_leaves(const LeafId* ids, int32_t count);
// Selects the first item whose text begins with "name  @0x%llX" followed by the end or a
// blank; 0 when selected, -1 otherwise. Logs the steps at debug level.
int select_leaf(const char16_t* name);
// Items with positive data among `first`, its following siblings and all their descendants,
// depth-first, at most `maximum`; returns the count.
int32_t tree_collect_leaf_items(int32_t first, int32_t* out_items, int32_t maximum);
// Selects leaf rows start .. start + count - 1 (rows from the first root, at most 1024) and
// deselects the others; returns the number of rows selected.
int32_t tree_select_rows(int32_t start, int32_t count);

// ---- Selection and context menu --------------------------------------------------------------
// Data of the view's caret item, or -1.
int32_t tree_caret_data();
// Leaf ids of the selected items with positive data, in tree order, at most `maximum`.
int32_t tree_selected_leaf_ids(LeafId* out_ids, int32_t maximum);
// Whether a context-menu command is enabled for this caret data and number of selected leaf items.
bool tree_menu_item_enabled(int32_t command, int32_t caret_data, int32_t selected_leaf_items);
// Hands the selected leaves to the windows of a kind and logs the count; returns the count.
int32_t tree_add_selected_to_window(int32_t kind);
