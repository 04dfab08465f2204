// modules_win32.h - installs the Windows module loader (LoadLibraryW and friends).
#pragma once

// Makes modules_load use the "dll" folder of the running executable through the Win32 API.
void modules_install_win32_loader();
