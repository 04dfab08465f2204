// message_panel.h - the model behind the message panel at the bottom of the main window.
// Main thread only. Newest row is row 0; at most 5000 rows. The Win32 list view is virtual and
// reads its rows from here.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/log.h"

enum : int { MESSAGE_PANEL_MAX_ROWS = 5000 };

// One row of the message panel: time, Chinese level name, message (UTF-16 for the list view).
struct MessagePanelRow {
    char16_t time[64];
    char16_t level[16];
    char16_t message[1024];
};

// Called after each change so the view can refresh (row count, newest row on top). `inserted`
// rows were added at the top (0 after a clear): every older row moved down by that many, and a
// view that keeps a selection by row index moves it with them.
typedef void (*MessagePanelChanged)(void* user, int row_count, int inserted);

// Creates the list (the rows exist from now on); a second call keeps the rows.
void message_panel_create(MessagePanelChanged on_change, void* user);
// Destroys the list; later adds do nothing.
void message_panel_destroy();
bool message_panel_exists();
// Adds a row at the top (main thread only); drops the oldest above 5000 rows.
void message_panel_add(LogLevel level, const char16_t* text);
int message_panel_count();
// Row by index, 0 = newest; null when out of range.
const MessagePanelRow* message_panel_row(int index);
void message_panel_clear();

enum : int { MESSAGE_COPY_CAPACITY = 4096, MESSAGE_COPY_STOP = 4080 };
// Tells whether row `index` (0 = newest) is selected in the view.
typedef bool (*MessageRowSelected)(void* user, int index);
// The clipboard text of the selected rows, newest first, one "%s %s %s\r\n" line per row (time,
// level, message), at most 4095 characters. Once the text reaches 4080 characters the walk
// stops; the row that got it there stays in the text, cut where the text is full, but is not
// counted. Returns the number of rows counted (0: nothing worth copying).
int message_panel_copy_text(MessageRowSelected selected, void* user, char16_t* out, size_t capacity);

// Time column "%02d:%02d.%03d" (minutes and seconds within the hour, milliseconds).
void message_panel_format_time(int64_t us, char16_t* out, size_t capacity);

// The sink the main window installs: direct on the main thread, else a posted LogRecord.
void log_to_panel(LogLevel level, const char16_t* text);
// The main window's handler of WM_APP + 13: adds the record's row and frees it.
void log_record_deliver(LogRecord* record);
