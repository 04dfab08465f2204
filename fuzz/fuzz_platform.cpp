// fuzz_platform.cpp - see fuzz_platform.h. fmemopen gives a real FILE* with seeking, so the
// parsers read exactly as they read a file on disk.
#include "fuzz_platform.h"

#include <cstdio>
#include <cstring>

#include "core/platform.h"

namespace {

const uint8_t* g_data = nullptr;
size_t g_size = 0;

FILE* open_input(const char* path, const char* mode) {
    if (!path || std::strcmp(path, FUZZ_INPUT_PATH) != 0 || mode[0] != 'r') return nullptr;
    // fmemopen refuses a zero-length buffer; "w+" on its own buffer starts empty and reads as such.
    if (g_size == 0) return fmemopen(nullptr, 1, "w+");
    return fmemopen(const_cast<uint8_t*>(g_data), g_size, "rb");
}

int no_post(unsigned, uintptr_t, intptr_t) { return -1; }
bool no_window() { return false; }
bool main_thread() { return true; }
int answer_ok(const char*, const char*, unsigned) { return PLATFORM_ID_OK; }
int no_env(const char*, char* out, size_t size) {
    if (size) out[0] = 0;
    return -1;
}
int no_dir(const char*) { return -1; }
void no_debug(const char16_t*) {}
void no_sleep(unsigned) {}
// A clock that moves on by a fixed step at every reading: runs reproduce, and timed work such as
// the step replay moves forward from one call to the next.
int64_t g_clock_us = 1733659200000000;
int64_t step_clock_us() { return g_clock_us += 997; }
uint64_t step_tick_ms() { return (uint64_t)(step_clock_us() / 1000); }

Platform make_platform() {
    Platform p = *platform_default();
    p.post_main = no_post;
    p.main_window_exists = no_window;
    p.on_main_thread = main_thread;
    p.message_box = answer_ok;
    p.get_env = no_env;
    p.open_file = open_input;
    p.make_dir = no_dir;
    p.debug_output_utf16 = no_debug;
    p.sleep_ms = no_sleep;
    p.now_us = step_clock_us;
    p.tick_ms = step_tick_ms;
    return p;
}

}  // namespace

void fuzz_platform_serve(const uint8_t* data, size_t size) {
    static const Platform fuzz_platform = make_platform();
    if (platform() != &fuzz_platform) platform_install(&fuzz_platform);
    g_data = data;
    g_size = size;
}
