// main_commands_win32.h - the main window's file, record and replay commands (2001, 2006/2007,
// 2008, 2009) and the recording hooks they need.
#pragma once
#include <windows.h>

// Installs the recording cache's hooks and its save dialog (once, from the main window's creation).
void main_commands_install();
// Runs one of the commands above; false for any other id.
bool main_route_command(HWND main, int id);
// Mouse wheel over a descendant of the main window goes to that window, so the window under the
// mouse scrolls without having the focus. True when forwarded.
bool main_forward_wheel(HWND main, UINT msg, WPARAM wp, LPARAM lp);
