// workspace.h - the workspace on the right of the main window: the table of tabs, each holding up
// to eight hosted windows (waveform, numeric or module windows) tiled in columns, and every rule
// that creates, places, maximises, minimises, shows full screen and removes them.
//
// Index
//   [SECTION] Hosted window kinds (the contract with the waveform and numeric windows)
//   [SECTION] Records (TabRecord, workspace state)
//   [SECTION] Window-system operations (filled by the Win32 shell, faked by tests)
//   [SECTION] Tabs and hosted windows
//   [SECTION] Tiling, dividers and the minimise bar
//   [SECTION] Maximise, minimise, full screen, removal
//   [SECTION] Tab titles and renaming
//   [SECTION] Leaves, samples and notices for the hosted windows
//
// Everything here runs on the main thread. Window handles are opaque (`void*`, an HWND in the
// Win32 build). The window system is reached only through WorkspaceOps, so the whole table logic
// runs natively in the unit tests.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kestrelix_module.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] Hosted window kinds
//-------------------------------------------------------------------------------------------------
//
// The built-in window kinds are not known to the workspace at compile time: the waveform window
// (src/chart, class KXChartWin) and the numeric window (src/numeric, class KXNumWin) each register
// one HostedKind at start-up, from their class registration (before the main window exists):
//
//     static const HostedKind kChartKind = {"chart", chart_create_hosted, chart_is_chart,
//                                           chart_add_var, chart_on_sample, chart_rebind,
//                                           chart_series_name, 1};
//     workspace_register_kind(&kChartKind);
//
// Contract, per operation (all on the main thread; the record must outlive the program):
//   kind           "chart" (waveform) or "num" (numeric); the names the layout file and the
//                  command line use. Registering a kind name a second time replaces the entry.
//   create         creates a visible child window of `parent` (the tab control) at the given
//                  position and size, titled `title_utf8` (never null; may be empty), and returns
//                  its handle, or null on failure. The workspace places, shows and hides it later.
//   is_kind        1 when the handle carries a live window of this kind, else 0 (tag check).
//   add_var        adds one leaf (duplicates and overflow are the window's business).
//   on_sample      one drained sample; a window of another kind is never passed in.
//   rebind         re-finds every variable by name after a firmware (re)load.
//   variable_name  writes the index-th variable's current full name (UTF-8, at most size - 1
//                  bytes, terminated) and returns 1, or 0 past the end; enumerated from 0 up.
//   acquisition_notices  1: the window receives WM_APP + 6 (stopped) and WM_APP + 7 (started),
//                  posted with (0, 0) whenever acquisition is stopped or started by command.
//
// What the hosted windows send back (to the main window, platform_win32_main_window()):
//   WM_APP + 5  (wparam = own handle)  close me       WM_APP + 8  (own handle)  maximise/restore me
//   WM_APP + 34 (own handle)  minimise/restore me     WM_APP + 10 (own handle)  full screen on/off
// and, when activated (keyboard focus), `set_focused_window(own handle)`; after dropping a leaf,
// `release_leaf_if_unused(leaf id)` (for the chart core: g_chart_hooks.release_leaf).
//
// Screenshots (--shot=, --net-shot-at=) send WM_PRINT to the captured window; the tab control
// prints its visible hosted windows the same way, so a hosted window should draw its picture into
// the DC it receives with WM_PRINTCLIENT (or WM_PRINT) as it does for WM_PAINT.
//
// Until a kind is registered, creating it logs a warning and creates nothing.
struct HostedKind {
    const char* kind;
    void* (*create)(void* parent, int32_t x, int32_t y, int32_t width, int32_t height, const char* title_utf8);
    int32_t (*is_kind)(void* window);
    int32_t (*add_var)(void* window, int32_t leaf_id);
    void (*on_sample)(void* window, const Sample* sample);
    void (*rebind)(void* window);
    int32_t (*variable_name)(void* window, int32_t index, char* buffer, int32_t size);
    int32_t acquisition_notices;
};

enum : int32_t { WORKSPACE_KINDS_MAX = 4 };

