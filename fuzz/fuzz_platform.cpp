// fuzz_platform.cpp - see fuzz_platform.h. A cookie stream gives a real FILE* with seeking, so
// the parsers read exactly as they read a file on disk.
//
// Speed. A stream opened per input would allocate its stdio buffer every time, and under the
// address sanitizer every allocation costs a quarantine entry and fresh pages; the few streams a
// parser has open at once take a kept buffer instead, released by their close.
#include "fuzz_platform.h"

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/platform.h"

namespace {

const uint8_t* g_data = nullptr;
size_t g_size = 0;

// One open stream over the current input.
struct InputStream {
    bool open;
    size_t position;
    char stdio_buffer[BUFSIZ];
};
InputStream g_streams[4];

ssize_t stream_read(void* cookie, char* out, size_t size) {
    InputStream* s = (InputStream*)cookie;
    size_t n = s->position < g_size ? g_size - s->position : 0;
    if (n > size) n = size;
    if (n) std::memcpy(out, g_data + s->position, n);
    s->position += n;
    return (ssize_t)n;
}

int stream_seek(void* cookie, off64_t* offset, int whence) {
    InputStream* s = (InputStream*)cookie;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
    const off64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? (off64_t)s->position : (off64_t)g_size;
    // Before the start, or past what a position can hold: refused as a file would refuse it.
    if (*offset < -base || *offset > INT64_MAX - base) return -1;
    s->position = (size_t)(base + *offset);
    *offset = (off64_t)s->position;
    return 0;
}

int stream_close(void* cookie) {
    ((InputStream*)cookie)->open = false;
    return 0;
}

FILE* open_input(const char* path, const char* mode) {
    if (!path || std::strcmp(path, FUZZ_INPUT_PATH) != 0 || mode[0] != 'r') return nullptr;
    for (InputStream& s : g_streams) {
        if (s.open) continue;
        const cookie_io_functions_t io = {stream_read, nullptr, stream_seek, stream_close};
        FILE* f = fopencookie(&s, "rb", io);
        if (!f) return nullptr;
        s.open = true;
        s.position = 0;
        setvbuf(f, s.stdio_buffer, _IOFBF, sizeof s.stdio_buffer);
        return f;
    }
    // More streams at once than kept buffers: one over the input's bytes as they are. fmemopen
    // refuses a zero-length buffer; "w+" on its own buffer starts empty and reads as such.
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
// A fixed program folder: asking the system for it costs a system call at every module load.
int fixed_exe_dir(char* out, size_t size) {
    if (!out || size == 0) return -1;
    snprintf(out, size, "%s", "/kestrelix");
    return 0;
}
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
    p.debug_output_utf16 = nullptr;  // no debugger: log lines are formatted, not copied to UTF-16
    p.exe_dir = fixed_exe_dir;
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
