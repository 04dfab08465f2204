// crash_win32.h - the process's unhandled-exception filter.
#pragma once
#include <windows.h>

LONG WINAPI crash_filter(EXCEPTION_POINTERS* info);
// Installs crash_filter (start-up, right after the log file opens).
void crash_filter_install();