// Registers (or replaces, by kind name) a hosted kind; null or a nameless record is ignored.
void workspace_register_kind(const HostedKind* kind);
// The registered kind of this name, or null.
const HostedKind* workspace_kind(const char* name);
// The registered kind that recognises this live window, or null.
const HostedKind* workspace_kind_of(void* window);
// Tests: forgets every registered kind.
void workspace_clear_kinds();

//-------------------------------------------------------------------------------------------------
// [SECTION] Records
//-------------------------------------------------------------------------------------------------

enum : int32_t {
    WORKSPACE_MAX_TABS = 64,
    WORKSPACE_MAX_WINDOWS = 8,
    WORKSPACE_TITLE_CAPACITY = 128,     // UTF-16 units with the terminator
    WORKSPACE_RENAME_READ_MAX = 159,    // characters read from the rename box
    WORKSPACE_NAME_CAPACITY = 300,      // variable names asked of hosted windows
    TAB_KIND_BUILTIN = 0,
    TAB_KIND_MODULE = 1,
    WINDOW_KIND_WAVEFORM = 0,           // as TREE_WINDOW_WAVEFORM
    WINDOW_KIND_NUMERIC = 1,            // as TREE_WINDOW_NUMERIC
    TAB_GAP = 6,                        // pixels between two columns (a divider)
    MIN_BUTTON_WIDTH = 170,
    MIN_BUTTON_STEP = 176,
    MIN_BAR_HEIGHT = 26,
    MIN_COLUMN_WIDTH = 20,
    DRAG_MIN_PIXELS = 60,
};

// A rectangle in the tab control's client coordinates (right and bottom exclusive).
struct WsRect {
    int32_t left, top, right, bottom;
};

// One tab of the workspace: its hosted windows in column order and their column ratios.
struct TabRecord {
    void* first_window;
    int32_t kind;                       // TAB_KIND_*
    const ModuleDescriptor* module;     // module tabs: the module that created the first window
    void* module_context;
    char16_t title[WORKSPACE_TITLE_CAPACITY];
    void* windows[WORKSPACE_MAX_WINDOWS];
    int32_t window_count;
    int32_t maximised;                  // window index, -1 for none
    char16_t window_titles[WORKSPACE_MAX_WINDOWS][WORKSPACE_TITLE_CAPACITY];
    double ratios[WORKSPACE_MAX_WINDOWS];
    int32_t minimised[WORKSPACE_MAX_WINDOWS];
};

// The 6-pixel gap between two columns and the windows on either side.
struct ColumnDivider {
    WsRect rect;
    int32_t left_index;
    int32_t right_index;
};

// One button of the minimise bar and the window it restores.
struct MinimiseButton {
    WsRect rect;
    int32_t index;
};

// A column divider being dragged.
struct ColumnDrag {
    int32_t active;
    int32_t divider;
    int32_t start_x;
    double start_ratios[WORKSPACE_MAX_WINDOWS];
};

// The counters behind "波形窗口 %d" / "数值窗口 %d" (each starts at 1).
struct WindowTitleCounters {
    int32_t new_tab_waveform;
    int32_t new_tab_numeric;
    int32_t added_waveform;
    int32_t added_numeric;
};

// Process-wide workspace state (main thread only).
struct WorkspaceState {
    TabRecord tabs[WORKSPACE_MAX_TABS];
    int32_t tab_count;
    int32_t current_tab;                // -1 when there is none
    void* focused_window;
    void* fullscreen_window;
    ColumnDivider dividers[WORKSPACE_MAX_WINDOWS];
    int32_t divider_count;
    MinimiseButton min_buttons[WORKSPACE_MAX_WINDOWS];
    int32_t min_button_count;
    ColumnDrag drag;
    int32_t rename_tab;                 // tab being renamed, -1 for none
    WindowTitleCounters counters;
};

extern WorkspaceState g_workspace;

// Empties the table and resets every field and counter (start-up and tests; no window is touched).
void workspace_reset();

//-------------------------------------------------------------------------------------------------
// [SECTION] Window-system operations
//-------------------------------------------------------------------------------------------------

