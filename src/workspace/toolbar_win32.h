// toolbar_win32.h - the main window's toolbar row (controls 2001 to 2116).
#pragma once
#include <windows.h>

// Creates the row of controls as children of the main window and places them.
void toolbar_create(HWND parent);
// Places the row again (after a button text changed).
void toolbar_layout();
// Lets the probe logic mirror its record into the probe controls and the status bar.
void toolbar_install_probe_hooks();
// Runs a probe command (connect 2002, disconnect 2003, refresh 2105, channel 2106); false for others.
bool toolbar_probe_command(int id);
