// kx_crash_probe LOGFILE [held]: opens the log, installs the crash filter and faults in a worker
// thread three calls deep (outer -> middle -> fault_here), so the report's walk can be checked
// against the symbol table. With "held", another thread holds the log lock for good first, so the
// report must not wait for it.
#include <windows.h>

#include <cstring>
#include <thread>

#include "core/crash_win32.h"
#include "core/log.h"

namespace {

volatile uintptr_t g_bad_address = 0x10;  // read at run time, so the compiler cannot see the fault
volatile int g_after;                     // work after each call, so no call becomes a tail jump

extern "C" __attribute__((noinline)) void kx_probe_fault_here() { *(volatile int*)g_bad_address = 42; }

extern "C" __attribute__((noinline)) void kx_probe_middle() {
    kx_probe_fault_here();
    g_after = g_after + 1;
}

extern "C" __attribute__((noinline)) void kx_probe_outer() {
    kx_probe_middle();
    g_after = g_after + 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    log_set_override_path((const char16_t*)argv[1]);
    log_open_file();
    crash_filter_install();
    log_printf(LOG_INFO, "crash probe ready");
    if (argc > 2 && wcscmp(argv[2], L"held") == 0) {
        // Stands in for a thread stuck inside a log write. The fault waits until that thread
        // really holds the lock: on a busy machine it may not have run at all yet.
        HANDLE holding = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!holding) return 3;
        std::thread([holding] {
            log_with_lock_held([](void* event) {
                SetEvent((HANDLE)event);
                Sleep(INFINITE);
            }, holding);
        }).detach();
        if (WaitForSingleObject(holding, INFINITE) != WAIT_OBJECT_0) return 3;
    }
    std::thread worker([] { kx_probe_outer(); });
    worker.join();
    return 0;
}
