// gdb_test_log.h - a log callback for the driver tests that keeps every line for inspection.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "kestrelix_module.h"

// The lines logged since the last clear, "LEVEL text" each.
struct GdbTestLog {
    std::mutex lock;
    std::vector<std::string> lines;
};

inline GdbTestLog& gdb_test_log() {
    static GdbTestLog log;
    return log;
}

inline int32_t gdb_test_log_record(int32_t level, const char* format, ...) KX_MODULE_PRINTF(2, 3);
inline int32_t gdb_test_log_record(int32_t level, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    GdbTestLog& log = gdb_test_log();
    std::lock_guard<std::mutex> guard(log.lock);
    log.lines.push_back(std::string(level == KX_LOG_ERROR ? "ERROR " : level == KX_LOG_WARN ? "WARN " : "INFO ") + text);
    return 0;
}

inline void gdb_test_log_clear() {
    GdbTestLog& log = gdb_test_log();
    std::lock_guard<std::mutex> guard(log.lock);
    log.lines.clear();
}

// Every line, newline-separated.
inline std::string gdb_test_log_text() {
    GdbTestLog& log = gdb_test_log();
    std::lock_guard<std::mutex> guard(log.lock);
    std::string all;
    for (auto& l : log.lines) all += l + "\n";
    return all;
}
