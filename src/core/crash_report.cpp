// crash_report.cpp - the crash report lines.
#include "core/crash_report.h"

#include "core/log.h"

const char kCrashBoxTitle[] = "Kestrelix 崩溃";
const char kCrashBoxText[] = "Kestrelix 发生未处理异常，详细信息已写入日志文件 kestrelix.log。";

namespace {

// Module name ("?" when none holds the address) and offset into it (0 when none).
void resolve(const CrashServices* s, uint64_t address, char* name, size_t capacity, unsigned long long* offset) {
    text_copy(name, capacity, "?");
    *offset = 0;
    uint64_t base = 0;
    char found[261];
    if (s && s->module_of && s->module_of(address, found, sizeof found, &base)) {
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
        log_raw_printf("%s [FATAL] unhandled exception code=0x%08X at 0x%p  %s+0x%llX", stamp, info->code,
                       (void*)(uintptr_t)info->address, module, offset);
    } else {
        log_raw_printf("%s [FATAL] unhandled exception (no record)", stamp);
    }
    if (!info) return;

    int frames = info->frame_count < 0 ? 0 : info->frame_count > 32 ? 32 : info->frame_count;
    for (int i = 0; i < frames; i++) {
        resolve(s, info->frames[i], module, sizeof module, &offset);
        log_raw_printf("%s [FATAL]   #%02u 0x%p  %s+0x%llX", stamp, (unsigned)i, (void*)(uintptr_t)info->frames[i],
                       module, offset);
    }

    if (!info->has_context || !s || !s->read_word) return;
    uint64_t fp = info->frame_pointer;
    for (unsigned i = 0; i < 24; i++) {
        if (fp < 0x10001 || fp > 0x7FFFFFFFFFFEULL) break;
        uint64_t ret = 0;
        // A corrupt chain may point at unmapped memory: the guarded read ends the walk instead of
        // faulting inside the filter.
        if (!s->read_word(fp + 8, &ret)) break;
        if (ret < 0x10000 || ret > 0x7FFFFFFFFFFFULL) break;
        resolve(s, ret, module, sizeof module, &offset);
        log_raw_printf("%s [FATAL]   #%02u 0x%llX  %s+0x%llX", stamp, i, (unsigned long long)ret, module, offset);
        uint64_t next = 0;
        if (!s->read_word(fp, &next)) break;
        fp = next;
    }
}
