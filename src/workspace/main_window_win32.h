// main_window_win32.h - the main window's entry points for the start-up sequence.
#pragma once
#include <windows.h>

// Child ids of the main window's own parts (the toolbar uses its command ids, the panels theirs).
enum : int {
    MAIN_ID_MESSAGE_LIST = 3001,
    MAIN_ID_STATUS_BAR = 3002,
    MAIN_ID_MESSAGE_SPLITTER = 3003,
    MAIN_ID_MESSAGE_STRIP = 3004,
};

void main_window_register_class();
// The mouse of a splitter window: capture on button down, release on button up, and while
// captured every move sends `drag_message` to the parent with the cursor's x, or its y for a
// splitter dragged up and down (parent client coordinates). True when the message was one of them.
bool shell_splitter_mouse(HWND hwnd, UINT msg, LPARAM lp, UINT drag_message, bool vertical_drag);
// Registers a small child window class of the shell (splitters, strips, the pin) once.
void shell_register_class(const wchar_t* name, WNDPROC proc, LPCWSTR cursor, UINT style);
// Creates "KestrelixMain" (1280 x 800); its creation builds the children and logs the start line.
HWND main_window_create();
HWND main_window_handle();
// Places every child again from the current client size and panel state.
void main_window_relayout();
// The message panel (at the bottom): collapse to its strip or expand, with the log line.
void set_message_panel_collapsed(int collapsed);

// Steps of the close and destroy paths and of command routing whose subsystems come later.
void main_window_close_hook();          // close request: save the default layout
void main_window_destroy_hook();        // destruction: stop timers, acquisition, unload modules...
void main_window_command_hook(int id);  // commands the frame does not carry itself
void main_window_refresh_hook();        // status bar and toolbar states after a change
