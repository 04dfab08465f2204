// layout_win32.h - connects the layout file to the window shell (start-up, close, reload).
#pragma once

// Fills the layout hooks and the start-up / firmware-load hooks that save and load layouts.
void layout_install_win32();
