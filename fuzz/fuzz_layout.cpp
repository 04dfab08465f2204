// libFuzzer entry: any bytes as a layout file. An input of even length is loaded through the
// main-window hooks (windows made, variables bound or parked, tab selected, firmware path
// offered); one of odd length is parsed, written back and read again: a saved layout must come
// back as it was written.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz_platform.h"
#include "vartable/leaf_table.h"
#include "workspace/layout.h"

namespace {

int32_t g_windows;        // windows the current input made
char g_window_tokens[64]; // their handles point into this array

void* create_window(const char* type, const char* title) {
    if (!type[0] || !title[0] || g_windows >= (int32_t)sizeof g_window_tokens) return nullptr;
    return &g_window_tokens[g_windows++];
}
int32_t tab_count() { return g_windows; }
bool alive(void* window) {
    return window >= (void*)g_window_tokens && window < (void*)(g_window_tokens + g_windows);
}
void add_leaf(void* window, int32_t leaf_id) {
    if (!alive(window) || !leaf_at(leaf_id)) __builtin_trap();  // only found leaves of live windows
}
bool on_monitor(int32_t, int32_t, int32_t w, int32_t h) { return w > 0 && h > 0; }
bool no_file(const char*) { return false; }
void select_tab(int32_t index) {
    if (index < 0 || index >= g_windows) __builtin_trap();
}

void install_hooks() {
    LayoutHooks h = {};
    h.create_tab_window = create_window;
    h.tab_count = tab_count;
    h.window_alive = alive;
    h.add_leaf_to_window = add_leaf;
    h.rect_on_some_monitor = on_monitor;
    h.file_exists = no_file;
    h.select_tab = select_tab;
    g_layout_hooks = h;
}

// The panel and theme flags read -1 when their key is missing and are written as 0 then: compare
// what they mean, set or not.
bool same_flag(int32_t a, int32_t b) { return (a > 0) == (b > 0); }

bool same_data(const LayoutData& a, const LayoutData& b) {
    if (a.main_x != b.main_x || a.main_y != b.main_y || a.main_w != b.main_w || a.main_h != b.main_h ||
        a.tree_w != b.tree_w || a.log_h != b.log_h || !same_flag(a.log_hidden, b.log_hidden) ||
        !same_flag(a.tree_hidden, b.tree_hidden) || !same_flag(a.tree_auto, b.tree_auto) || a.active != b.active ||
        !same_flag(a.theme, b.theme) || a.tab_count != b.tab_count || strcmp(a.elf, b.elf) != 0 ||
        a.section_count != b.section_count)
        return false;
    for (int32_t i = 0; i < a.section_count; i++) {
        const LayoutSection& s = a.sections[i];
        const LayoutSection& t = b.sections[i];
        if (strcmp(s.type, t.type) != 0 || strcmp(s.title, t.title) != 0 || s.var_count != t.var_count) return false;
        for (int32_t v = 0; v < s.var_count; v++)
            if (strcmp(s.vars[v], t.vars[v]) != 0) return false;
    }
    return true;
}

// The longest file layout_write can make: the global lines, then for every section its type,
// title and every variable on a line of its own (key, '=', value, line feed).
constexpr size_t kWrittenMax = 4096 + (size_t)LAYOUT_MAX_SECTIONS * (16 + sizeof(LayoutSection::type) + 16 +
                                                                      sizeof(LayoutSection::title) +
                                                                      LAYOUT_MAX_VARS * (8 + LAYOUT_VAR_CAPACITY));

// The file is written into a kept buffer (a growing one per input would cost more than the parse).
void write_and_read_back(const uint8_t* data, size_t size) {
    static LayoutData first, second;
    static char text[kWrittenMax + 1];
    static char stdio_buffer[BUFSIZ];
    layout_parse((const char*)data, size, &first);
    if (first.section_count < 0 || first.section_count > LAYOUT_MAX_SECTIONS) __builtin_trap();
    FILE* f = fmemopen(text, sizeof text, "w");
    if (!f) return;
    setvbuf(f, stdio_buffer, _IOFBF, sizeof stdio_buffer);
    layout_write(f, &first);
    fflush(f);
    const long length = ftell(f);
    fclose(f);
    if (length < 0 || (size_t)length >= kWrittenMax) __builtin_trap();  // the bound above is wrong
    layout_parse(text, (uint64_t)length, &second);
    if (!same_data(first, second)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_platform_serve(nullptr, 0);
    leaf_table_reset();
    leaf_add("g_motor.speed_rpm", 0x20000000, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("g_tick_ms", 0x20000004, 4, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("g_wave.sine", 0x20000008, 4, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    install_hooks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Each input takes one of the two paths, by its length: both parse the same text, and one
    // parse per input instead of two leaves the fuzzer twice the runs. Mutations change the
    // length, so every input's bytes meet both paths over a run.
    if (size % 2 == 0) {
        fuzz_platform_serve(data, size);
        g_windows = 0;
        layout_pending_clear();
        layout_load(FUZZ_INPUT_PATH);
        if (layout_pending_count() < 0 || layout_pending_count() > LAYOUT_MAX_PENDING) __builtin_trap();
        layout_retry_bindings();
        layout_pending_clear();
    } else {
        write_and_read_back(data, size);
    }
    return 0;
}
