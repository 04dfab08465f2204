// log.cpp - the process-wide log.
//
// Index
//   [SECTION] State
//   [SECTION] Level names and clock
//   [SECTION] Choosing and opening the file
//   [SECTION] Writing lines
#include "core/log.h"

#include <cstring>
#include <ctime>
#include <mutex>

#include "core/platform.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] State
//-------------------------------------------------------------------------------------------------

namespace {

// The one log state of the process.
struct LogState {
    char16_t override_path[LOG_OVERRIDE_CAPACITY];
    char path[1024];            // UTF-8 path of the open file
    FILE* file;
    LogSink sink;
};

LogState g_log;
std::mutex g_log_lock;  // guards every write to the log file (and the file pointer itself)

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Level names and clock
//-------------------------------------------------------------------------------------------------

const char* log_level_name(LogLevel level) {
    switch (level) {
        case LOG_WARN: return "WARN";
        case LOG_ERROR: return "ERROR";
        case LOG_DEBUG: return "DEBUG";
        default: return "INFO";
    }
}

const char* log_level_panel_name(LogLevel level) {
    switch (level) {
        case LOG_WARN: return "警告";
        case LOG_ERROR: return "错误";
        case LOG_DEBUG: return "调试";
        default: return "信息";
    }
}

int64_t clock_now_us() { return platform()->now_us(); }

void format_timestamp_us(int64_t us, char* buffer, size_t size) {
    if (!buffer || size == 0) return;
    int64_t seconds = us / 1000000;
    if (seconds < 0) seconds = 0;
    int micro = (int)(us - seconds * 1000000);
    if (micro < 0) micro = 0;  // only before 1970, where the seconds were replaced by 0
    time_t t = (time_t)seconds;
    struct tm tm_local;
    memset(&tm_local, 0, sizeof tm_local);
#ifdef _WIN32
    localtime_s(&tm_local, &t);
#else
    localtime_r(&t, &tm_local);
#endif
    text_printf(buffer, size, "%04d-%02d-%02d %02d:%02d:%02d.%06d", tm_local.tm_year + 1900,
                tm_local.tm_mon + 1, tm_local.tm_mday, tm_local.tm_hour, tm_local.tm_min,
                tm_local.tm_sec, micro);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Choosing and opening the file
//-------------------------------------------------------------------------------------------------

void log_set_override_path(const char16_t* path) {
    if (!path || !path[0]) return;
    std::lock_guard<std::mutex> hold(g_log_lock);
    text16_copy(g_log.override_path, LOG_OVERRIDE_CAPACITY, path);
}

namespace {

bool can_append(const char* path) {
    FILE* f = platform()->open_file(path, "ab");
    if (!f) return false;
    fclose(f);
    return true;
}

void close_file_locked() {
    if (g_log.file) fclose(g_log.file);
    g_log.file = nullptr;
    g_log.path[0] = 0;
}

}  // namespace

void log_open_file() {
    const Platform* p = platform();
    const char sep = platform_path_separator();
    char target[1024];
    target[0] = 0;

    std::lock_guard<std::mutex> hold(g_log_lock);
    char override_utf8[1024];
    utf16_to_utf8(g_log.override_path, override_utf8, sizeof override_utf8);
    if (override_utf8[0] && can_append(override_utf8)) {
        text_copy(target, sizeof target, override_utf8);
    } else {
        char dir[1024];
        char candidate[1024];
        if (p->exe_dir(dir, sizeof dir) == 0 &&
            (text_printf(candidate, sizeof candidate, "%s%ckestrelix.log", dir, sep), can_append(candidate))) {
            text_copy(target, sizeof target, candidate);
        } else {
            char appdata[261];
            if (p->get_env("LOCALAPPDATA", appdata, sizeof appdata) != 0) return;
            char folder[1024];
            text_printf(folder, sizeof folder, "%s%cKestrelix", appdata, sep);
            p->make_dir(folder);
            text_printf(target, sizeof target, "%s%ckestrelix.log", folder, sep);
        }
    }
    close_file_locked();
    FILE* f = p->open_file(target, "ab");
    if (!f) return;
    fseek(f, 0, SEEK_END);
    if (ftell(f) == 0) fwrite("\xEF\xBB\xBF", 1, 3, f);
    fflush(f);
    g_log.file = f;
    text_copy(g_log.path, sizeof g_log.path, target);
}

void log_close_file() {
    std::lock_guard<std::mutex> hold(g_log_lock);
    close_file_locked();
}

void log_reset() {
    std::lock_guard<std::mutex> hold(g_log_lock);
    close_file_locked();
    g_log.override_path[0] = 0;
    g_log.sink = nullptr;
}

const char* log_file_path() { return g_log.path; }

void log_set_sink(LogSink sink) {
    std::lock_guard<std::mutex> hold(g_log_lock);
    g_log.sink = sink;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Writing lines
//-------------------------------------------------------------------------------------------------

void log_vprintf(LogLevel level, const char* format, va_list args) {
    // The message is always formatted: its arguments are read the same way whoever receives it.
    char message[LOG_MESSAGE_CAPACITY];
    text_vprintf(message, sizeof message, format, args);

    // The file line and the UTF-16 copy are made only for a receiver that exists: before the log
    // file opens (and in tools without debugger output) most lines have none, and composing them
    // costs more than the work they report.
    LogSink sink;
    {
        std::lock_guard<std::mutex> hold(g_log_lock);
        if (g_log.file) {
            char stamp[LOG_TIMESTAMP_CAPACITY];
            format_timestamp_us(clock_now_us(), stamp, sizeof stamp);
            char line[LOG_LINE_CAPACITY];
            text_printf(line, sizeof line, "%s [%s] %s", stamp, log_level_name(level), message);
            fputs(line, g_log.file);
            fputs("\n", g_log.file);
            fflush(g_log.file);
        }
        sink = g_log.sink;
    }

    const Platform* p = platform();
    if (!sink && !p->debug_output_utf16) return;
    char16_t wide[LOG_MESSAGE_CAPACITY];
    utf8_to_utf16(message, wide, LOG_MESSAGE_CAPACITY);
    wide[LOG_MESSAGE_CAPACITY - 1] = 0;
    if (p->debug_output_utf16) {
        p->debug_output_utf16(wide);
        p->debug_output_utf16(u"\n");
    }
    if (sink) sink(level, wide);
}

void log_printf(LogLevel level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_vprintf(level, format, args);
    va_end(args);
}

void log_write_raw(const char* text) {
    if (!text) return;
    std::lock_guard<std::mutex> hold(g_log_lock);
    if (!g_log.file) return;
    fputs(text, g_log.file);
    fputs("\n", g_log.file);
    fflush(g_log.file);
}

void log_raw_printf(const char* format, ...) {
    char text[LOG_MESSAGE_CAPACITY];
    va_list args;
    va_start(args, format);
    text_vprintf(text, sizeof text, format, args);
    va_end(args);
    log_write_raw(text);
}

void log_crash_printf(const char* format, ...) {
    char text[LOG_MESSAGE_CAPACITY];
    va_list args;
    va_start(args, format);
    text_vprintf(text, sizeof text, format, args);
    va_end(args);
    // Another thread that holds the lock lets go within a line; the faulting thread never will.
    for (int attempt = 0; attempt < 50; attempt++) {
        if (g_log_lock.try_lock()) {
            if (g_log.file) {
                fputs(text, g_log.file);
                fputs("\n", g_log.file);
                fflush(g_log.file);
            }
            g_log_lock.unlock();
            return;
        }
        platform()->sleep_ms(2);
    }
    if (!g_log.path[0]) return;
    FILE* own = platform()->open_file(g_log.path, "ab");
    if (!own) return;
    fputs(text, own);
    fputs("\n", own);
    fclose(own);
}

void log_with_lock_held(void (*fn)(void*), void* data) {
    std::lock_guard<std::mutex> hold(g_log_lock);
    if (fn) fn(data);
}

void file_printf_line(FILE* stream, const char* format, ...) {
    if (!stream) return;
    char text[LOG_MESSAGE_CAPACITY];
    va_list args;
    va_start(args, format);
    text_vprintf(text, sizeof text, format, args);
    va_end(args);
    fputs(text, stream);
    fputs("\n", stream);
}
