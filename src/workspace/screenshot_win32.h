// screenshot_win32.h - saving a window's picture as a 32-bit top-down BMP file. Both calls may be
// made from any thread: the window draws itself into a memory surface through WM_PRINT, which
// waits for the window's own thread.
#pragma once
#include <windows.h>

// Writes the window's current picture (its client size) to the UTF-8 path; failures are silent.
void screenshot_window(HWND window, const char* path);
// Captures the current tab's active window, else its first window, else the workspace panel;
// logs "截图: %s" first, or ERROR "截图: 无可捕获窗口" when there is nothing to capture.
void screenshot_current(const char* path);
// Draws every visible child of `parent` into a surface at its place (WM_PRINT each); the
// workspace's windows use it for WM_PRINTCLIENT, since not every platform prints children itself.
void screenshot_print_children(HWND parent, HDC dc);
