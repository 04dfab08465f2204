// platform_win32.h - the Win32 shell's side of the platform seam.
#pragma once
#include <windows.h>

// Installs the Win32 platform table (start-up, before the log opens).
void platform_win32_install();
// The main window that posts and message boxes go to (null once destroyed).
void platform_win32_set_main_window(HWND hwnd);
HWND platform_win32_main_window();
// Message boxes of the core are owned by this window while a modal dialog runs (null: the main
// window). Returns the previous owner.
HWND platform_win32_set_box_owner(HWND owner);
