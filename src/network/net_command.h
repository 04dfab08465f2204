// net_command.h - the host side of remote operation: the one entry that issues network commands
// to the network module (with their log lines), the user commands that read the toolbar's
// address and port fields, and the mapping of menu and toolbar ids to command codes.
//
// net_command runs on the main thread and on the delayed-action threads (code 29); the acquisition
// thread reaches the module only through code 24, directly.
#pragma once
#include <cstddef>
#include <cstdint>

enum : int32_t {
    NET_ADDRESS_FIELD_MAX = 63,  // characters read from the IP field
    NET_PORT_FIELD_MAX = 15,     // characters read from the port field
    NET_DEFAULT_PORT = 10000,
};

// What the user commands need from the window shell; null entries read as missing fields.
struct NetUiHooks {
    // Copy the field's text (cut to capacity - 1 units, terminated); -1 when the field does not exist.
    int (*read_address_field)(char16_t* out, size_t capacity);
    int (*read_port_field)(char16_t* out, size_t capacity);
};
extern NetUiHooks g_net_ui_hooks;

// Issues one network command (codes 20 to 29). `text` is the address (20, 21) or the leaf name
// (27, empty = the --net-write= name); `port` is used by 20 and 21. Returns the module's result,
// or -1 when no network module is loaded.
int32_t net_command(int32_t code, const char* text, int32_t port);
// The user's command: address and port from the toolbar fields, then net_command.
void net_user_command(int32_t code);
// The network command code of a menu or toolbar command id, or 0 when the id is not one.
int32_t net_command_code_for_id(int id);
