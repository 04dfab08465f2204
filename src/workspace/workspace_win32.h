// workspace_win32.h - the workspace panel "KXRightPanel" right of the variable panel, its tab
// control (fixed 150 x 22 tabs) that hosts the waveform, numeric and module windows, the tab
// context menu, in-place renaming, the column drag and the minimise bar; and the "窗口(&W)" menu.
#pragma once
#include <windows.h>

enum : int { ID_WORKSPACE_PANEL = 3020, ID_WORKSPACE_TABS = 3021, ID_TAB_RENAME = 3022 };

// Creates the panel and the tab control under the main window and installs the workspace's
// window operations and its hooks into the other subsystems (sample drain, acquisition notices,
// firmware rebinding, tree commands, start-up options, screenshots).
void workspace_create(HWND main);
// Places the panel right of the splitter: the variable panel's right edge L, the main window's
// client size and the content band (top, height C). A full-screen window covers the client area
// instead.
void workspace_layout(int left, int client_width, int client_height, int content_top, int content_height);
// Main-window messages of the workspace (WM_APP + 5, + 8, + 10, + 34, + 35, and timer 3's rename
// focus check, which is never consumed). True when handled, with the result in *result.
bool workspace_message(HWND main, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result);
// Commands 2012, 2013, 2200 + n and 2501 to 2507; false for others.
bool workspace_command(HWND main, int id);
// Ends an open tab rename without applying it (main-window destruction).
void workspace_end_rename();

HWND workspace_panel();
HWND workspace_tab_control();

// Rebuilds the "窗口(&W)" menu: 2012, 2013, then the loaded modules' window types (2200 + n).
void rebuild_window_menu();

// The message loop's hook for the rename box (Enter commits, Escape cancels); defined with the
// message loop.
extern HWND g_rename_edit;
extern void (*g_rename_key)(int virtual_key);
