// workspace.cpp - the tab table and its rules: creating tabs and hosted windows, showing and
// tiling the current tab, column drags, the minimise bar, maximise / minimise / full screen,
// removal, titles and the leaf and sample traffic to the hosted windows.
//
// Index
//   [SECTION] Kinds and operations
//   [SECTION] Creating tabs and windows
//   [SECTION] Showing and selecting tabs
//   [SECTION] Tiling and column drags
//   [SECTION] Maximise, minimise, full screen, removal, tab commands
//   [SECTION] Titles
//   [SECTION] Leaves, samples and notices
#include "workspace/workspace.h"

#include <cstring>

#include "core/app.h"
#include "core/log.h"
#include "core/text.h"
#include "vartable/leaf_table.h"
#include "vartable/tree_model.h"
#include "workspace/window_menu.h"

WorkspaceState g_workspace;

//-------------------------------------------------------------------------------------------------
// [SECTION] Kinds and operations
//-------------------------------------------------------------------------------------------------

namespace {

const HostedKind* g_kinds[WORKSPACE_KINDS_MAX];
WorkspaceOps g_ops;
void (*g_shot)(void* window, const char* path);

const char* kind_name_of(int32_t window_kind) { return window_kind == WINDOW_KIND_NUMERIC ? "num" : "chart"; }

bool alive(void* window) {
    if (!window) return false;
    return g_ops.is_window ? g_ops.is_window(window) != 0 : true;
}

int32_t alive_hook(void* window) { return alive(window) ? 1 : 0; }

void destroy(void* window) {
    if (window && g_ops.destroy_window && alive(window)) g_ops.destroy_window(window);
}

void show(void* window, bool shown) {
    if (window && g_ops.show_window) g_ops.show_window(window, shown ? 1 : 0);
}

bool valid_tab(int32_t index) { return index >= 0 && index < g_workspace.tab_count; }

TabRecord* current() { return valid_tab(g_workspace.current_tab) ? &g_workspace.tabs[g_workspace.current_tab] : nullptr; }

void repaint_strip() {
    if (g_ops.strip_repaint) g_ops.strip_repaint();
}

void title_to_utf8(const char16_t* title, char* out, size_t capacity) { utf16_to_utf8(title, out, capacity); }

}  // namespace

void workspace_register_kind(const HostedKind* kind) {
    if (!kind || !kind->kind) return;
    for (const HostedKind*& slot : g_kinds) {
        if (slot && strcmp(slot->kind, kind->kind) == 0) {
            slot = kind;
            return;
        }
    }
    for (const HostedKind*& slot : g_kinds) {
        if (!slot) {
            slot = kind;
            return;
        }
    }
}

const HostedKind* workspace_kind(const char* name) {
    if (!name) return nullptr;
    for (const HostedKind* k : g_kinds)
        if (k && strcmp(k->kind, name) == 0) return k;
    return nullptr;
}

const HostedKind* workspace_kind_of(void* window) {
    if (!window) return nullptr;
    for (const HostedKind* k : g_kinds)
        if (k && k->is_kind && k->is_kind(window)) return k;
    return nullptr;
}

void workspace_clear_kinds() {
    for (const HostedKind*& slot : g_kinds) slot = nullptr;
}

void workspace_set_ops(const WorkspaceOps* ops) { g_ops = ops ? *ops : WorkspaceOps{}; }
const WorkspaceOps* workspace_ops() { return &g_ops; }
void workspace_set_shot(void (*shot)(void* window, const char* path)) { g_shot = shot; }

