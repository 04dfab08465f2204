// net_fields_win32.cpp - the toolbar's address and port fields as the network user commands read them.
#include <windows.h>

#include "core/platform_win32.h"
#include "network/net_command.h"
#include "network/net_fields_win32.h"

namespace {

enum : int { ID_NET_ADDRESS = 2110, ID_NET_PORT = 2111 };

int read_field(int id, char16_t* out, size_t capacity) {
    HWND main = platform_win32_main_window();
    HWND field = main ? GetDlgItem(main, id) : nullptr;
    if (!field || capacity == 0) return -1;
    GetWindowTextW(field, (wchar_t*)out, (int)capacity);
    return 0;
}

int read_address(char16_t* out, size_t capacity) { return read_field(ID_NET_ADDRESS, out, capacity); }
int read_port(char16_t* out, size_t capacity) { return read_field(ID_NET_PORT, out, capacity); }

}  // namespace

void net_fields_install_win32() {
    g_net_ui_hooks.read_address_field = read_address;
    g_net_ui_hooks.read_port_field = read_port;
}
