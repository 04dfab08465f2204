// help_win32.h - the help window.
#pragma once
#include <windows.h>

void help_register_class();
// Opens the help window centred on the owner, or brings the open one to the front.
void help_show(HWND owner);
HWND help_window();
