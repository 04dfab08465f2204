// crash_win32.cpp - the unhandled-exception filter: gathers the record, the context and a
// captured stack, writes the report to the log file and tells the user where it is.
#include <windows.h>

#include "core/crash_report.h"
#include "core/crash_win32.h"
#include "core/text.h"

namespace {

typedef USHORT(WINAPI* CaptureStackBackTraceFn)(ULONG, ULONG, PVOID*, PULONG);

CaptureStackBackTraceFn find_capture() {
    const char* modules[2] = {"kernel32.dll", "KERNELBASE.dll"};
    for (const char* name : modules) {
        HMODULE m = GetModuleHandleA(name);
        if (!m) continue;
        FARPROC f = GetProcAddress(m, "CaptureStackBackTrace");
        if (f) return (CaptureStackBackTraceFn)(void*)f;
    }
    return nullptr;
}

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

// Reads one word only from committed, readable memory.
bool read_word(uint64_t address, uint64_t* value) {
    MEMORY_BASIC_INFORMATION mbi;
    if (!VirtualQuery((LPCVOID)(uintptr_t)address, &mbi, sizeof mbi)) return false;
    if (mbi.State != MEM_COMMIT) return false;
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (!(mbi.Protect & readable) || (mbi.Protect & PAGE_GUARD)) return false;
    uint64_t region_end = (uint64_t)(uintptr_t)mbi.BaseAddress + mbi.RegionSize;
    if (address + 8 > region_end) return false;
    *value = *(const uint64_t*)(uintptr_t)address;
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
    if (info && info->ContextRecord) {
        report.has_context = 1;
        report.frame_pointer = info->ContextRecord->Rbp;
    }
    if (CaptureStackBackTraceFn capture = find_capture()) {
        PVOID frames[32];
        USHORT n = capture(0, 32, frames, nullptr);
        report.frame_count = n;
        for (USHORT i = 0; i < n; i++) report.frames[i] = (uint64_t)(uintptr_t)frames[i];
    }
    CrashServices services = {module_of, read_word};
    crash_write_report(&report, &services);
    char16_t title[64], text[256];
    utf8_to_utf16(kCrashBoxTitle, title, 64);
    utf8_to_utf16(kCrashBoxText, text, 256);
    MessageBoxW(nullptr, (const wchar_t*)text, (const wchar_t*)title, MB_OK | MB_ICONERROR);
    return 1;
}

void crash_filter_install() { SetUnhandledExceptionFilter(crash_filter); }
