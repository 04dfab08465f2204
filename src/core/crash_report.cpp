// crash_report.cpp - the crash report lines.
#include "core/crash_report.h"

#include "core/log.h"

const char kCrashBoxTitle[] = "Kestrelix 崩溃";

namespace {

enum : unsigned { CRASH_MAX_WALKED = 24 };

bool user_address(uint64_t a) { return a >= 0x10000 && a <= 0x7FFFFFFFFFFFULL; }

// Module name ("?" when none holds the address) and offset into it (0 when none). Addresses
// outside user memory hold no module: asked about a null address, Windows names the executable.
void resolve(const CrashServices* s, uint64_t address, char* name, size_t capacity, unsigned long long* offset) {
    text_copy(name, capacity, "?");
    *offset = 0;
    uint64_t base = 0;
    char found[261];
    if (user_address(address) && s && s->module_of && s->module_of(address, found, sizeof found, &base)) {
        text_copy(name, capacity, found);
        *offset = address - base;
    }
}

}  // namespace

void crash_write_report(const CrashInfo* info, const CrashServices* s) {
    char stamp[40];
    format_timestamp_us(clock_now_us(), stamp, sizeof stamp);
    char module[261];
    unsigned long long offset;

    if (info && info->has_record) {
        resolve(s, info->address, module, sizeof module, &offset);
        log_crash_printf("%s [FATAL] unhandled exception code=0x%08X at 0x%p  %s+0x%llX", stamp, info->code,
                         (void*)(uintptr_t)info->address, module, offset);
    } else {
        log_crash_printf("%s [FATAL] unhandled exception (no record)", stamp);
    }
    if (!info) return;

    int frames = info->frame_count < 0 ? 0 : info->frame_count > 32 ? 32 : info->frame_count;
    for (int i = 0; i < frames; i++) {
        resolve(s, info->frames[i], module, sizeof module, &offset);
        log_crash_printf("%s [FATAL]   #%02u 0x%p  %s+0x%llX", stamp, (unsigned)i, (void*)(uintptr_t)info->frames[i],
                         module, offset);
    }

    if (!s || !s->next_frame) return;
    uint64_t address = 0;
    for (unsigned i = 0; i < CRASH_MAX_WALKED && s->next_frame(s->walker, &address); i++) {
        // A call through a null or wild pointer faults outside user memory; its caller, one step
        // further, is still worth having. Any later address like that ends a corrupt chain.
        if (!user_address(address)) {
            if (i == 0) continue;
            break;
        }
        resolve(s, address, module, sizeof module, &offset);
        log_crash_printf("%s [FATAL]   #%02u 0x%llX  %s+0x%llX", stamp, i, (unsigned long long)address, module, offset);
    }
}

void crash_box_text(char* out, size_t capacity) {
    const char* path = log_file_path();
    if (path && path[0])
        text_printf(out, capacity, "Kestrelix 发生未处理异常，详细信息已写入日志文件 %s。", path);
    else
        text_copy(out, capacity, "Kestrelix 发生未处理异常，日志文件未能打开，详细信息未能保存。");
}
