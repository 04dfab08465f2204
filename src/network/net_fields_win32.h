// net_fields_win32.h - connects the network user commands to the toolbar's address and port fields.
#pragma once

// Installs the field readers into g_net_ui_hooks (main window's controls 2110 and 2111).
void net_fields_install_win32();
