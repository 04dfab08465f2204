// main_status_win32.h - the main window's status bar texts and toolbar button states.
#pragma once

// Sets the four status-bar parts from the current state.
void update_status_bar();
// Enables and disables the toolbar buttons; sets the record button's text (and lays the row out
// again when it changed).
void update_command_states();
