// variable_tree_win32.h - the variable panel on the left of the main window: the check-box
// tree view that mirrors the tree model, its vertical splitter, the strip that stands in for
// the hidden panel, the pin, and the tree's context menu.
#pragma once
#include <windows.h>

#include <cstdint>

// Child ids of the panel's windows (children of the main window).
enum : int {
    ID_VARIABLE_TREE = 3010,
    ID_VARIABLE_SPLITTER = 3011,
    ID_VARIABLE_STRIP = 3012,
    ID_VARIABLE_PIN = 3013,
};

// Panel state (main thread; the layout file stores and restores it).
struct VariablePanelState {
    int32_t hidden;               // 1 = only the strip is shown
    int32_t auto_hide;            // 1 = hides itself when the mouse leaves it
    uint64_t last_inside_ms;      // tick when the mouse was last over the panel band
};

// Creates the tree, splitter, strip and pin under the main window, attaches the tree model to
// the tree view and starts the auto-hide timer (main-window timer 3).
void variable_panel_create(HWND main);
// Places the panel's windows in the content band (its top and height); returns the left edge L
// of whatever stands to the right of the splitter (the workspace starts at L + 5).
int variable_panel_layout(int content_top, int content_height);
// Messages of the main window that belong to the panel (tree notifications, splitter drag
// WM_APP + 3, pin mode WM_APP + 9, row selection WM_APP + 12, hide WM_APP + 33, timer 3, the
// posted check-box re-read). True when handled, with the result in *result.
bool variable_panel_message(HWND main, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result);

VariablePanelState* variable_panel_state();
HWND variable_tree_window();
void set_variable_panel_hidden(int hidden);
// Shows a hidden panel and logs the reason; nothing when it is shown.
void expand_variable_panel(const char* reason);
void set_auto_hide(int on);

// Right-click menu of the tree (commands 2301 to 2306 go to the main window).
void tree_show_context_menu();
// Command 2303: the write-value dialog for the caret item's leaf, when it carries one.
void tree_write_caret_value(HWND owner);
// The select_leaf start-up hook: UTF-8 name, 0 when an item was selected.
int tree_select_leaf_utf8(const char* name);
// The tree_set_leaf_check start-up hook.
void tree_set_leaf_check_hook(int leaf_id, int checked);
