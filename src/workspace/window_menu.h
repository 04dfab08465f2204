// window_menu.h - the module window types listed in the "窗口(&W)" menu (commands 2200 + n) and
// the title counters' texts. Portable: the Win32 shell turns the item table into menu items.
#pragma once
#include <cstdint>

#include "kestrelix_module.h"

enum : int32_t {
    WINDOW_MENU_MAX_ITEMS = 64,
    WINDOW_MENU_FIRST_ID = 2200,
    WINDOW_MENU_LABEL_CAPACITY = 128,   // UTF-16 units of a menu label
};

// One module window type in menu order: the module, its context and the entry.
struct WindowTypeItem {
    const ModuleDescriptor* module;
    void* context;
    const WindowTypeEntry* entry;
};

// Rebuilds the item table from the window types of every loaded module in load order (at most
// 64); returns the item count.
int32_t window_menu_collect();
// Appends the window types of one module (stops at 64 items); returns the item count.
int32_t window_menu_add(const ModuleDescriptor* module, void* context);
int32_t window_menu_count();
// Null outside [0, count).
const WindowTypeItem* window_menu_item(int32_t index);
// The item's label in UTF-8: the display name, or the kind name when there is none.
const char* window_menu_label(const WindowTypeItem* item);
// The first item whose kind name equals `kind_name`, or -1.
int32_t window_menu_find(const char* kind_name);
// Tests: empties the table.
void window_menu_clear();
