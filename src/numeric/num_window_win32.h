// num_window_win32.h - the numeric window "KXNumWin": a title strip over a report-style table of
// live values with their minimum and maximum, the in-place editor, the context menu and the
// automation messages WM_APP + 0x2D (open the editor on a cell) and WM_APP + 0x2E (log min/max).
//
// Every operation looks the record up from the window and does nothing (result 0) when the
// handle is not a live numeric window. Main thread only.
#pragma once
#include <windows.h>

#include <cstdint>

#include "vartable/leaf_table.h"

enum : UINT {
    NUM_MSG_BEGIN_EDIT = WM_APP + 0x2D,  // wParam row, lParam column
    NUM_MSG_LOG_MINMAX = WM_APP + 0x2E,
};

enum : int {
    NUM_TITLE_STRIP_HEIGHT = 24,
    NUM_CLOSE_BOX_WIDTH = 22,
    NUM_LIST_ID = 2460,  // the table (automation tools find it by this id)
    NUM_EDIT_ID = 2461,  // the in-place edit box, a child of the table
};

// Registers the window class (and the "num" kind with the workspace).
void num_register_class();
// A visible child window; title "数值窗口" when null. Null on failure.
HWND num_create(HWND parent, int x, int y, int width, int height, const wchar_t* title);
// The same with a UTF-8 title (null or empty gives "数值窗口" only when null).
HWND num_window_create(HWND parent, int x, int y, int width, int height, const char* title_utf8);
// 1 for a live numeric window.
int num_is_num(HWND window);
// Adds a row for the leaf; 1 when added.
int num_add_var(HWND window, LeafId id);
// One drained sample; 1 when a row took it.
int num_on_sample(HWND window, const Sample* sample);
// The current full name of row `index`'s leaf; 1 when written.
int num_row_name(HWND window, int32_t index, char* buffer, int32_t size);
// Finds every row's leaf again by name after a firmware reload; 1 when the window is live.
int num_rebind(HWND window);
// Folds the loaded recording's extremes into the rows (after a load-all replay).
void num_fold_recording(HWND window);
// Re-applies the table colours (and the header theming) and repaints; 1 when the window is live.
int num_apply_theme(HWND window);
