// layout.h - the layout file (layout.ini): main window rectangle, panel sizes and states, theme,
// tabs with their first window's type, title and variables, and the last firmware image; and the
// pending bindings that attach restored windows' variables once the leaves exist.
#pragma once
#include <cstdint>
#include <cstdio>

enum : int32_t {
    LAYOUT_MAX_SECTIONS = 64,
    LAYOUT_MAX_VARS = 64,
    LAYOUT_VAR_CAPACITY = 300,        // 299 bytes and the terminator
    LAYOUT_MAX_PENDING = 512,
    LAYOUT_PENDING_NAME_CAPACITY = 256,
};

// One "[win]" section: the window type, the tab's title and the variable names.
struct LayoutSection {
    char type[64];
    char title[512];
    char vars[LAYOUT_MAX_VARS][LAYOUT_VAR_CAPACITY];
    int32_t var_count;
};

// A rectangle in screen pixels.
struct LayoutRect {
    int32_t x, y, w, h;
};

// The bounds a restored size is clamped to: what dragging a splitter or a window could give.
enum : int32_t {
    LAYOUT_TREE_MIN = 120,      // smaller saved widths are ignored, as before
    LAYOUT_TREE_MAX = 900,
    LAYOUT_TREE_ROOM = 120,     // the variable panel leaves this much of the client width
    LAYOUT_LOG_MIN_APPLIED = 60,
    LAYOUT_LOG_MIN = 40,
    LAYOUT_LOG_ROOM = 120,      // the message panel leaves this much of the client height
};

// Everything a layout file holds (read or to be written).
struct LayoutData {
    int32_t main_x, main_y, main_w, main_h;   // -1 when absent (x, y); 0 when absent (w, h)
    int32_t tree_w, log_h;                    // -1 when absent
    int32_t log_hidden, tree_hidden, tree_auto;  // -1 when absent (the setting stays as it is)
    int32_t active;                           // -1 when absent
    int32_t theme;                            // 1 dark, 0 light, -1 when absent
    char elf[780];
    char net_key[128];                        // the shared key of remote operation, "" when none
    int32_t tab_count;                        // "wins", written only
    LayoutSection sections[LAYOUT_MAX_SECTIONS];
    int32_t section_count;
};

// What saving and loading need from the main window, the workspace and the loader. Null entries
// are skipped (saving then writes defaults for their values).
struct LayoutHooks {
    // Saving.
    void (*main_rect)(int32_t* x, int32_t* y, int32_t* w, int32_t* h);
    int32_t (*tree_width)();
    int32_t (*log_height)();
    void (*panel_flags)(int32_t* log_hidden, int32_t* tree_hidden, int32_t* tree_auto);
    int32_t (*current_tab)();
    int32_t (*theme_dark)();
    const char* (*current_elf_path)();          // UTF-8, empty when none
    int32_t (*tab_count)();
    // Fills a section for tab i from its first window (type, tab name, variable names); 0 when
    // the tab has no window that can be written (the tab is skipped).
    int32_t (*tab_section)(int32_t tab, LayoutSection* out);
    // The window tab i was created with (null when none): its variables still waiting for their
    // leaves are written after the ones it shows.
    void* (*tab_window)(int32_t tab);
    // Loading.
    // A flag of -1 was absent from the file: that setting stays as it is.
    void (*apply_panel_flags)(int32_t log_hidden, int32_t tree_hidden, int32_t tree_auto);
    void (*apply_theme)(int32_t dark);
    bool (*rect_on_some_monitor)(int32_t x, int32_t y, int32_t w, int32_t h);
    // Work area (screen pixels) of the monitor nearest to the rectangle; false when unknown.
    bool (*work_area)(int32_t x, int32_t y, int32_t w, int32_t h, LayoutRect* area);
    int32_t (*main_client_height)();            // after the restored size was applied
    int32_t (*main_client_width)();
    void (*set_main_size)(int32_t w, int32_t h);
    void (*set_main_rect)(int32_t x, int32_t y, int32_t w, int32_t h);
    void (*apply_panel_sizes)(int32_t tree_w, int32_t log_h);   // -1 = keep
    void* (*create_tab_window)(const char* type, const char* title);  // null when none was made
    void (*select_tab)(int32_t index);
    bool (*file_exists)(const char* path);
    int (*elf_load_path)(const char* path);
    // Binding: adds a found leaf to a restored window; window liveness for the pending list.
    void (*add_leaf_to_window)(void* window, int32_t leaf_id);
    bool (*window_alive)(void* window);
};
extern LayoutHooks g_layout_hooks;

// Parses layout text (after reading the file); applies nothing. Lines are cut at 1023 bytes.
void layout_parse(const char* text, uint64_t size, LayoutData* out);
// Writes the data as layout text to an open stream (byte-order mark first).
void layout_write(FILE* stream, const LayoutData* data);

// The sizes a layout asks for, clamped to what the user could have dragged: the main rectangle
// to the work area (null: no clamp), the tree width and the message panel height to their splitter
// ranges (-1 = keep). `client_w` and `client_h` are the main window's client size, or -1 when
// unknown.
void layout_clamp_main_rect(LayoutRect* rect, const LayoutRect* area);
int32_t layout_clamp_tree_width(int32_t tree_w, int32_t client_w);
int32_t layout_clamp_log_height(int32_t log_h, int32_t client_h);

// The main-window services (paths UTF-8). With the user's layout switched off (--no-layout), the
// default file is neither read nor written.
int layout_save(const char* path);
int layout_save_default();
int layout_load(const char* path);
int layout_load_default();
// Default path for saving or for loading (creates LOCALAPPDATA\Kestrelix when saving).
void layout_default_path(bool for_saving, char* out, uint64_t capacity);

void layout_set_default_file_enabled(bool enabled);
bool layout_default_file_enabled();

void layout_bind_variable(void* window, const char* name);
void layout_retry_bindings();
// Appends the names still parked for `window` that the section does not list yet (in the order
// they were parked, up to the section's capacity).
void layout_append_pending_names(const void* window, LayoutSection* section);
int32_t layout_pending_count();
void layout_pending_clear();
