// net_key.h - the shared key of remote operation, as the user gave it: in the network dialog, as
// --net-key= on the command line, or remembered in the layout file. The key goes to the network
// module before every listen and connect and is never written to the log.
#pragma once
#include <cstddef>

enum : size_t { NET_KEY_CAPACITY = 128 };  // 127 bytes of UTF-8 text and the terminator

// Sets the key (null or "" = no key); from the dialog and the command line.
void net_key_set(const char* key);
// The layout's remembered key: taken only when the dialog or the command line gave none.
void net_key_set_from_layout(const char* key);
// Copies the current key (cut, terminated) into `out`.
void net_key_copy(char* out, size_t capacity);
// Tests: back to no key.
void net_key_reset();
