// num_window.h - the numeric window's record and its rules: up to 128 rows of live values with
// the smallest and largest value seen, rows found again by name after a firmware reload, and the
// in-place editor that writes a typed value to the target or restarts the min/max tracking.
//
// The rules here drive the table through NumTableOps: the report-style list control on Windows
// (num_window_win32.cpp), an in-memory grid in the unit tests. Everything runs on the main thread.
#pragma once
#include <cstddef>
#include <cstdint>

#include "vartable/leaf_table.h"

enum : uint32_t { NUM_TAG = 0x4E554D31 };  // "NUM1": the record is live

enum : int32_t {
    NUM_ROW_CAPACITY = 128,
    NUM_NAME_CAPACITY = 256,         // a row's remembered leaf name, UTF-8 with the terminator
    NUM_TITLE_CAPACITY = 128,        // UTF-16 units with the terminator
    NUM_VALUE_TEXT_CAPACITY = 80,    // the value cell: 79 characters of a sample's text
    NUM_CELL_TEXT_CAPACITY = 256,    // the editor starts with at most 255 characters of the cell
    NUM_EDIT_TEXT_CAPACITY = 512,    // the editor's text: 511 characters, 511 UTF-8 bytes
    NUM_WRITE_ERROR_CAPACITY = 128,  // variable_write's message buffer
    NUM_PICK_CAPACITY = 16,          // leaves one "添加变量..." adds at most
};

// Table columns, in creation order.
enum : int32_t {
    NUM_COL_LIVE = 0,     // tick box: ticked = live, cleared = frozen
    NUM_COL_NAME = 1,
    NUM_COL_ADDRESS = 2,
    NUM_COL_VALUE = 3,
    NUM_COL_MIN = 4,
    NUM_COL_MAX = 5,
    NUM_COLUMN_COUNT = 6,
};

// One numeric window: its handles, its rows and the in-place editor. The rows of the record and
// the rows of the table are kept in the same order; all per-row fields of a row move together.
struct NumWindow {
    uint32_t tag;                                        // NUM_TAG while live
    void* window;                                        // the numeric window
    void* list;                                          // the table (child of the window)
    char16_t title[NUM_TITLE_CAPACITY];
    LeafId row_leaf[NUM_ROW_CAPACITY];
    char row_name[NUM_ROW_CAPACITY][NUM_NAME_CAPACITY];  // full name when added (rebinding key)
    int32_t row_count;                                   // 0..128
    void* edit;                                          // the in-place edit box, or null
    int32_t edit_row, edit_col;                          // -1, -1 while no editor is open
    double row_min[NUM_ROW_CAPACITY];
    double row_max[NUM_ROW_CAPACITY];
    int32_t row_has_minmax[NUM_ROW_CAPACITY];            // 1 once row_min/row_max hold a value
};
static_assert(offsetof(NumWindow, tag) == 0, "NumWindow: the tag comes first");
static_assert(offsetof(NumWindow, title) == 24 && offsetof(NumWindow, row_leaf) == 280,
              "NumWindow layout");
static_assert(sizeof(NumWindow::row_name) == 128 * 256, "NumWindow: 128 names of 256 bytes");

// The table and the edit box a record drives (texts are UTF-8). Installed once per process.
struct NumTableOps {
    void (*insert_row)(NumWindow* w, int32_t row);       // empty cells, at this index
    void (*delete_row)(NumWindow* w, int32_t row);
    void (*set_text)(NumWindow* w, int32_t row, int32_t col, const char* text);
    int32_t (*is_checked)(NumWindow* w, int32_t row);    // the row's tick box
    void (*set_checked)(NumWindow* w, int32_t row, int32_t on);
    // Creates an edit box exactly over cell (row, col), hidden; null when the cell has no
    // rectangle (no such column) or the box cannot be made.
    void* (*create_editor)(NumWindow* w, int32_t row, int32_t col);
    // Fills the open editor with the cell's text, shows it, focuses it and selects everything.
    void (*start_editor)(NumWindow* w);
    // Reads an edit box's text (UTF-8, cut to the capacity).
    void (*read_editor)(NumWindow* w, void* edit, char* out, size_t capacity);
    // Destroys an edit box (its focus loss may call num_end_edit again).
    void (*destroy_editor)(NumWindow* w, void* edit);
    // Gives the focus back to the table when it still exists.
    void (*focus_table)(NumWindow* w);
};

// Steps that belong to the main window and the workspace; a null entry is skipped.
struct NumHooks {
    void (*tree_check)(LeafId id, int32_t checked);  // tick the leaf in the variable tree
    void (*refresh_status)();                        // status bar and toolbar states
    void (*release_leaf)(LeafId id);                 // unwatch once no window shows the leaf
    void (*report_focus)(void* window);              // the window is the active hosted window
};
extern NumHooks g_num_hooks;

// Installs the table operations (copied); null removes them.
void num_table_ops_install(const NumTableOps* ops);

// ---- Record -------------------------------------------------------------------------------
// Zero-fills the record and makes it live: tag, window, no editor, title ("数值窗口" when null).
void num_record_init(NumWindow* w, void* window, const char16_t* title);
// 1 for a live record (non-null with the tag).
int num_record_live(const NumWindow* w);
// Clears the tag (the window is being destroyed).
void num_record_retire(NumWindow* w);

// ---- Rows ------------------------------------------------------------------------------------
// Adds a row for the leaf; 1 when added, 0 for a duplicate, a full window or a dead record.
int num_rows_add(NumWindow* w, LeafId id);
// One delivered sample: updates the first row of its leaf unless that row is frozen. 1 when a
// row was updated.
int num_rows_on_sample(NumWindow* w, const Sample* sample);
// Removes row `row` (commits an editor open on it first) and releases its leaf; 1 when removed.
int num_rows_remove(NumWindow* w, int32_t row);
// Finds every row's leaf again by its remembered name after a reload; rows whose name is gone
// are dropped. Returns the number of rows dropped.
int num_rows_rebind(NumWindow* w);
// The current full name of row `index`'s leaf; 1 when written, 0 for a bad index, buffer or leaf.
int num_rows_name(const NumWindow* w, int32_t index, char* buffer, int32_t size);
// Folds a loaded recording's extremes into every row: `extremes` gives a variable name's
// smallest and largest recorded value (false when the recording has none).
void num_rows_fold_recording(NumWindow* w, bool (*extremes)(const char* name, double* lo, double* hi));
// Logs every row's minimum and maximum (the automation message WM_APP + 0x2E).
void num_rows_log_minmax(const NumWindow* w);

// ---- Extremes ------------------------------------------------------------------------------
// Folds a value into row i's extremes and shows them.
void num_fold_extremes(NumWindow* w, int32_t row, double x);
// Shows row i's extremes in columns 4 and 5 ("-" while it has none).
void num_show_extremes(NumWindow* w, int32_t row);
// Formats one extreme: "%.6g" for float leaves and missing leaves, "%.0f" otherwise.
void num_format_extreme(char* out, size_t capacity, const VarLeaf* leaf, double x);

// ---- In-place editor ---------------------------------------------------------------------
// Opens the editor on cell (row, col), committing an open one first; 1 when opened.
int num_begin_edit(NumWindow* w, int32_t row, int32_t col);
// Closes the editor, committing (write or min/max) or cancelling; safe to re-enter while the
// edit box is being destroyed.
void num_end_edit(NumWindow* w, int commit);
// Applies committed text to cell (row, col): min/max cells restart the tracking, every other
// cell writes the value to the target. 1 when something changed, 0 otherwise.
int num_commit_text(NumWindow* w, int32_t row, int32_t col, const char* text);
