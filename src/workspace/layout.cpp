// layout.cpp - reading and writing layout.ini, and the pending variable bindings.
//
// Index
//   [SECTION] Parsing
//   [SECTION] Writing
//   [SECTION] Saving and loading
//   [SECTION] Pending bindings
#include "workspace/layout.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/log.h"
#include "core/platform.h"
#include "core/text.h"
#include "network/net_key.h"
#include "vartable/leaf_table.h"

LayoutHooks g_layout_hooks;

//-------------------------------------------------------------------------------------------------
// [SECTION] Parsing
//-------------------------------------------------------------------------------------------------

namespace {

// Leading decimal digits with an optional sign; no digits give 0.
int32_t leading_int(const char* text) {
    while (*text == ' ' || *text == '\t') text++;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    long long v = 0;
    while (*text >= '0' && *text <= '9' && v < 10000000000LL) v = v * 10 + (*text++ - '0');
    if (negative) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    return (int32_t)v;
}

// Clears everything but the sections themselves: the record holds 1.2 MB of section slots and a
// section is cleared when it is started, so reading a small file touches only what it uses.
void layout_defaults(LayoutData* d) {
    memset(d, 0, offsetof(LayoutData, sections));
    d->section_count = 0;
    d->main_x = d->main_y = -1;
    d->tree_w = d->log_h = -1;
    d->active = -1;
    d->log_hidden = d->tree_hidden = d->tree_auto = -1;
    d->theme = -1;
}

void section_clear(LayoutSection* s) {
    s->type[0] = 0;
    s->title[0] = 0;
    s->var_count = 0;
}

// A value cut to its field may end in carriage returns that stood inside the line; the written
// line would lose them as its line end, so they are not kept.
void value_copy(char* out, size_t capacity, const char* value) {
    text_copy(out, capacity, value);
    size_t n = strlen(out);
    while (n > 0 && out[n - 1] == '\r') out[--n] = 0;
}

void add_var(LayoutSection* s, const char* name) {
    if (s->var_count >= LAYOUT_MAX_VARS) return;
    char* slot = s->vars[s->var_count];
    value_copy(slot, LAYOUT_VAR_CAPACITY, name);
    if (slot[0]) s->var_count++;  // an empty name is no variable (and would not read back)
}

void apply_global(LayoutData* d, const char* key, const char* value) {
    if (!strcmp(key, "main_x")) d->main_x = leading_int(value);
    else if (!strcmp(key, "main_y")) d->main_y = leading_int(value);
    else if (!strcmp(key, "main_w")) d->main_w = leading_int(value);
    else if (!strcmp(key, "main_h")) d->main_h = leading_int(value);
    else if (!strcmp(key, "tree_w")) d->tree_w = leading_int(value);
    else if (!strcmp(key, "log_h")) d->log_h = leading_int(value);
    else if (!strcmp(key, "log_hidden")) d->log_hidden = leading_int(value) ? 1 : 0;
    else if (!strcmp(key, "tree_hidden")) d->tree_hidden = leading_int(value) ? 1 : 0;
    else if (!strcmp(key, "tree_auto")) d->tree_auto = leading_int(value) ? 1 : 0;
    else if (!strcmp(key, "active")) d->active = leading_int(value);
    else if (!strcmp(key, "theme")) d->theme = leading_int(value) ? 1 : 0;
    else if (!strcmp(key, "elf")) value_copy(d->elf, sizeof d->elf, value);
    else if (!strcmp(key, "wins")) d->tab_count = leading_int(value);
    else if (!strcmp(key, "net_key")) value_copy(d->net_key, sizeof d->net_key, value);
}

void apply_section(LayoutSection* s, const char* line, const char* key, const char* value) {
    if (!strcmp(key, "type")) value_copy(s->type, sizeof s->type, value);
    else if (!strcmp(key, "title")) value_copy(s->title, sizeof s->title, value);
    else if (!strcmp(key, "vars")) add_var(s, value);
    else if (!strcmp(key, "vars+")) add_var(s, value);
    else if (!strchr(line, '=') && !strncmp(line, "vars+", 5)) add_var(s, line + 5);
}

}  // namespace

