// crash_report.h - the crash report lines, written from what the platform filter gathered.
// Portable so that the line formats and the walk's limits are unit-tested natively.
#pragma once
#include <cstddef>
#include <cstdint>

// What the platform's unhandled-exception filter hands to the report.
struct CrashInfo {
    int has_record;             // exception record present
    uint32_t code;              // exception code
    uint64_t address;           // faulting address
    int frame_count;            // captured return addresses (0 when the capture failed)
    uint64_t frames[32];
};

// Platform services the report needs.
struct CrashServices {
    // Full file name of the module holding `address` and its base; false when none holds it.
    bool (*module_of)(uint64_t address, char* name, size_t capacity, uint64_t* base);
    // The walk from the fault outwards: the faulting instruction first, then each caller's return
    // address, taken from the unwind tables (so it needs no frame pointers); false at the end.
    // Null when the processor context was absent.
    bool (*next_frame)(void* walker, uint64_t* address);
    void* walker;
};

// Writes the report to the log file in use (without waiting on the log lock, which the faulting
// thread itself may hold): header, captured frames, walked frames.
void crash_write_report(const CrashInfo* info, const CrashServices* services);

// Text of the message box shown after the report: names the log file actually written.
void crash_box_text(char* out, size_t capacity);
extern const char kCrashBoxTitle[];