// What the table logic asks of the window system. Null entries are skipped (is_window: a null
// entry treats every non-null handle as alive).
struct WorkspaceOps {
    int32_t (*is_window)(void* window);
    void (*destroy_window)(void* window);
    void (*place_window)(void* window, int32_t x, int32_t y, int32_t width, int32_t height);  // and show
    void (*show_window)(void* window, int32_t shown);
    void (*post_message)(void* window, uint32_t msg);
    // The parent for new hosted windows (the tab control), or null when there is none.
    void* (*tab_control)();
    // The tab control's display area (client rectangle below the tab row); 0 when there is no
    // tab control.
    int32_t (*display_area)(WsRect* out);
    // Refills the tab strip with these titles and selects `selected` (-1 none).
    void (*strip_fill)(const TabRecord* tabs, int32_t count, int32_t selected);
    void (*strip_set_title)(int32_t tab, const char16_t* title);
    void (*strip_repaint)();
    // Full screen: reparent to the main window over its client area, on top, focused (enter = 1);
    // back to the tab control and shown (enter = 0).
    void (*full_screen)(void* window, int32_t enter);
    void (*main_layout)();
    // The variable tree, watch flag and status bar after a leaf was released.
    void (*leaf_unwatched)(int32_t leaf_id);
    int32_t (*leaf_find)(const char* name);
};

// Installs the operations (copied; null = none).
void workspace_set_ops(const WorkspaceOps* ops);
const WorkspaceOps* workspace_ops();

//-------------------------------------------------------------------------------------------------
// [SECTION] Tabs and hosted windows
//-------------------------------------------------------------------------------------------------

// Appends a tab holding `window` as its first and only window and makes it current. A 65th tab
// destroys the window; returns the new tab's index or -1. Honours --rename-tab= for the first
// tab and --shot= (a screenshot of the new window through `shot`, see workspace_set_shot).
int32_t create_tab_from_window(void* window, int32_t kind, const ModuleDescriptor* module, void* module_context,
                               const char16_t* title);
// Creates a hosted window of kind "chart", "num" or a module window type; `tab` outside
// 0..count-1 puts it into a new tab, else it joins that tab. Null on failure.
void* create_hosted_window(int32_t tab, const char* kind_name, const char* title_utf8);
// The layout loader's creation: always a new tab.
void* create_window_for_layout(const char* kind_name, const char* title_utf8);
// A new tab with a new waveform (WINDOW_KIND_WAVEFORM) or numeric window titled from the counter.
void* new_tab_window(int32_t window_kind);
// The "窗口(&W)" menu's item n (command 2200 + n): a new tab with that module's window, titled
// with the item's label (cut to 127 bytes of whole characters). Null outside the items or when
// the module creates nothing.
void* new_tab_module_window(int32_t item_index);
// The tab context menu's "add a window to this tab" (2503/2504); a new tab without a current one.
void* add_window_to_current_tab(int32_t window_kind);
// Adds leaves to a suitable first window of that kind (a new tab when none exists).
void add_leaves_to_kind(int32_t window_kind, const int32_t* ids, int32_t count);

// Refills the strip and shows the current tab.
void rebuild_tabs();
void show_tab(int32_t index);
// A valid index becomes current, is selected in the strip and shown.
void select_tab(int32_t index);
// The strip's selection changed to `index` (logs DEBUG "Tab 切换 -> %d").
void workspace_tab_selected(int32_t index);

// Index of the first tab holding the window (and its position in *slot), or -1.
int32_t workspace_find_window(void* window, int32_t* slot);
// Records the window as focused when a tab holds it.
void set_focused_window(void* window);

// The screenshot taken for --shot= when a tab is created (the Win32 shell installs it).
void workspace_set_shot(void (*shot)(void* window, const char* path));

//-------------------------------------------------------------------------------------------------
// [SECTION] Tiling, dividers and the minimise bar
//-------------------------------------------------------------------------------------------------

// Where one window of a tab goes: shown at rect, or hidden.
struct TilePlacement {
    int32_t touch;     // 0: leave the window alone (empty entry, dead or full screen)
    int32_t shown;
    WsRect rect;
};

// The result of laying out one tab in an area.
struct TilePlan {
    TilePlacement windows[WORKSPACE_MAX_WINDOWS];
    ColumnDivider dividers[WORKSPACE_MAX_WINDOWS];
    int32_t divider_count;
    MinimiseButton buttons[WORKSPACE_MAX_WINDOWS];
    int32_t button_count;
};

