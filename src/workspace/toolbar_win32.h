// toolbar_win32.h - the main window's toolbar row (controls 2001 to 2116).
#pragma once
#include <windows.h>

// Creates the row of controls as children of the main window and places them.
void toolbar_create(HWND parent);
// Places the controls for this client width, wrapping onto further rows when the window is too
// narrow; returns the number of rows (the main window's layout starts its bands below them).
int toolbar_layout(int client_width);
// Lets the probe logic mirror its record into the probe controls and the status bar.
void toolbar_install_probe_hooks();
// A notification of the channel list (WM_COMMAND with its code): a chosen entry that changes the
// channel goes to probe_select_channel. True when the notification came from the channel list
// (code 0, a bare command id, is left to the command path).
bool toolbar_notification(int id, int code);
// Runs a probe command (connect 2002, disconnect 2003, refresh 2105, channel 2106); false for others.
bool toolbar_probe_command(int id);
