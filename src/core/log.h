// log.h - the process-wide log: file lines, debugger output, one sink, and the clock helpers.
#pragma once
#include <cstdint>
#include <cstdio>

#include "core/text.h"

// Log levels: 0 information, 1 warning, 2 error, 3 debug; any other value is treated as 0.
typedef int32_t LogLevel;
enum : int32_t { LOG_INFO = 0, LOG_WARN = 1, LOG_ERROR = 2, LOG_DEBUG = 3 };

// Receives each message as UTF-16 (terminated) on the logging thread, outside the log lock.
typedef void (*LogSink)(LogLevel level, const char16_t* text);

// A message handed from another thread to the main window (WM_APP + 13): level + 1024 units.
struct LogRecord {
    int32_t level;
    char16_t text[1024];
};
static_assert(sizeof(LogRecord) == 2052, "LogRecord crosses threads as a 2052-byte record");

enum : size_t {
    LOG_MESSAGE_CAPACITY = 1024,   // message bytes including terminator (cut at 1023)
    LOG_LINE_CAPACITY = 1152,      // composed line bytes including terminator (cut at 1151)
    LOG_TIMESTAMP_CAPACITY = 40,
    LOG_OVERRIDE_CAPACITY = 260,   // override path units including terminator
};

// File and panel level names ("INFO"/"信息" for 0 and every unknown level).
const char* log_level_name(LogLevel level);
const char* log_level_panel_name(LogLevel level);

// Sets the override path (UTF-16, cut to 259 units); empty or null changes nothing.
void log_set_override_path(const char16_t* path);
// Chooses and opens the log file: override, executable directory, LOCALAPPDATA\Kestrelix.
void log_open_file();
// Closes the log file (tests and shut-down); the override path is kept.
void log_close_file();
// Closes the file and forgets the override path and the sink (a fresh start, for tests).
void log_reset();
// UTF-8 path of the open log file, or an empty text.
const char* log_file_path();

// The central reporting call: file line, debugger output, sink. Any thread, any time.
void log_printf(LogLevel level, const char* format, ...) KX_PRINTF(2, 3);
void log_vprintf(LogLevel level, const char* format, va_list args);
// Appends the text and a newline to the log file unchanged (no timestamp, no sink).
void log_write_raw(const char* text);
void log_raw_printf(const char* format, ...) KX_PRINTF(1, 2);
// The crash report's line writer: like log_raw_printf, but it never waits long for the log lock
// (the faulting thread may hold it, or be inside the file's own lock): when the lock is not free
// within a moment, the line is appended through a handle of its own to the same file.
void log_crash_printf(const char* format, ...) KX_PRINTF(1, 2);
// Runs `fn` while holding the log lock: lets tests stand in for a thread stuck inside a log write.
void log_with_lock_held(void (*fn)(void*), void* data);
// Formats at most 1023 bytes and writes them and a newline to an open stream.
void file_printf_line(FILE* stream, const char* format, ...) KX_PRINTF(2, 3);

// Installs the sink (null removes it).
void log_set_sink(LogSink sink);

// Wall-clock microseconds since 1970-01-01 UTC.
int64_t clock_now_us();
// Local "YYYY-MM-DD hh:mm:ss.uuuuuu"; times before 1970 are shown as 1970.
void format_timestamp_us(int64_t us, char* buffer, size_t size);
