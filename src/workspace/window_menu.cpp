// window_menu.cpp - the module window types of the "窗口(&W)" menu, in load order.
#include "workspace/window_menu.h"

#include <cstring>

#include "modules/modules.h"

namespace {

struct WindowMenuState {
    WindowTypeItem items[WINDOW_MENU_MAX_ITEMS];
    int32_t count;
};

WindowMenuState g_menu;

}  // namespace

int32_t window_menu_collect() {
    g_menu = WindowMenuState{};
    for (int32_t m = 0; m < module_count(); m++) {
        const ModuleEntry* e = module_at(m);
        if (e) window_menu_add(&e->descriptor, e->context);
    }
    return g_menu.count;
}

int32_t window_menu_add(const ModuleDescriptor* module, void* context) {
    if (!module || !module->window_types) return g_menu.count;
    for (const WindowTypeEntry* t = module->window_types; t->type_name; t++) {
        if (g_menu.count >= WINDOW_MENU_MAX_ITEMS) break;
        g_menu.items[g_menu.count++] = {module, context, t};
    }
    return g_menu.count;
}

int32_t window_menu_count() { return g_menu.count; }

const WindowTypeItem* window_menu_item(int32_t index) {
    return index >= 0 && index < g_menu.count ? &g_menu.items[index] : nullptr;
}

const char* window_menu_label(const WindowTypeItem* item) {
    if (!item || !item->entry) return "";
    const char* display = item->entry->display_name;
    return display && display[0] ? display : item->entry->type_name;
}

int32_t window_menu_find(const char* kind_name) {
    if (!kind_name) return -1;
    for (int32_t i = 0; i < g_menu.count; i++)
        if (strcmp(g_menu.items[i].entry->type_name, kind_name) == 0) return i;
    return -1;
}

void window_menu_clear() { g_menu = WindowMenuState{}; }
