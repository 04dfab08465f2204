// flash_dialog_win32.h - the program / erase dialog (toolbar "烧录", menu F9).
#pragma once

// Opens the modal dialog and returns when it is closed.
void flash_dialog_run();
