// crash_win32.cpp - the unhandled-exception filter: gathers the record, a captured stack and the
// walk from the fault's context, writes the report to the log file and tells the user where it is.
//
// The walk uses the x64 unwind tables every function has (.pdata), so it follows optimised code
// built without frame pointers; a frame-pointer chain would be junk there.
#include <windows.h>

#include "core/crash_report.h"
#include "core/crash_win32.h"
#include "core/text.h"

namespace {

bool module_of(uint64_t address, char* name, size_t capacity, uint64_t* base) {
    HMODULE m = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCSTR)(uintptr_t)address, &m) || !m)
        return false;
    char path[261];
    DWORD n = GetModuleFileNameA(m, path, 260);
    path[n < 260 ? n : 260] = 0;
    text_copy(name, capacity, path);
    *base = (uint64_t)(uintptr_t)m;
    return true;
}

// True when the stack word at `address` is committed, readable memory: the unwinder reads saved
// registers and return addresses from there, and a corrupt stack pointer must end the walk rather
// than fault inside the filter.
bool stack_word_readable(uint64_t address) {
    if (address & 7) return false;
    MEMORY_BASIC_INFORMATION mbi;
    if (!VirtualQuery((LPCVOID)(uintptr_t)address, &mbi, sizeof mbi) || mbi.State != MEM_COMMIT) return false;
    if (!(mbi.Protect & (PAGE_READWRITE | PAGE_READONLY | PAGE_WRITECOPY)) || (mbi.Protect & PAGE_GUARD)) return false;
    return address + 8 <= (uint64_t)(uintptr_t)mbi.BaseAddress + mbi.RegionSize;
}

// The walk's state: the fault's registers, unwound one frame per step.
struct UnwindWalker {
    CONTEXT context;
    int step;
};

bool next_frame(void* data, uint64_t* address) {
    UnwindWalker* w = (UnwindWalker*)data;
    CONTEXT& c = w->context;
    if (w->step++ == 0) {
        *address = c.Rip;
        return true;
    }
    if (!stack_word_readable(c.Rsp)) return false;
    DWORD64 image_base = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(c.Rip, &image_base, nullptr);
    if (function) {
        PVOID handler_data = nullptr;
        DWORD64 establisher = 0;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, c.Rip, function, &c, &handler_data, &establisher, nullptr);
    } else {
        // No unwind entry: a leaf function, or a jump to a wild address; the return address is on top.
        c.Rip = *(const DWORD64*)(uintptr_t)c.Rsp;
        c.Rsp += 8;
    }
    if (c.Rip == 0) return false;
    *address = c.Rip;
    return true;
}

}  // namespace

LONG WINAPI crash_filter(EXCEPTION_POINTERS* info) {
    CrashInfo report = {};
    if (info && info->ExceptionRecord) {
        report.has_record = 1;
        report.code = info->ExceptionRecord->ExceptionCode;
        report.address = (uint64_t)(uintptr_t)info->ExceptionRecord->ExceptionAddress;
    }
    // The stack as the filter sees it, this function first (RtlCaptureStackBackTrace is the real
    // export; the shorter name is only a header macro).
    PVOID frames[32];
    USHORT captured = RtlCaptureStackBackTrace(0, 32, frames, nullptr);
    report.frame_count = captured;
    for (USHORT i = 0; i < captured; i++) report.frames[i] = (uint64_t)(uintptr_t)frames[i];

    static UnwindWalker walker;  // static: a CONTEXT is large, and the stack may be what failed
    CrashServices services = {module_of, nullptr, nullptr};
    if (info && info->ContextRecord) {
        walker.context = *info->ContextRecord;
        walker.step = 0;
        services.next_frame = next_frame;
        services.walker = &walker;
    }
    crash_write_report(&report, &services);
    char text8[1400];
    crash_box_text(text8, sizeof text8);
    char16_t title[64], text[1400];
    utf8_to_utf16(kCrashBoxTitle, title, 64);
    utf8_to_utf16(text8, text, 1400);
    MessageBoxW(nullptr, (const wchar_t*)text, (const wchar_t*)title, MB_OK | MB_ICONERROR);
    return 1;
}

void crash_filter_install() { SetUnhandledExceptionFilter(crash_filter); }
