// crashtest_fault.h - the deliberate fault of the program's crash-test build (never in the shipped
// program).
#pragma once

enum : int { CRASHTEST_COMMAND_ID = 2999 };

// Faults when `id` is the crash-test command; false for every other command.
bool crashtest_command(int id);
