// leaf_load.cpp - the firmware load command, the remembered image and the file change check.
//
// Index
//   [SECTION] State
//   [SECTION] File time
//   [SECTION] Load command
//   [SECTION] Change check
#include "vartable/leaf_load.h"

#include <chrono>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "core/log.h"
#include "core/platform.h"
#include "core/text.h"
#include "vartable/leaf_table.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] State
//-------------------------------------------------------------------------------------------------

VarTableHooks g_vartable_hooks;

namespace {

ElfImage* g_image;
char16_t g_path[ELF_PATH_CAPACITY];
uint64_t g_file_time;
bool g_change_prompt_open;

// UTF-8 form of a path for elf_open and the log. Four bytes per unit hold any path the UTF-16
// form can hold, so a long non-ASCII path is never cut into a different path.
enum : size_t { PATH_UTF8_CAPACITY = ELF_PATH_CAPACITY * 4 };

}  // namespace

ElfImage* current_elf_image() { return g_image; }
const char16_t* current_elf_path() { return g_path; }
uint64_t current_elf_file_time() { return g_file_time; }

int32_t leaf_table_rebuild() { return leaf_table_rebuild_from(g_image); }

void elf_unload_current() {
    elf_close(g_image);
    g_image = nullptr;
    g_path[0] = 0;
    g_file_time = 0;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] File time
//-------------------------------------------------------------------------------------------------

uint64_t elf_file_time(const char16_t* path) {
    if (!path || !path[0]) return 0;
    // Milliseconds between 1601-01-01 and 1970-01-01.
    constexpr int64_t kEpochDifferenceMs = 11644473600000LL;
    try {
        std::error_code error;
        std::filesystem::path p{std::u16string_view(path)};
        auto written = std::filesystem::last_write_time(p, error);
        if (error) return 0;
        auto since_1970 = std::chrono::file_clock::to_sys(written).time_since_epoch();
        int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_1970).count() + kEpochDifferenceMs;
        return ms > 0 ? (uint64_t)ms : 0;
    } catch (...) {
        return 0;  // a path that cannot be converted has no readable time
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Load command
//-------------------------------------------------------------------------------------------------

namespace {

bool probe_connected() {
    const VarTableHooks& h = g_vartable_hooks;
    return !h.probe_connected || h.probe_connected() == 1;
}

// Restarts acquisition after a load when it ran before, the probe is connected and something is
// watched; true when it started.
bool resume_acquisition(bool was_running) {
    const VarTableHooks& h = g_vartable_hooks;
    if (!was_running || !probe_connected() || leaf_watched_count() <= 0 || !h.acquisition_start) return false;
    return h.acquisition_start() == 0;
}

// The first names of the missing list, one per line, at most 1800 UTF-16 units.
void compose_missing_names(char16_t* out, size_t capacity) {
    size_t used = 0;
    out[0] = 0;
    for (int32_t i = 0; i < missing_count() && i < ELF_MISSING_BOX_NAMES; i++) {
        char16_t name[300];
        size_t n = utf8_to_utf16(missing_name(i), name, sizeof name / sizeof name[0]);
        for (size_t k = 0; k < n && used + 1 < capacity; k++) out[used++] = name[k];
        if (used + 1 < capacity) out[used++] = u'\n';
        out[used] = 0;
    }
}

void show_missing_box() {
    if (missing_count() == 0) return;
    char16_t names16[ELF_MISSING_BOX_CAPACITY + 1];
    compose_missing_names(names16, sizeof names16 / sizeof names16[0]);
    char names[ELF_MISSING_BOX_CAPACITY * 3 + 1];
    utf16_to_utf8(names16, names, sizeof names);
    char text[sizeof names + 256];
    text_printf(text, sizeof text, "以下 %d 个变量在新 ELF 中未找到，是否忽略？\n\n%s", missing_count(), names);
    platform()->message_box(text, "变量缺失", PLATFORM_MB_YESNO | PLATFORM_MB_ICONWARNING);  // the answer changes nothing
}

void make_current(ElfImage* image, const char16_t* path) {
    char16_t copy[ELF_PATH_CAPACITY];
    text16_copy(copy, ELF_PATH_CAPACITY, path);  // the path may be g_path itself
    elf_close(g_image);
    g_image = image;
    text16_copy(g_path, ELF_PATH_CAPACITY, copy);
    g_file_time = elf_file_time(g_path);
}

}  // namespace

int elf_load_command(const char16_t* path) {
    const VarTableHooks& h = g_vartable_hooks;
    bool was_running = h.acquisition_state && h.acquisition_state() == 1;
    if (was_running && h.acquisition_stop) h.acquisition_stop();

    char path8[PATH_UTF8_CAPACITY];
    utf16_to_utf8(path, path8, sizeof path8);
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = elf_open(path8, error, sizeof error);
    if (!image) {
        log_printf(LOG_WARN, "ELF 加载失败: %s", error);
        resume_acquisition(was_running);
        return -1;
    }

    make_current(image, path);
    leaf_table_rebuild();
    if (h.tree_rebuild) h.tree_rebuild();
    if (h.layout_retry_bindings) h.layout_retry_bindings();
    if (h.rebind_windows) h.rebind_windows();
    show_missing_box();
    if (h.notify_window_modules) h.notify_window_modules(WINDOW_MODULE_ELF_LOADED);
    log_printf(LOG_INFO, "已加载 ELF: %s (%d 位, %s)", path8, elf_bits(g_image), elf_machine_name(g_image));
    if (resume_acquisition(was_running)) log_printf(LOG_INFO, "ELF 重载后已恢复采集");
    if (h.update_status) h.update_status();
    if (platform()->main_window_exists() && h.layout_save) h.layout_save();
    return 0;
}

int elf_load_path(const char16_t* path) {
    if (!path || !path[0]) return -1;
    return elf_load_command(path);
}

int elf_load_path_utf8(const char* path) {
    if (!path || !path[0]) return -1;
    char16_t wide[ELF_PATH_CAPACITY];
    utf8_to_utf16(path, wide, ELF_PATH_CAPACITY);
    return elf_load_path(wide);
}

void elf_reload_current() {
    if (!g_path[0]) return;
    char16_t copy[ELF_PATH_CAPACITY];
    text16_copy(copy, ELF_PATH_CAPACITY, g_path);
    elf_load_command(copy);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Change check
//-------------------------------------------------------------------------------------------------

void elf_check_changed() {
    // The prompt is modal and the timer keeps running under it: one prompt at a time.
    if (g_change_prompt_open || !g_path[0] || !g_image) return;
    uint64_t t = elf_file_time(g_path);
    if (t == 0 || t == g_file_time) return;
    g_file_time = t;  // remembered at once: this change is reported only once
    g_change_prompt_open = true;
    int answer = platform()->message_box("检测到 ELF 文件已更新（可能重新编译），是否立即重新加载并刷新变量地址？", "ELF 更新",
                                         PLATFORM_MB_YESNO | PLATFORM_MB_ICONQUESTION);
    g_change_prompt_open = false;
    if (answer == PLATFORM_ID_YES) elf_reload_current();
}
