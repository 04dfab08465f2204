// net_key.cpp - the shared key of remote operation (main thread and the delayed-action threads).
#include "network/net_key.h"

#include <cstring>
#include <mutex>

#include "core/text.h"

namespace {

// The key and whether a user action (dialog, command line) set it.
struct NetKeyStore {
    std::mutex lock;
    char key[NET_KEY_CAPACITY];
    bool set_by_user;
};

NetKeyStore g_key;

}  // namespace

void net_key_set(const char* key) {
    std::lock_guard<std::mutex> hold(g_key.lock);
    text_copy(g_key.key, sizeof g_key.key, key ? key : "");
    g_key.set_by_user = true;
}

void net_key_set_from_layout(const char* key) {
    std::lock_guard<std::mutex> hold(g_key.lock);
    if (!g_key.set_by_user) text_copy(g_key.key, sizeof g_key.key, key ? key : "");
}

void net_key_copy(char* out, size_t capacity) {
    std::lock_guard<std::mutex> hold(g_key.lock);
    text_copy(out, capacity, g_key.key);
}

void net_key_reset() {
    std::lock_guard<std::mutex> hold(g_key.lock);
    std::memset(g_key.key, 0, sizeof g_key.key);
    g_key.set_by_user = false;
}