// Sets `count` ratios to 1/count.
void set_equal_ratios(double* ratios, int32_t count);
// Moves the border between columns l and r by d pixels of the available width A, keeping both
// at least m pixels; 1 when the ratios changed.
int32_t adjust_column_pair(double* ratios, int32_t l, int32_t r, int32_t available, int32_t d, int32_t m);
// Width available to the columns of a tab in an area: (right - left) - 6 x visible + 6.
int32_t tile_available_width(const TabRecord* tab, const WsRect* area);
// Lays out a tab (normalising its ratios in place); `alive` null treats every window as alive.
void tile_compute(TabRecord* tab, const WsRect* area, void* fullscreen, int32_t (*alive)(void*), TilePlan* out);
// Places the current tab's windows and records its dividers and minimise buttons.
void tile_current_tab();
// Index of the divider containing the point, or -1; the same for the minimise buttons.
int32_t divider_at(int32_t x, int32_t y);
int32_t min_button_at(int32_t x, int32_t y);

// Column drag on the tab control: begin on a divider, follow the mouse, end (logs the ratios).
void workspace_drag_begin(int32_t divider, int32_t x);
// 1 when the ratios changed (and the tab was tiled again).
int32_t workspace_drag_move(int32_t x);
void workspace_drag_end();
// A click on a minimise button restores that window.
void workspace_restore_minimised(int32_t button);

//-------------------------------------------------------------------------------------------------
// [SECTION] Maximise, minimise, full screen, removal
//-------------------------------------------------------------------------------------------------

// The window a tab command acts on: the focused window when it is in the current tab, else the
// current tab's first window; null without a current tab.
void* workspace_command_window();
void workspace_toggle_maximise(void* window);
void workspace_toggle_minimise(void* window);
void workspace_toggle_full_screen(void* window);
// Removes a hosted window from its tab (and the tab with its last window); destroys it.
void workspace_remove_window(void* window);
// Runs a tab context-menu command 2501..2507 other than the rename (2502); 1 when handled.
int32_t workspace_tab_command(int32_t id);

//-------------------------------------------------------------------------------------------------
// [SECTION] Tab titles and renaming
//-------------------------------------------------------------------------------------------------

// Stores a title (at most 127 units), updates the strip, logs "标签已重命名: %s". An invalid
// index or an empty text changes nothing.
void set_tab_title(int32_t tab, const char16_t* text);
// The committed text of a rename box: at most 159 units read, blanks and tabs stripped at both
// ends, "Default" when nothing is left.
void tab_rename_text(const char16_t* typed, char16_t* out, size_t capacity);

//-------------------------------------------------------------------------------------------------
// [SECTION] Leaves, samples and notices for the hosted windows
//-------------------------------------------------------------------------------------------------

// 1 when any live hosted window shows the leaf.
int32_t leaf_shown_anywhere(int32_t leaf_id);
// A window dropped a leaf: unwatch it when no window shows it any more.
void release_leaf_if_unused(int32_t leaf_id);
// WM_APP + 35 and the layout's bindings: adds the leaf to a live window, through the module's
// add_variable for a module tab's first window, else through the window's registered kind;
// 0 added, -1 ignored.
int32_t workspace_add_leaf_to_window(void* window, int32_t leaf_id);
// Offers each sample to every live waveform and numeric window, in whatever tab (the drain's
// window step; module windows get the batch through their module's on_samples).
void workspace_deliver_samples(const Sample* samples, int32_t count);
// Posts msg to every live window whose kind takes acquisition notices (any tab).
void workspace_post_to_waveform_windows(uint32_t msg);
// Every live waveform and numeric window, in whatever tab, rebinds its variables by name.
void workspace_rebind_windows();
// Live windows of a kind in any tab, in tab and column order; returns how many were written.
int32_t workspace_windows_of_kind(const char* kind_name, void** out, int32_t capacity);

// The window that screenshot_current captures: the current tab's focused window, else its first
// window; null without a current tab (the caller then takes the workspace panel).
void* workspace_screenshot_target();
