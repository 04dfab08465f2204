// main_window_win32.h - the main window's entry points for the start-up sequence.
#pragma once
#include <windows.h>

void main_window_register_class();
// Creates "KestrelixMain" (1280 x 800); its creation builds the children and logs the start line.
HWND main_window_create();
HWND main_window_handle();

// Steps of the close and destroy paths and of command routing whose subsystems come later.
void main_window_close_hook();          // close request: save the default layout
void main_window_destroy_hook();        // destruction: stop timers, acquisition, unload modules...
void main_window_command_hook(int id);  // commands the frame does not carry itself
void main_window_refresh_hook();        // status bar and toolbar states after a change