void layout_parse(const char* text, uint64_t size, LayoutData* d) {
    layout_defaults(d);
    if (!text) return;
    uint64_t pos = 0;
    if (size >= 3 && (unsigned char)text[0] == 0xEF && (unsigned char)text[1] == 0xBB && (unsigned char)text[2] == 0xBF)
        pos = 3;
    LayoutSection* section = nullptr;
    while (pos < size) {
        uint64_t end = pos;
        while (end < size && text[end] != '\n') end++;
        char line[1024];
        uint64_t n = end - pos < 1023 ? end - pos : 1023;
        memcpy(line, text + pos, n);
        line[n] = 0;
        // A NUL ends the line's text: the carriage return before it is then the line end too, or
        // "elf=x\r\0..." would keep a value that cannot be written back.
        n = strlen(line);
        while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) line[--n] = 0;
        pos = end + 1;

        if (!strcmp(line, "[win]")) {
            // The 65th and later sections are read as if they stood in the global part.
            section = d->section_count < LAYOUT_MAX_SECTIONS ? &d->sections[d->section_count++] : nullptr;
            if (section) section_clear(section);
            continue;
        }
        char key[64], value[900];
        const char* eq = strchr(line, '=');
        size_t key_len = eq ? (size_t)(eq - line) : strlen(line);
        if (key_len > 63) key_len = 63;
        memcpy(key, line, key_len);
        key[key_len] = 0;
        text_copy(value, sizeof value, eq ? eq + 1 : "");
        if (section) apply_section(section, line, key, value);
        else apply_global(d, key, value);
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Writing
//-------------------------------------------------------------------------------------------------

void layout_write(FILE* f, const LayoutData* d) {
    fwrite("\xEF\xBB\xBF", 1, 3, f);
    file_printf_line(f, "[layout]");
    file_printf_line(f, "version=%d", 1);
    file_printf_line(f, "main_x=%d", d->main_x);
    file_printf_line(f, "main_y=%d", d->main_y);
    file_printf_line(f, "main_w=%d", d->main_w);
    file_printf_line(f, "main_h=%d", d->main_h);
    file_printf_line(f, "tree_w=%d", d->tree_w);
    file_printf_line(f, "log_h=%d", d->log_h);
    file_printf_line(f, "log_hidden=%d", d->log_hidden > 0 ? 1 : 0);
    file_printf_line(f, "tree_hidden=%d", d->tree_hidden > 0 ? 1 : 0);
    file_printf_line(f, "tree_auto=%d", d->tree_auto > 0 ? 1 : 0);
    file_printf_line(f, "active=%d", d->active);
    file_printf_line(f, "theme=%d", d->theme > 0 ? 1 : 0);
    file_printf_line(f, "elf=%s", d->elf);
    file_printf_line(f, "wins=%d", d->tab_count);
    if (d->net_key[0]) file_printf_line(f, "net_key=%s", d->net_key);
    for (int32_t i = 0; i < d->section_count; i++) {
        const LayoutSection& s = d->sections[i];
        file_printf_line(f, "[win]");
        file_printf_line(f, "type=%s", s.type);
        file_printf_line(f, "title=%s", s.title);
        file_printf_line(f, "vars=%s", s.var_count > 0 ? s.vars[0] : "");
        for (int32_t v = 1; v < s.var_count; v++) file_printf_line(f, "vars+=%s", s.vars[v]);
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Saving and loading
//-------------------------------------------------------------------------------------------------

namespace {

// The records a load and a save work in: 1.2 MB each, so they are kept rather than allocated per
// call (both run on the main thread, and a load never saves).
LayoutData g_layout_loading;
LayoutData g_layout_saving;

// Gathers the current state through the hooks.
void layout_collect(LayoutData* d) {
    const LayoutHooks& h = g_layout_hooks;
    layout_defaults(d);
    d->main_x = d->main_y = 0;
    d->log_hidden = d->tree_hidden = d->tree_auto = 0;
    if (h.main_rect) h.main_rect(&d->main_x, &d->main_y, &d->main_w, &d->main_h);
    d->tree_w = h.tree_width ? h.tree_width() : 340;
    d->log_h = h.log_height ? h.log_height() : 170;
    if (h.panel_flags) h.panel_flags(&d->log_hidden, &d->tree_hidden, &d->tree_auto);
    d->active = h.current_tab ? h.current_tab() : -1;
    d->theme = h.theme_dark ? (h.theme_dark() ? 1 : 0) : 0;
    text_copy(d->elf, sizeof d->elf, h.current_elf_path ? h.current_elf_path() : "");
    net_key_copy(d->net_key, sizeof d->net_key);
    d->tab_count = h.tab_count ? h.tab_count() : 0;
    for (int32_t t = 0; t < d->tab_count && d->section_count < LAYOUT_MAX_SECTIONS; t++) {
        LayoutSection* s = &d->sections[d->section_count];
        memset(s, 0, sizeof *s);
        if (!h.tab_section || !h.tab_section(t, s)) continue;
        // A window restored before its firmware was found still owes the user these names.
        if (h.tab_window) layout_append_pending_names(h.tab_window(t), s);
        d->section_count++;
    }
}

}  // namespace

void layout_clamp_main_rect(LayoutRect* r, const LayoutRect* area) {
    if (!area || area->w <= 0 || area->h <= 0) return;
    if (r->w > area->w) r->w = area->w;
    if (r->h > area->h) r->h = area->h;
    // Negative positions mean "keep the current position" and are left alone. The sums are taken
    // in 64 bits: a hand-edited position near the end of the range must not wrap to the left.
    if (r->x >= 0 && r->y >= 0) {
        if ((int64_t)r->x + r->w > (int64_t)area->x + area->w) r->x = area->x + area->w - r->w;
        if ((int64_t)r->y + r->h > (int64_t)area->y + area->h) r->y = area->y + area->h - r->h;
        if (r->x < area->x) r->x = area->x;
        if (r->y < area->y) r->y = area->y;
    }
}

int32_t layout_clamp_tree_width(int32_t tree_w, int32_t client_w) {
    if (tree_w < LAYOUT_TREE_MIN) return -1;
    if (tree_w > LAYOUT_TREE_MAX) tree_w = LAYOUT_TREE_MAX;
    // A splitter is dragged inside the window: a restored panel leaves the workspace visible.
    if (client_w >= 0 && tree_w > client_w - LAYOUT_TREE_ROOM) tree_w = client_w - LAYOUT_TREE_ROOM;
    return tree_w < LAYOUT_TREE_MIN ? LAYOUT_TREE_MIN : tree_w;
}

int32_t layout_clamp_log_height(int32_t log_h, int32_t client_h) {
    if (log_h < LAYOUT_LOG_MIN_APPLIED) return -1;
    if (client_h < 0) return log_h;
    // As the splitter drag: the room for the workspace wins over the minimum in a very low window.
    int32_t max = client_h - LAYOUT_LOG_ROOM;
    if (log_h > max) log_h = max;
    if (log_h < LAYOUT_LOG_MIN && max >= LAYOUT_LOG_MIN) log_h = LAYOUT_LOG_MIN;
    return log_h < 0 ? -1 : log_h;
}

int layout_save(const char* path) {
    if (!path || !path[0]) return -1;
    LayoutData* d = &g_layout_saving;
    layout_collect(d);
    FILE* f = platform()->open_file(path, "wb");
    if (!f) return -1;
    layout_write(f, d);
    // A full disk shows up at the flush or the close: the layout is then not reported as saved.
    bool ok = fflush(f) == 0 && !ferror(f);
    if (fclose(f) != 0) ok = false;
    if (!ok) return -1;
    log_printf(LOG_INFO, "布局已保存: %s (%d 个窗口)", path, d->tab_count);
    return 0;
}

void layout_default_path(bool for_saving, char* out, uint64_t capacity) {
    const Platform* p = platform();
    const char sep = platform_path_separator();
    char appdata[520];
    if (p->get_env("LOCALAPPDATA", appdata, sizeof appdata) == 0) {
        char folder[600];
        text_printf(folder, sizeof folder, "%s%cKestrelix", appdata, sep);
        if (for_saving) p->make_dir(folder);
        text_printf(out, (size_t)capacity, "%s%clayout.ini", folder, sep);
        return;
    }
    char dir[1024];
    if (for_saving && p->exe_dir(dir, sizeof dir) == 0) {
        text_printf(out, (size_t)capacity, "%s%clayout.ini", dir, sep);
        FILE* f = p->open_file(out, "ab");
        if (f) {
            fclose(f);
            return;
        }
    }
    text_copy(out, (size_t)capacity, "layout.ini");
}

namespace {
bool g_default_file_enabled = true;
}

void layout_set_default_file_enabled(bool enabled) { g_default_file_enabled = enabled; }
bool layout_default_file_enabled() { return g_default_file_enabled; }

int layout_save_default() {
    if (!g_default_file_enabled) return -1;
    char path[1100];
    layout_default_path(true, path, sizeof path);
    return layout_save(path);
}

namespace {

// Reads a whole file (at most 16 MB: a layout is a few kilobytes).
bool read_file(const char* path, std::unique_ptr<char[]>* bytes, uint64_t* size) {
    FILE* f = platform()->open_file(path, "rb");
    if (!f) return false;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    if (n < 0 || n > (16L << 20)) {
        fclose(f);
        return false;
    }
    bytes->reset(new (std::nothrow) char[(size_t)n + 1]);
    if (!*bytes) {
        fclose(f);
        return false;
    }
    *size = fread(bytes->get(), 1, (size_t)n, f);
    fclose(f);
    return true;
}

void apply_main_rect(const LayoutData& d) {
    const LayoutHooks& h = g_layout_hooks;
    if (d.main_w <= 200 || d.main_h <= 120) return;
    LayoutRect r = {d.main_x, d.main_y, d.main_w, d.main_h};
    LayoutRect area;
    bool have_area = h.work_area && h.work_area(r.x < 0 ? 0 : r.x, r.y < 0 ? 0 : r.y, r.w, r.h, &area);
    if (d.main_x < 0 || d.main_y < 0) {
        layout_clamp_main_rect(&r, have_area ? &area : nullptr);
        if (h.set_main_size) h.set_main_size(r.w, r.h);
    } else if (!h.rect_on_some_monitor || h.rect_on_some_monitor(d.main_x, d.main_y, d.main_w, d.main_h)) {
        layout_clamp_main_rect(&r, have_area ? &area : nullptr);
        if (h.set_main_rect) h.set_main_rect(r.x, r.y, r.w, r.h);
    } else {
        r.x = r.y = -1;
        layout_clamp_main_rect(&r, have_area ? &area : nullptr);
        if (h.set_main_size) h.set_main_size(r.w, r.h);
        log_printf(LOG_INFO, "布局主窗口位置 (%d,%d) 在屏幕外，回退默认位置", d.main_x, d.main_y);
    }
}

}  // namespace

int layout_load(const char* path) {
    const LayoutHooks& h = g_layout_hooks;
    if (!path) return -1;
    std::unique_ptr<char[]> bytes;
    uint64_t size = 0;
    if (!read_file(path, &bytes, &size)) return -1;
    LayoutData* d = &g_layout_loading;
    layout_parse(bytes.get(), size, d);
    net_key_set_from_layout(d->net_key);
    if (h.apply_panel_flags && (d->log_hidden >= 0 || d->tree_hidden >= 0 || d->tree_auto >= 0))
        h.apply_panel_flags(d->log_hidden, d->tree_hidden, d->tree_auto);
    if (h.apply_theme && d->theme >= 0) h.apply_theme(d->theme);
    apply_main_rect(*d);
    // A hand-edited or stale file may ask for sizes no drag could give (tree_w=100000 would leave
    // no room for anything else): clamp them, so they are not saved back either.
    int32_t client_w = h.main_client_width ? h.main_client_width() : -1;
    int32_t client_h = h.main_client_height ? h.main_client_height() : -1;
    if (h.apply_panel_sizes)
        h.apply_panel_sizes(layout_clamp_tree_width(d->tree_w, client_w), layout_clamp_log_height(d->log_h, client_h));
    for (int32_t i = 0; i < d->section_count; i++) {
        const LayoutSection& s = d->sections[i];
        if (!s.type[0]) continue;
        void* window = h.create_tab_window ? h.create_tab_window(s.type, s.title[0] ? s.title : s.type) : nullptr;
        if (!window) continue;
        for (int32_t v = 0; v < s.var_count; v++) layout_bind_variable(window, s.vars[v]);
    }
    int32_t tabs = h.tab_count ? h.tab_count() : 0;
    if (d->active >= 0 && d->active < tabs && h.select_tab) h.select_tab(d->active);
    if (d->elf[0]) {
        if (h.file_exists && !h.file_exists(d->elf)) {
            log_printf(LOG_WARN, "上次的 ELF 文件不存在，跳过自动加载: %s", d->elf);
        } else if (h.elf_load_path && h.elf_load_path(d->elf) == 0) {
            log_printf(LOG_INFO, "已自动加载上次 ELF: %s", d->elf);
        }
    }
    log_printf(LOG_INFO, "布局已加载: %s (%d 个窗口)", path, d->section_count);
    return 0;
}

int layout_load_default() {
    if (!g_default_file_enabled) return -1;
    char path[1100];
    layout_default_path(false, path, sizeof path);
    FILE* f = platform()->open_file(path, "rb");
    if (!f) return -1;  // no default layout yet: nothing is loaded and nothing is logged
    fclose(f);
    return layout_load(path);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Pending bindings
//-------------------------------------------------------------------------------------------------

namespace {

// A restored window waiting for a leaf of this name.
struct PendingBinding {
    void* window;
    char name[LAYOUT_PENDING_NAME_CAPACITY];
};

PendingBinding g_pending[LAYOUT_MAX_PENDING];
int32_t g_pending_count;

}  // namespace

void layout_bind_variable(void* window, const char* name) {
    if (!window || !name || !name[0]) return;
    LeafId id = leaf_find(name);
    if (id < 0) {
        if (g_pending_count >= LAYOUT_MAX_PENDING) return;
        g_pending[g_pending_count].window = window;
        text_copy(g_pending[g_pending_count].name, LAYOUT_PENDING_NAME_CAPACITY, name);
        g_pending_count++;
        return;
    }
    if (g_layout_hooks.add_leaf_to_window) g_layout_hooks.add_leaf_to_window(window, id);
}

void layout_retry_bindings() {
    int32_t kept = 0;
    for (int32_t i = 0; i < g_pending_count; i++) {
        PendingBinding& p = g_pending[i];
        if (g_layout_hooks.window_alive && !g_layout_hooks.window_alive(p.window)) continue;
        LeafId id = leaf_find(p.name);
        if (id >= 0) {
            if (g_layout_hooks.add_leaf_to_window) g_layout_hooks.add_leaf_to_window(p.window, id);
            continue;
        }
        if (kept != i) g_pending[kept] = p;
        kept++;
    }
    g_pending_count = kept;
}

void layout_append_pending_names(const void* window, LayoutSection* s) {
    if (!window || !s) return;
    for (int32_t i = 0; i < g_pending_count && s->var_count < LAYOUT_MAX_VARS; i++) {
        const PendingBinding& p = g_pending[i];
        if (p.window != window) continue;
        bool listed = false;
        for (int32_t v = 0; v < s->var_count && !listed; v++) listed = strcmp(s->vars[v], p.name) == 0;
        if (!listed) text_copy(s->vars[s->var_count++], LAYOUT_VAR_CAPACITY, p.name);
    }
}

int32_t layout_pending_count() { return g_pending_count; }
void layout_pending_clear() { g_pending_count = 0; }