void workspace_reset() {
    g_workspace = WorkspaceState{};
    g_workspace.current_tab = -1;
    g_workspace.rename_tab = -1;
    g_workspace.counters = {1, 1, 1, 1};
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Creating tabs and windows
//-------------------------------------------------------------------------------------------------

namespace {

void shoot_new_tab(void* window) {
    if (!g_app_options.shot_prefix[0]) return;
    char prefix[520];
    utf16_to_utf8(g_app_options.shot_prefix, prefix, sizeof prefix);
    char path[600];
    text_printf(path, sizeof path, "%s.%d.bmp", prefix, (int)g_workspace.tab_count);
    log_printf(LOG_INFO, "截图: %s", path);
    if (g_shot) g_shot(window, path);
}

// The window and where it came from, before it joins a tab.
struct NewWindow {
    void* window;
    int32_t tab_kind;
    const ModuleDescriptor* module;
    void* context;
};

// A module's window of one menu item. The label is cut to whole characters: the module may
// show it or convert it, and half a character would be an invalid text.
NewWindow create_module_window(const WindowTypeItem* item, const char* title) {
    if (!item || !item->module->create_window) return {};
    void* parent = g_ops.tab_control ? g_ops.tab_control() : nullptr;
    char label[WINDOW_MENU_LABEL_CAPACITY];
    text_copy_chars(label, sizeof label, title);
    void* window = item->module->create_window(item->context, item->entry->type_name, parent, 0, 0, 200, 150, label);
    return {window, TAB_KIND_MODULE, item->module, item->context};
}

NewWindow create_window(const char* kind_name, const char* title_utf8) {
    void* parent = g_ops.tab_control ? g_ops.tab_control() : nullptr;
    const char* title = title_utf8 ? title_utf8 : "";
    if (strcmp(kind_name, "chart") == 0 || strcmp(kind_name, "num") == 0) {
        const HostedKind* kind = workspace_kind(kind_name);
        if (!kind || !kind->create) {
            log_printf(LOG_WARN, "窗口类型未注册: %s（%s）", kind_name, title);
            return {};
        }
        void* window = kind->create(parent, 0, 0, 200, 150, title);
        if (!window) log_printf(LOG_WARN, "窗口创建失败: %s（%s）", kind_name, title);
        return {window, TAB_KIND_BUILTIN, nullptr, nullptr};
    }
    return create_module_window(window_menu_item(window_menu_find(kind_name)), title);
}

void* attach_to_tab(int32_t index, void* window, const char16_t* title, bool builtin) {
    TabRecord& t = g_workspace.tabs[index];
    if (t.window_count >= WORKSPACE_MAX_WINDOWS) {
        destroy(window);
        return nullptr;
    }
    t.windows[t.window_count] = window;
    text16_copy(t.window_titles[t.window_count], WORKSPACE_TITLE_CAPACITY, title);
    t.minimised[t.window_count] = 0;
    t.window_count++;
    set_equal_ratios(t.ratios, t.window_count);
    if (builtin) {
        char text[WORKSPACE_TITLE_CAPACITY * 3];
        title_to_utf8(title, text, sizeof text);
        log_printf(LOG_INFO, "窗口已附加到当前标签: %s (tab%d 共%d个)", text, (int)index, (int)t.window_count);
    }
    rebuild_tabs();
    return window;
}

}  // namespace

int32_t create_tab_from_window(void* window, int32_t kind, const ModuleDescriptor* module, void* module_context,
                               const char16_t* title) {
    if (g_workspace.tab_count >= WORKSPACE_MAX_TABS) {
        destroy(window);
        return -1;
    }
    int32_t index = g_workspace.tab_count;
    TabRecord& t = g_workspace.tabs[index];
    t = TabRecord{};
    t.first_window = window;
    t.windows[0] = window;
    t.window_count = 1;
    t.maximised = -1;
    t.kind = kind;
    t.module = module;
    t.module_context = module_context;
    text16_copy(t.title, WORKSPACE_TITLE_CAPACITY, title ? title : u"");
    text16_copy(t.window_titles[0], WORKSPACE_TITLE_CAPACITY, t.title);
    set_equal_ratios(t.ratios, 1);
    g_workspace.tab_count++;
    g_workspace.current_tab = index;
    rebuild_tabs();
    if (g_app_options.rename_tab[0] && g_workspace.tab_count == 1) set_tab_title(0, g_app_options.rename_tab);
    shoot_new_tab(window);
    return index;
}

void* create_hosted_window(int32_t tab, const char* kind_name, const char* title_utf8) {
    if (!kind_name) return nullptr;
    NewWindow w = create_window(kind_name, title_utf8);
    if (!w.window) return nullptr;
    char16_t title[WORKSPACE_TITLE_CAPACITY];
    utf8_to_utf16(title_utf8 ? title_utf8 : "", title, WORKSPACE_TITLE_CAPACITY);
    if (valid_tab(tab)) return attach_to_tab(tab, w.window, title, w.tab_kind == TAB_KIND_BUILTIN);
    if (create_tab_from_window(w.window, w.tab_kind, w.module, w.context, title) < 0) return nullptr;
    return w.window;
}

void* create_window_for_layout(const char* kind_name, const char* title_utf8) {
    return create_hosted_window(-1, kind_name, title_utf8);
}

void* new_tab_window(int32_t window_kind) {
    bool numeric = window_kind == WINDOW_KIND_NUMERIC;
    int32_t& counter = numeric ? g_workspace.counters.new_tab_numeric : g_workspace.counters.new_tab_waveform;
    char title[64];
    text_printf(title, sizeof title, numeric ? "数值窗口 %d" : "波形窗口 %d", (int)counter);
    counter++;
    return create_hosted_window(-1, kind_name_of(window_kind), title);
}

void* new_tab_module_window(int32_t item_index) {
    const WindowTypeItem* item = window_menu_item(item_index);
    char label[WINDOW_MENU_LABEL_CAPACITY];
    text_copy_chars(label, sizeof label, window_menu_label(item));
    NewWindow w = create_module_window(item, label);
    if (!w.window) return nullptr;
    char16_t title[WORKSPACE_TITLE_CAPACITY];
    utf8_to_utf16(label, title, WORKSPACE_TITLE_CAPACITY);
    if (create_tab_from_window(w.window, w.tab_kind, w.module, w.context, title) < 0) return nullptr;
    return w.window;
}

void* add_window_to_current_tab(int32_t window_kind) {
    if (!current()) return new_tab_window(window_kind);
    bool numeric = window_kind == WINDOW_KIND_NUMERIC;
    int32_t& counter = numeric ? g_workspace.counters.added_numeric : g_workspace.counters.added_waveform;
    char title[64];
    text_printf(title, sizeof title, numeric ? "数值窗口 %d" : "波形窗口 %d", (int)counter);
    counter++;
    return create_hosted_window(g_workspace.current_tab, kind_name_of(window_kind), title);
}

void add_leaves_to_kind(int32_t window_kind, const int32_t* ids, int32_t count) {
    if (!ids || count <= 0) return;
    const HostedKind* kind = workspace_kind(kind_name_of(window_kind));
    auto suits = [kind](const TabRecord& t) {
        return kind && kind->is_kind && t.kind == TAB_KIND_BUILTIN && alive(t.first_window) &&
               kind->is_kind(t.first_window);
    };
    void* target = nullptr;
    if (current() && suits(*current())) target = current()->first_window;
    for (int32_t i = 0; !target && i < g_workspace.tab_count; i++)
        if (suits(g_workspace.tabs[i])) target = g_workspace.tabs[i].first_window;
    if (!target) {
        if (!new_tab_window(window_kind) || g_workspace.tab_count == 0) return;
        target = g_workspace.tabs[g_workspace.tab_count - 1].first_window;
    }
    if (!kind || !kind->add_var) return;
    for (int32_t i = 0; i < count; i++) kind->add_var(target, ids[i]);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Showing and selecting tabs
//-------------------------------------------------------------------------------------------------

void rebuild_tabs() {
    int32_t remembered = g_workspace.current_tab;
    if (!valid_tab(remembered)) remembered = g_workspace.tab_count > 0 ? 0 : -1;
    if (g_ops.strip_fill) g_ops.strip_fill(g_workspace.tabs, g_workspace.tab_count, remembered);
    show_tab(remembered);
}

void show_tab(int32_t index) {
    for (int32_t i = 0; i < g_workspace.tab_count; i++) {
        const TabRecord& t = g_workspace.tabs[i];
        bool has_maximised = t.maximised >= 0 && t.maximised < t.window_count;
        for (int32_t k = 0; k < t.window_count; k++) {
            void* w = t.windows[k];
            if (!w || w == g_workspace.fullscreen_window) continue;
            show(w, i == index && (!t.minimised[k] || has_maximised));
        }
    }
    g_workspace.current_tab = index;
    tile_current_tab();
}

void select_tab(int32_t index) {
    if (!valid_tab(index)) return;
    g_workspace.current_tab = index;
    if (g_ops.strip_fill) g_ops.strip_fill(g_workspace.tabs, g_workspace.tab_count, index);
    show_tab(index);
}

void workspace_tab_selected(int32_t index) {
    if (!valid_tab(index)) return;
    show_tab(index);
    log_printf(LOG_DEBUG, "Tab 切换 -> %d", (int)index);
}

int32_t workspace_find_window(void* window, int32_t* slot) {
    if (!window) return -1;
    for (int32_t i = 0; i < g_workspace.tab_count; i++) {
        const TabRecord& t = g_workspace.tabs[i];
        for (int32_t k = 0; k < t.window_count; k++) {
            if (t.windows[k] == window) {
                if (slot) *slot = k;
                return i;
            }
        }
    }
    return -1;
}

void set_focused_window(void* window) {
    if (workspace_find_window(window, nullptr) >= 0) g_workspace.focused_window = window;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Tiling and column drags
//-------------------------------------------------------------------------------------------------

void set_equal_ratios(double* ratios, int32_t count) {
    if (!ratios || count <= 0) return;
    for (int32_t i = 0; i < count; i++) ratios[i] = 1.0 / count;
}

int32_t adjust_column_pair(double* ratios, int32_t l, int32_t r, int32_t available, int32_t d, int32_t m) {
    if (!ratios || l < 0 || r < 0 || l == r || available <= 0) return 0;
    const double a = (double)available;
    const double e = m / a;
    if (2 * e > ratios[l] + ratios[r]) return 0;
    double f = ratios[l] + d / a;
    double g = ratios[r] - d / a;
    if (f < e) {
        g -= e - f;
        f = e;
    }
    if (g < e) {
        f -= e - g;
        g = e;
    }
    auto differs = [](double x, double y) { return x - y > 1e-12 || y - x > 1e-12; };
    if (f < e || g < e || (!differs(f, ratios[l]) && !differs(g, ratios[r]))) return 0;
    ratios[l] = f;
    ratios[r] = g;
    return 1;
}

int32_t tile_available_width(const TabRecord* tab, const WsRect* area) {
    int32_t visible = 0;
    for (int32_t k = 0; k < tab->window_count; k++)
        if (!tab->minimised[k]) visible++;
    return (area->right - area->left) - TAB_GAP * visible + TAB_GAP;
}

void tile_compute(TabRecord* tab, const WsRect* area, void* fullscreen, int32_t (*is_alive)(void*), TilePlan* out) {
    *out = TilePlan{};
    const int32_t n = tab->window_count;
    if (n <= 0) return;
    auto usable = [&](int32_t k) {
        void* w = tab->windows[k];
        return w && w != fullscreen && (!is_alive || is_alive(w));
    };
    bool any_minimised = false;
    for (int32_t k = 0; k < n; k++) any_minimised = any_minimised || tab->minimised[k];
    const int32_t bottom = any_minimised ? area->bottom - MIN_BAR_HEIGHT : area->bottom;

    int32_t x = area->left + 4;
    for (int32_t k = 0; k < n && out->button_count < WORKSPACE_MAX_WINDOWS; k++) {
        if (!tab->minimised[k]) continue;
        out->buttons[out->button_count++] = {{x, area->bottom - 23, x + MIN_BUTTON_WIDTH, area->bottom - 3}, k};
        x += MIN_BUTTON_STEP;
    }

    const int32_t mx = tab->maximised;
    if (mx >= 0 && mx < n && !tab->minimised[mx]) {
        for (int32_t k = 0; k < n; k++) {
            if (!usable(k)) continue;
            out->windows[k].touch = 1;
            if (k == mx) out->windows[k] = {1, 1, {area->left, area->top, area->right, bottom}};
        }
        return;
    }

    double sum = 0;
    for (int32_t k = 0; k < n; k++) sum += tab->ratios[k];
    if (sum <= 0.0001) set_equal_ratios(tab->ratios, n);
    else for (int32_t k = 0; k < n; k++) tab->ratios[k] /= sum;

    int32_t visible = 0, last = -1;
    double s = 0;
    for (int32_t k = 0; k < n; k++) {
        if (tab->minimised[k]) continue;
        visible++;
        s += tab->ratios[k];
        last = k;
    }
    if (visible < 1 || s <= 0) {
        for (int32_t k = 0; k < n; k++) out->windows[k].touch = usable(k) ? 1 : 0;
        return;
    }
    const int32_t available = (area->right - area->left) - TAB_GAP * visible + TAB_GAP;
    x = area->left;
    for (int32_t k = 0; k < n; k++) {
        if (!usable(k)) continue;
        out->windows[k].touch = 1;
        if (tab->minimised[k]) continue;
        int32_t width = k == last ? area->right - x : (int32_t)(tab->ratios[k] / s * available + 0.5);
        if (width < MIN_COLUMN_WIDTH) width = MIN_COLUMN_WIDTH;
        out->windows[k] = {1, 1, {x, area->top, x + width, bottom}};
        if (k != last && out->divider_count < WORKSPACE_MAX_WINDOWS)
            out->dividers[out->divider_count++] = {{x + width, area->top, x + width + TAB_GAP, bottom}, k, -1};
        x += width + TAB_GAP;
    }
    for (int32_t d = 0; d < out->divider_count; d++) {
        ColumnDivider& div = out->dividers[d];
        for (int32_t k = div.left_index + 1; k < n; k++) {
            if (!tab->minimised[k]) {
                div.right_index = k;
                break;
            }
        }
    }
}

void tile_current_tab() {
    g_workspace.divider_count = 0;
    g_workspace.min_button_count = 0;
    TabRecord* tab = current();
    WsRect area;
    if (!tab || !g_ops.display_area || !g_ops.display_area(&area)) return;
    TilePlan plan;
    tile_compute(tab, &area, g_workspace.fullscreen_window, alive_hook, &plan);
    for (int32_t k = 0; k < tab->window_count; k++) {
        const TilePlacement& p = plan.windows[k];
        if (!p.touch) continue;
        if (p.shown && g_ops.place_window)
            g_ops.place_window(tab->windows[k], p.rect.left, p.rect.top, p.rect.right - p.rect.left,
                               p.rect.bottom - p.rect.top);
        else if (!p.shown) show(tab->windows[k], false);
    }
    memcpy(g_workspace.dividers, plan.dividers, sizeof plan.dividers);
    g_workspace.divider_count = plan.divider_count;
    memcpy(g_workspace.min_buttons, plan.buttons, sizeof plan.buttons);
    g_workspace.min_button_count = plan.button_count;
    repaint_strip();
}

namespace {

bool contains(const WsRect& r, int32_t x, int32_t y) { return x >= r.left && x < r.right && y >= r.top && y < r.bottom; }

}  // namespace

int32_t divider_at(int32_t x, int32_t y) {
    for (int32_t i = 0; i < g_workspace.divider_count; i++)
        if (contains(g_workspace.dividers[i].rect, x, y)) return i;
    return -1;
}

int32_t min_button_at(int32_t x, int32_t y) {
    for (int32_t i = 0; i < g_workspace.min_button_count; i++)
        if (contains(g_workspace.min_buttons[i].rect, x, y)) return i;
    return -1;
}

void workspace_drag_begin(int32_t divider, int32_t x) {
    TabRecord* tab = current();
    if (!tab || divider < 0 || divider >= g_workspace.divider_count) return;
    ColumnDrag& d = g_workspace.drag;
    d.active = 1;
    d.divider = divider;
    d.start_x = x;
    memcpy(d.start_ratios, tab->ratios, sizeof d.start_ratios);
}

int32_t workspace_drag_move(int32_t x) {
    ColumnDrag& d = g_workspace.drag;
    TabRecord* tab = current();
    WsRect area;
    if (!d.active || !tab || d.divider >= g_workspace.divider_count || !g_ops.display_area ||
        !g_ops.display_area(&area))
        return 0;
    const ColumnDivider div = g_workspace.dividers[d.divider];
    memcpy(tab->ratios, d.start_ratios, sizeof tab->ratios);
    int32_t changed = adjust_column_pair(tab->ratios, div.left_index, div.right_index,
                                         tile_available_width(tab, &area), x - d.start_x, DRAG_MIN_PIXELS);
    // Back at the start the columns return to the start ratios as well.
    if (changed || x == d.start_x) tile_current_tab();
    return changed;
}

void workspace_drag_end() {
    ColumnDrag& d = g_workspace.drag;
    if (!d.active) return;
    d.active = 0;
    TabRecord* tab = current();
    if (!tab || d.divider >= g_workspace.divider_count) return;
    const ColumnDivider& div = g_workspace.dividers[d.divider];
    if (div.left_index < 0 || div.right_index < 0) return;
    log_printf(LOG_INFO, "列宽调整: tab%d 列%d/列%d 比例 %.2f/%.2f", (int)g_workspace.current_tab,
               (int)div.left_index, (int)div.right_index, tab->ratios[div.left_index], tab->ratios[div.right_index]);
}

void workspace_restore_minimised(int32_t button) {
    TabRecord* tab = current();
    if (!tab || button < 0 || button >= g_workspace.min_button_count) return;
    int32_t k = g_workspace.min_buttons[button].index;
    if (k < 0 || k >= tab->window_count) return;
    tab->minimised[k] = 0;
    log_printf(LOG_INFO, "窗口还原: tab%d %d/%d", (int)g_workspace.current_tab, (int)k, (int)tab->window_count);
    tile_current_tab();
    repaint_strip();
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Maximise, minimise, full screen, removal, tab commands
//-------------------------------------------------------------------------------------------------

void* workspace_command_window() {
    TabRecord* tab = current();
    if (!tab) return nullptr;
    void* focused = g_workspace.focused_window;
    for (int32_t k = 0; focused && k < tab->window_count; k++)
        if (tab->windows[k] == focused) return focused;
    return tab->first_window;
}

void workspace_toggle_maximise(void* window) {
    int32_t slot = -1;
    int32_t index = workspace_find_window(window, &slot);
    if (index < 0) return;
    TabRecord& t = g_workspace.tabs[index];
    bool restore = t.maximised == slot;
    t.maximised = restore ? -1 : slot;
    log_printf(LOG_INFO, "窗口%s: tab%d %d/%d", restore ? "还原" : "最大化", (int)index, (int)slot, (int)t.window_count);
    tile_current_tab();  // placing a window shows it again
}

void workspace_toggle_minimise(void* window) {
    int32_t slot = -1;
    int32_t index = workspace_find_window(window, &slot);
    if (index < 0) return;
    TabRecord& t = g_workspace.tabs[index];
    t.minimised[slot] = t.minimised[slot] ? 0 : 1;
    if (t.minimised[slot] && t.maximised == slot) t.maximised = -1;
    log_printf(LOG_INFO, "窗口%s: tab%d %d/%d", t.minimised[slot] ? "最小化" : "还原", (int)index, (int)slot,
               (int)t.window_count);
    tile_current_tab();
    repaint_strip();
}

void workspace_toggle_full_screen(void* window) {
    if (!window) return;
    if (window == g_workspace.fullscreen_window) {
        g_workspace.fullscreen_window = nullptr;
        if (g_ops.full_screen) g_ops.full_screen(window, 0);
        if (g_ops.main_layout) g_ops.main_layout();
        log_printf(LOG_INFO, "窗口退出全屏");
        return;
    }
    // Only hosted windows go full screen; any other handle would be torn out of its parent.
    if (!alive(window) || workspace_find_window(window, nullptr) < 0) return;
    void* previous = g_workspace.fullscreen_window;
    if (previous) {
        // One window at a time: the one that was full screen goes back to its tab first.
        g_workspace.fullscreen_window = nullptr;
        if (g_ops.full_screen) g_ops.full_screen(previous, 0);
    }
    g_workspace.fullscreen_window = window;
    if (g_ops.full_screen) g_ops.full_screen(window, 1);
    if (previous) tile_current_tab();
    log_printf(LOG_INFO, "窗口全屏");
}

void workspace_remove_window(void* window) {
    if (!window) return;
    int32_t slot = -1;
    int32_t index = workspace_find_window(window, &slot);
    // A handle that no tab holds is not ours to destroy.
    if (index < 0) return;
    if (g_workspace.fullscreen_window == window) g_workspace.fullscreen_window = nullptr;
    if (g_workspace.focused_window == window) g_workspace.focused_window = nullptr;
    TabRecord& t = g_workspace.tabs[index];
    if (t.kind == TAB_KIND_MODULE && t.module && t.module->window_closing)
        t.module->window_closing(t.module_context, window);
    destroy(window);
    if (t.window_count <= 1) {
        for (int32_t i = index; i + 1 < g_workspace.tab_count; i++) g_workspace.tabs[i] = g_workspace.tabs[i + 1];
        g_workspace.tab_count--;
        g_workspace.tabs[g_workspace.tab_count] = TabRecord{};
        if (g_workspace.current_tab >= g_workspace.tab_count) g_workspace.current_tab = g_workspace.tab_count - 1;
        // The tab being renamed keeps its identity when an earlier one goes.
        if (g_workspace.rename_tab == index) g_workspace.rename_tab = -1;
        else if (g_workspace.rename_tab > index) g_workspace.rename_tab--;
    } else {
        for (int32_t k = slot; k + 1 < t.window_count; k++) {
            t.windows[k] = t.windows[k + 1];
            memcpy(t.window_titles[k], t.window_titles[k + 1], sizeof t.window_titles[k]);
            t.minimised[k] = t.minimised[k + 1];
        }
        t.window_count--;
        t.windows[t.window_count] = nullptr;
        t.window_titles[t.window_count][0] = 0;
        t.minimised[t.window_count] = 0;
        set_equal_ratios(t.ratios, t.window_count);
        if (slot == 0) {
            t.first_window = t.windows[0];
            text16_copy(t.title, WORKSPACE_TITLE_CAPACITY, t.window_titles[0]);
        }
        // The maximised window moves down with the gap; the removed one leaves no maximised window.
        if (t.maximised == slot) t.maximised = -1;
        else if (t.maximised > slot) t.maximised--;
        if (t.maximised >= t.window_count) t.maximised = -1;
    }
    rebuild_tabs();
}

int32_t workspace_tab_command(int32_t id) {
    switch (id) {
        case 2501:
            if (current()) workspace_remove_window(current()->first_window);
            return 1;
        case 2503: add_window_to_current_tab(WINDOW_KIND_WAVEFORM); return 1;
        case 2504: add_window_to_current_tab(WINDOW_KIND_NUMERIC); return 1;
        case 2505: workspace_toggle_maximise(workspace_command_window()); return 1;
        case 2506: workspace_toggle_full_screen(workspace_command_window()); return 1;
        case 2507: workspace_toggle_minimise(workspace_command_window()); return 1;
        default: return 0;
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Titles
//-------------------------------------------------------------------------------------------------

void set_tab_title(int32_t tab, const char16_t* text) {
    if (!valid_tab(tab) || !text || !text[0]) return;
    TabRecord& t = g_workspace.tabs[tab];
    text16_copy(t.title, WORKSPACE_TITLE_CAPACITY, text);
    if (g_ops.strip_set_title) g_ops.strip_set_title(tab, t.title);
    char utf8[WORKSPACE_TITLE_CAPACITY * 3];
    title_to_utf8(t.title, utf8, sizeof utf8);
    log_printf(LOG_INFO, "标签已重命名: %s", utf8);
}

void tab_rename_text(const char16_t* typed, char16_t* out, size_t capacity) {
    if (!out || capacity == 0) return;
    char16_t buffer[WORKSPACE_RENAME_READ_MAX + 1];
    text16_copy(buffer, sizeof buffer / sizeof buffer[0], typed ? typed : u"");
    const char16_t* start = buffer;
    while (*start == u' ' || *start == u'\t') start++;
    size_t n = text16_len(start);
    while (n > 0 && (start[n - 1] == u' ' || start[n - 1] == u'\t')) n--;
    buffer[(start - buffer) + n] = 0;
    text16_copy(out, capacity, n > 0 ? start : u"Default");
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Leaves, samples and notices
//-------------------------------------------------------------------------------------------------

namespace {

// Enumerations stop here even if a window keeps answering.
enum : int32_t { NAME_ENUM_LIMIT = 512 };

// A window is asked through its own kind: a waveform or numeric window added to a module's tab
// answers for itself; only windows of no registered kind in a module tab ask the module.
bool window_shows_leaf(const TabRecord& t, void* w, int32_t leaf_id) {
    char name[WORKSPACE_NAME_CAPACITY];
    const HostedKind* kind = workspace_kind_of(w);
    if (kind) {
        if (!kind->variable_name) return false;
        for (int32_t i = 0; i < NAME_ENUM_LIMIT && kind->variable_name(w, i, name, WORKSPACE_NAME_CAPACITY); i++)
            if (leaf_find(name) == leaf_id) return true;
        return false;
    }
    const ModuleDescriptor* m = t.kind == TAB_KIND_MODULE ? t.module : nullptr;
    if (!m || m->api_version <= 2 || !m->get_variable) return false;
    for (int32_t i = 0; i < NAME_ENUM_LIMIT; i++) {
        name[0] = 0;
        if (!m->get_variable(t.module_context, w, i, name, WORKSPACE_NAME_CAPACITY)) break;
        name[WORKSPACE_NAME_CAPACITY - 1] = 0;
        if (leaf_find(name) == leaf_id) return true;
    }
    return false;
}

}  // namespace

int32_t leaf_shown_anywhere(int32_t leaf_id) {
    for (int32_t i = 0; i < g_workspace.tab_count; i++) {
        const TabRecord& t = g_workspace.tabs[i];
        for (int32_t k = 0; k < t.window_count; k++)
            if (alive(t.windows[k]) && window_shows_leaf(t, t.windows[k], leaf_id)) return 1;
    }
    return 0;
}

void release_leaf_if_unused(int32_t leaf_id) {
    if (leaf_id < 0 || leaf_shown_anywhere(leaf_id)) return;
    leaf_set_watched(leaf_id, 0);
    tree_set_leaf_check(leaf_id, 0);
    if (g_ops.leaf_unwatched) g_ops.leaf_unwatched(leaf_id);
    log_printf(LOG_DEBUG, "变量已从所有窗口移除，取消观测: id=%d", (int)leaf_id);
}

int32_t workspace_add_leaf_to_window(void* window, int32_t leaf_id) {
    if (!alive(window)) return -1;
    // A module's window takes its variables through the module's own entry.
    for (int32_t i = 0; i < g_workspace.tab_count; i++) {
        const TabRecord& t = g_workspace.tabs[i];
        if (t.kind != TAB_KIND_MODULE || t.first_window != window || !t.module) continue;
        if (!t.module->add_variable) return -1;
        t.module->add_variable(t.module_context, window, leaf_id);
        return 0;
    }
    const HostedKind* kind = workspace_kind_of(window);
    if (!kind || !kind->add_var) return -1;
    kind->add_var(window, leaf_id);
    return 0;
}

namespace {

// Calls fn(window, kind) for every live window of a registered kind in every tab (also the
// waveform and numeric windows added to a module's tab), in tab and column order.
template <typename F>
void for_each_builtin_window(F fn) {
    for (int32_t i = 0; i < g_workspace.tab_count; i++) {
        const TabRecord& t = g_workspace.tabs[i];
        for (int32_t k = 0; k < t.window_count; k++) {
            void* w = t.windows[k];
            const HostedKind* kind = alive(w) ? workspace_kind_of(w) : nullptr;
            if (kind) fn(w, kind);
        }
    }
}

}  // namespace

void workspace_deliver_samples(const Sample* samples, int32_t count) {
    if (!samples || count <= 0) return;
    for_each_builtin_window([&](void* w, const HostedKind* kind) {
        if (kind->on_sample)
            for (int32_t s = 0; s < count; s++) kind->on_sample(w, &samples[s]);
    });
}

void workspace_post_to_waveform_windows(uint32_t msg) {
    if (!g_ops.post_message) return;
    for_each_builtin_window([&](void* w, const HostedKind* kind) {
        if (kind->acquisition_notices) g_ops.post_message(w, msg);
    });
}

void workspace_rebind_windows() {
    for_each_builtin_window([](void* w, const HostedKind* kind) {
        if (kind->rebind) kind->rebind(w);
    });
}

int32_t workspace_windows_of_kind(const char* kind_name, void** out, int32_t capacity) {
    const HostedKind* wanted = workspace_kind(kind_name);
    if (!wanted || !out) return 0;
    int32_t n = 0;
    for_each_builtin_window([&](void* w, const HostedKind* kind) {
        if (kind == wanted && n < capacity) out[n++] = w;
    });
    return n;
}

void* workspace_screenshot_target() {
    TabRecord* tab = current();
    if (!tab) return nullptr;
    void* focused = g_workspace.focused_window;
    for (int32_t k = 0; focused && k < tab->window_count; k++)
        if (tab->windows[k] == focused) return focused;
    return tab->window_count > 0 ? tab->windows[0] : nullptr;
}
