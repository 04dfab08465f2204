// crash_report.h - the crash report lines, written from what the platform filter gathered.
// Portable so that the line formats and the frame walk's limits are unit-tested natively.
#pragma once
#include <cstddef>
#include <cstdint>

// What the platform's unhandled-exception filter hands to the report.
struct CrashInfo {
    int has_record;             // exception record present
    uint32_t code;              // exception code
    uint64_t address;           // faulting address
    int has_context;            // processor context present
    uint64_t frame_pointer;     // RBP at the fault
    int frame_count;            // captured return addresses (0 when no capture function)
    uint64_t frames[32];
};

// Platform services the report needs: module lookup and a guarded read of one machine word.
struct CrashServices {
    // Full file name of the module holding `address` and its base; false when none holds it.
    bool (*module_of)(uint64_t address, char* name, size_t capacity, uint64_t* base);
    // Reads the 8-byte word at `address`; false when that memory cannot be read.
    bool (*read_word)(uint64_t address, uint64_t* value);
};

// Writes the report through log_raw_printf: header, captured frames, walked frames.
void crash_write_report(const CrashInfo* info, const CrashServices* services);

// Texts of the message box shown after the report.
extern const char kCrashBoxTitle[];
extern const char kCrashBoxText[];
