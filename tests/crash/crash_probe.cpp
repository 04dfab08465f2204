// kx_crash_probe LOGFILE: opens the log, installs the crash filter and faults in a worker thread.
#include <windows.h>

#include <thread>

#include "core/crash_win32.h"
#include "core/log.h"

namespace {

volatile uintptr_t g_bad_address = 0x10;  // read at run time, so the compiler cannot see the fault

__attribute__((noinline)) void fault_here() { *(volatile int*)g_bad_address = 42; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    log_set_override_path((const char16_t*)argv[1]);
    log_open_file();
    crash_filter_install();
    log_printf(LOG_INFO, "crash probe ready");
    std::thread worker([] { fault_here(); });
    worker.join();
    return 0;
}
