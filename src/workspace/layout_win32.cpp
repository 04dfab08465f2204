// layout_win32.cpp - the layout file's connection to the main window, the workspace tabs, the
// variable panel and the firmware loader; and the start-up, close and reload hooks that use it.
#include <windows.h>

#include <cstring>

#include "core/app.h"
#include "core/platform.h"
#include "core/platform_win32.h"
#include "core/text.h"
#include "vartable/leaf_load.h"
#include "workspace/layout.h"
#include "workspace/layout_win32.h"
#include "workspace/main_layout.h"
#include "workspace/main_window_win32.h"
#include "workspace/theme_win32.h"
#include "workspace/variable_tree_win32.h"
#include "workspace/workspace.h"

namespace {

HWND main_window() { return platform_win32_main_window(); }

// The restore rectangle: a minimised window's own rectangle is far off screen and a maximised
// one covers the monitor, neither of which the user should get back as the normal size.
void main_rect(int32_t* x, int32_t* y, int32_t* w, int32_t* h) {
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    if (!main_window() || !GetWindowPlacement(main_window(), &placement)) return;
    RECT r = placement.rcNormalPosition;
    // The placement is in work-area coordinates; a taskbar on the left or top shifts them.
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    if (GetMonitorInfoW(MonitorFromWindow(main_window(), MONITOR_DEFAULTTONEAREST), &info))
        OffsetRect(&r, info.rcWork.left - info.rcMonitor.left, info.rcWork.top - info.rcMonitor.top);
    *x = r.left;
    *y = r.top;
    *w = r.right - r.left;
    *h = r.bottom - r.top;
}

void panel_flags(int32_t* log_hidden, int32_t* tree_hidden, int32_t* tree_auto) {
    *log_hidden = g_message_panel_state.collapsed;
    const VariablePanelState* s = variable_panel_state();
    *tree_hidden = s ? s->hidden : 0;
    *tree_auto = s ? s->auto_hide : 0;
}

const char* elf_path_utf8() {
    static char path[1040];
    utf16_to_utf8(current_elf_path(), path, sizeof path);
    return path;
}

// The section of a tab: its first window's type, the tab's name and the window's variables.
int32_t tab_section(int32_t index, LayoutSection* out) {
    if (index < 0 || index >= g_workspace.tab_count) return 0;
    const TabRecord& tab = g_workspace.tabs[index];
    void* window = tab.first_window;
    if (!window) return 0;
    utf16_to_utf8(tab.title, out->title, sizeof out->title);
    char name[LAYOUT_VAR_CAPACITY];
    // A waveform or numeric window keeps its own type even as the first window of a module's tab:
    // restoring it under the module's type would make a different window.
    const HostedKind* kind = workspace_kind_of(window);
    if (!kind && tab.kind == TAB_KIND_MODULE && tab.module) {
        const WindowTypeEntry* types = tab.module->window_types;
        text_copy(out->type, sizeof out->type, types && types[0].type_name ? types[0].type_name : "module");
        for (int32_t i = 0; tab.module->get_variable && out->var_count < LAYOUT_MAX_VARS; i++) {
            if (!tab.module->get_variable(tab.module_context, window, i, name, sizeof name)) break;
            text_copy(out->vars[out->var_count++], LAYOUT_VAR_CAPACITY, name);
        }
        return 1;
    }
    if (!kind) return 0;
    text_copy(out->type, sizeof out->type, kind->kind);
    for (int32_t i = 0; kind->variable_name && out->var_count < LAYOUT_MAX_VARS; i++) {
        if (!kind->variable_name(window, i, name, (int32_t)sizeof name)) break;
        text_copy(out->vars[out->var_count++], LAYOUT_VAR_CAPACITY, name);
    }
    return 1;
}

void apply_panel_flags(int32_t log_hidden, int32_t tree_hidden, int32_t tree_auto) {
    // -1: the key was missing from the file, so the setting stays as it is.
    if (log_hidden >= 0 && (log_hidden != 0) != (g_message_panel_state.collapsed != 0))
        set_message_panel_collapsed(log_hidden ? 1 : 0);
    if (tree_hidden >= 0) set_variable_panel_hidden(tree_hidden ? 1 : 0);
    if (tree_auto >= 0) set_auto_hide(tree_auto ? 1 : 0);
}

bool rect_on_some_monitor(int32_t x, int32_t y, int32_t w, int32_t h) {
    RECT r = {x, y, x + w, y + h};
    return MonitorFromRect(&r, MONITOR_DEFAULTTONULL) != nullptr;
}

void set_main_size(int32_t w, int32_t h) {
    if (main_window()) SetWindowPos(main_window(), nullptr, 0, 0, w, h, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void set_main_rect(int32_t x, int32_t y, int32_t w, int32_t h) {
    if (main_window()) SetWindowPos(main_window(), nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
}

void apply_panel_sizes(int32_t tree_w, int32_t log_h) {
    if (tree_w >= 0) g_app_settings.var_panel_width = tree_w;
    if (log_h >= 0) g_app_settings.msg_panel_height = log_h;
    HWND main = main_window();
    if (!main) return;
    RECT r;
    GetClientRect(main, &r);
    SendMessageW(main, WM_SIZE, SIZE_RESTORED, MAKELPARAM(r.right, r.bottom));
    if (variable_tree_window()) InvalidateRect(variable_tree_window(), nullptr, TRUE);
}

bool file_exists(const char* path) {
    FILE* f = platform()->open_file(path, "rb");
    if (!f) return false;
    fclose(f);
    return true;
}

void add_leaf_to_window(void* window, int32_t leaf_id) { workspace_add_leaf_to_window(window, leaf_id); }
bool window_alive(void* window) { return window && IsWindow((HWND)window); }
int32_t current_tab() { return g_workspace.current_tab; }
int32_t tab_count() { return g_workspace.tab_count; }
int32_t tree_width() { return g_app_settings.var_panel_width; }
int32_t log_height() { return g_app_settings.msg_panel_height; }
void apply_theme(int32_t dark) { theme_set(dark); }
void* create_tab_window(const char* type, const char* title) { return create_window_for_layout(type, title); }
void select_layout_tab(int32_t index) { select_tab(index); }
void save_default_layout() { layout_save_default(); }
void default_layout_off() { layout_set_default_file_enabled(false); }

// Work area of the monitor nearest to the rectangle.
bool work_area(int32_t x, int32_t y, int32_t w, int32_t h, LayoutRect* area) {
    RECT r = {x, y, x + w, y + h};
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(MonitorFromRect(&r, MONITOR_DEFAULTTONEAREST), &info)) return false;
    *area = {info.rcWork.left, info.rcWork.top, info.rcWork.right - info.rcWork.left,
             info.rcWork.bottom - info.rcWork.top};
    return true;
}

int32_t main_client_height() {
    RECT r;
    if (!main_window() || !GetClientRect(main_window(), &r)) return -1;
    return r.bottom - r.top;
}

int32_t main_client_width() {
    RECT r;
    if (!main_window() || !GetClientRect(main_window(), &r)) return -1;
    return r.right - r.left;
}

void* tab_window(int32_t index) {
    return index >= 0 && index < g_workspace.tab_count ? g_workspace.tabs[index].first_window : nullptr;
}

}  // namespace

void layout_install_win32() {
    LayoutHooks& h = g_layout_hooks;
    h.main_rect = main_rect;
    h.tree_width = tree_width;
    h.log_height = log_height;
    h.panel_flags = panel_flags;
    h.current_tab = current_tab;
    h.theme_dark = theme_is_dark;
    h.current_elf_path = elf_path_utf8;
    h.tab_count = tab_count;
    h.tab_section = tab_section;
    h.tab_window = tab_window;
    h.apply_panel_flags = apply_panel_flags;
    h.apply_theme = apply_theme;
    h.rect_on_some_monitor = rect_on_some_monitor;
    h.work_area = work_area;
    h.main_client_height = main_client_height;
    h.main_client_width = main_client_width;
    h.set_main_size = set_main_size;
    h.set_main_rect = set_main_rect;
    h.apply_panel_sizes = apply_panel_sizes;
    h.create_tab_window = create_tab_window;
    h.select_tab = select_layout_tab;
    h.file_exists = file_exists;
    h.elf_load_path = elf_load_path_utf8;
    h.add_leaf_to_window = add_leaf_to_window;
    h.window_alive = window_alive;

    AppHooks& app = g_app_hooks;
    app.layout_load = layout_load;
    app.layout_load_default = layout_load_default;
    app.layout_save = layout_save;
    app.layout_default_off = default_layout_off;
    g_vartable_hooks.layout_retry_bindings = layout_retry_bindings;
    g_vartable_hooks.layout_save = save_default_layout;
}
