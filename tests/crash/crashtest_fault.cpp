// The deliberate fault of the program's crash-test build: command 2999 reads through a bad
// pointer three calls deep (outer -> middle -> fault_here), on the window thread, so the report's
// walk can be checked against the symbol table of the real program.
#include <cstdint>

#include "crashtest_fault.h"

namespace {

volatile uintptr_t g_bad_address = 0x10;  // read at run time, so the compiler cannot see the fault
volatile int g_after;                     // work after each call, so no call becomes a tail jump

}  // namespace

extern "C" __attribute__((noinline)) void kx_crashtest_fault_here() { *(volatile int*)g_bad_address = 42; }

extern "C" __attribute__((noinline)) void kx_crashtest_middle() {
    kx_crashtest_fault_here();
    g_after = g_after + 1;
}

extern "C" __attribute__((noinline)) void kx_crashtest_outer() {
    kx_crashtest_middle();
    g_after = g_after + 2;
}

bool crashtest_command(int id) {
    if (id != CRASHTEST_COMMAND_ID) return false;
    kx_crashtest_outer();
    return true;
}
