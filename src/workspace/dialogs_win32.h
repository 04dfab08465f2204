// dialogs_win32.h - the workspace's modal windows (variable pick and search, write value,
// network configuration), the one modal loop they share, and the workspace menu.
#pragma once
#include <windows.h>

#include <cstdint>

#include "vartable/leaf_table.h"

enum : int32_t {
    PICK_RESULT_CAPACITY = 512,  // ids a pick result holds
    PICK_ROW_CAPACITY = 300,     // rows the pick list shows
};

// What a pick dialog hands back: the chosen leaf ids (the caller sets count to 0 first).
struct PickResult {
    int32_t count;
    LeafId ids[PICK_RESULT_CAPACITY];
};
static_assert(sizeof(PickResult) == 4 + 4 * PICK_RESULT_CAPACITY, "PickResult: a count and 512 ids");

// Shows the dialog, disables the owner and runs messages (with Tab, Enter and Escape handling)
// until the dialog is gone; then enables the owner, brings it to the front and destroys the
// dialog if it still exists.
void run_modal(HWND dialog, HWND owner);

// Lets the user choose leaves; 0 with at least one id (*out_count of them copied), else -1.
int pick_variables(HWND owner, LeafId* out_ids, int32_t capacity, int32_t* out_count);
// Command 2703 / Ctrl+F: search, then locate the chosen leaves in the tree.
void search_variables(HWND owner);
// Asks for a value and writes it to the leaf; 0 when written, -1 otherwise.
int write_value_dialog(HWND owner, LeafId id);
// Command 2801: the toolbar's network address and port.
void network_config_dialog();
// The new-window menu at the cursor (right click on the workspace background or the tab strip).
void show_workspace_menu();
// The host service's picker: 1 and the first chosen id, or 0 when nothing was chosen.
int32_t host_pick_dialog(void* owner, int32_t* first_id);
