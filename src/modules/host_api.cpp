// host_api.cpp - the twenty host services handed to every module, over the backend table that
// the leaf table, the dialogs and acquisition fill (host_backend.h).
//
// Index
//   [SECTION] Backend and table
//   [SECTION] Log and main window
//   [SECTION] Leaves and the firmware image
//   [SECTION] Watching and acquisition
//   [SECTION] Remote variable merge
//   [SECTION] Filling the table
#include <cstdarg>
#include <cstring>

#include "core/log.h"
#include "core/platform.h"
#include "core/text.h"
#include "firmware/elf.h"
#include "firmware/types.h"
#include "modules/host_backend.h"
#include "modules/modules.h"
#include "vartable/leaf_table.h"

// Modules see the firmware reader's records through the public views; the layouts must agree.
static_assert(sizeof(GlobalVar) == sizeof(ModuleGlobalVar), "GlobalVar view");
static_assert(offsetof(GlobalVar, address) == offsetof(ModuleGlobalVar, address), "GlobalVar view");
static_assert(offsetof(GlobalVar, size) == offsetof(ModuleGlobalVar, size), "GlobalVar view");
static_assert(offsetof(GlobalVar, type) == offsetof(ModuleGlobalVar, type), "GlobalVar view");
static_assert(offsetof(GlobalVar, from_debug_info) == offsetof(ModuleGlobalVar, from_debug_info), "GlobalVar view");
static_assert(sizeof(TypeInfo) == sizeof(ModuleTypeInfo), "TypeInfo view");
static_assert(offsetof(TypeInfo, kind) == offsetof(ModuleTypeInfo, kind), "TypeInfo view");
static_assert(offsetof(TypeInfo, byte_size) == offsetof(ModuleTypeInfo, byte_size), "TypeInfo view");
static_assert(offsetof(TypeInfo, is_bitfield) == offsetof(ModuleTypeInfo, is_bitfield), "TypeInfo view");
static_assert(offsetof(TypeInfo, bit_offset) == offsetof(ModuleTypeInfo, bit_offset), "TypeInfo view");
static_assert(offsetof(TypeInfo, bit_size) == offsetof(ModuleTypeInfo, bit_size), "TypeInfo view");
static_assert(offsetof(TypeInfo, member_offset) == offsetof(ModuleTypeInfo, member_offset), "TypeInfo view");
static_assert(offsetof(TypeInfo, enum_value) == offsetof(ModuleTypeInfo, enum_value), "TypeInfo view");
static_assert(offsetof(TypeInfo, element_count) == offsetof(ModuleTypeInfo, element_count), "TypeInfo view");
static_assert(offsetof(TypeInfo, child_count) == offsetof(ModuleTypeInfo, child_count), "TypeInfo view");
static_assert(offsetof(TypeInfo, children) == offsetof(ModuleTypeInfo, children), "TypeInfo view");

//-------------------------------------------------------------------------------------------------
// [SECTION] Backend and table
//-------------------------------------------------------------------------------------------------

HostBackend g_host_backend;

namespace {

HostApi g_host_api;

int32_t leaf_count_now() { return g_host_backend.leaf_count ? g_host_backend.leaf_count() : 0; }
bool leaf_in_range(int32_t id) { return id >= 0 && id < leaf_count_now(); }

}  // namespace

const HostApi* host_api() { return &g_host_api; }

//-------------------------------------------------------------------------------------------------
// [SECTION] Log and main window
//-------------------------------------------------------------------------------------------------

namespace {

int32_t host_log(int32_t level, const char* format, ...) KX_PRINTF(2, 3);
int32_t host_log(int32_t level, const char* format, ...) {
    if (!format) return 0;
    char text[1024];
    va_list args;
    va_start(args, format);
    text_vprintf(text, sizeof text, format, args);
    va_end(args);
    log_printf(level, "%s", text);
    return 0;
}

int32_t host_post_message(uint32_t message, uintptr_t wparam, intptr_t lparam) {
    return platform()->post_main(message, wparam, lparam) == 0 ? 1 : 0;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Leaves and the firmware image
//-------------------------------------------------------------------------------------------------

const ModuleGlobalVar* host_find_global(const char* name) {
    if (!name || !g_host_backend.current_image) return nullptr;
    const ElfImage* image = g_host_backend.current_image();
    if (!image) return nullptr;
    int32_t index = elf_find_global(image, name);
    if (index < 0) return nullptr;
    return reinterpret_cast<const ModuleGlobalVar*>(elf_global_at(image, index));
}

int32_t host_leaf_count() { return leaf_count_now(); }

const char* host_leaf_name(int32_t id) {
    if (!leaf_in_range(id) || !g_host_backend.leaf_name) return nullptr;
    return g_host_backend.leaf_name(id);
}

const Sample* host_leaf_last_sample(int32_t id) {
    if (!leaf_in_range(id) || !g_host_backend.leaf_last_sample) return nullptr;
    return g_host_backend.leaf_last_sample(id);
}

int32_t host_pick_variable(void* owner, char* name, int32_t capacity) {
    if (leaf_count_now() <= 0) {
        platform()->message_box("请先加载 ELF 文件", "选择变量", PLATFORM_MB_OK | PLATFORM_MB_ICONINFORMATION);
        return 0;
    }
    int32_t id = -1;
    if (!g_host_backend.pick_dialog || g_host_backend.pick_dialog(owner, &id) != 1) return 0;
    const char* chosen = host_leaf_name(id);
    if (!chosen) return 0;
    if (name && capacity > 0) text_copy(name, (size_t)capacity, chosen);
    return 1;
}

int32_t host_write_value(int32_t id, double value, char* error, int32_t capacity) {
    char text[64];
    text_printf(text, sizeof text, "%.17g", value);
    if (!g_host_backend.variable_write) {
        if (error && capacity > 0) text_copy(error, (size_t)capacity, "无驱动模块");
        return -1;
    }
    return g_host_backend.variable_write(id, text, error, capacity);
}

int32_t host_write_text(int32_t id, const char* text, char* error, int32_t capacity) {
    if (!g_host_backend.variable_write) {
        if (error && capacity > 0) text_copy(error, (size_t)capacity, "无驱动模块");
        return -1;
    }
    return g_host_backend.variable_write(id, text ? text : "", error, capacity);
}

void host_reload_elf() {
    if (g_host_backend.reload_elf) g_host_backend.reload_elf();
}

// Prefix without regard to ASCII letter case.
bool starts_with_ascii_nocase(const char* name, const char* prefix) {
    for (; *prefix; name++, prefix++) {
        unsigned char a = (unsigned char)*name, b = (unsigned char)*prefix;
        if (a >= 'A' && a <= 'Z') a = (unsigned char)(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = (unsigned char)(b - 'A' + 'a');
        if (a != b) return false;  // also ends at the name's terminator
    }
    return true;
}

int32_t host_search_leaves(const char* pattern, int32_t* ids, int32_t max) {
    if (!pattern || !pattern[0] || max <= 0 || !ids || !g_host_backend.leaf_name) return 0;
    int32_t found = 0;
    int32_t count = leaf_count_now();
    for (int32_t id = 0; id < count && found < max; id++) {
        const char* name = g_host_backend.leaf_name(id);
        if (!name) continue;
        if (starts_with_ascii_nocase(name, pattern) || std::strstr(name, pattern)) ids[found++] = id;
    }
    return found;
}

uint64_t host_leaf_address(int32_t id) {
    if (!leaf_in_range(id) || !g_host_backend.leaf_address) return 0;
    return g_host_backend.leaf_address(id);
}

int32_t host_leaf_size(int32_t id) {
    if (!leaf_in_range(id) || !g_host_backend.leaf_size) return 0;
    return g_host_backend.leaf_size(id);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Watching and acquisition
//-------------------------------------------------------------------------------------------------

void host_push_sample(const Sample* sample) {
    if (!sample || !g_host_backend.samples_publish) return;
    g_host_backend.samples_publish(sample, 1);
}

int32_t host_is_watched(int32_t id) {
    if (!leaf_in_range(id) || !g_host_backend.leaf_is_watched) return 0;
    return g_host_backend.leaf_is_watched(id) ? 1 : 0;
}

int32_t host_set_watched(int32_t id, int32_t on) {
    if (!leaf_in_range(id) || !g_host_backend.leaf_watch_exchange) return -1;
    int32_t want = on != 0 ? 1 : 0;
    int32_t old = g_host_backend.leaf_watch_exchange(id, want);
    if ((old != 0) == (want != 0)) return 0;
    int32_t watched = 0;
    int32_t count = leaf_count_now();
    for (int32_t i = 0; i < count; i++)
        if (g_host_backend.leaf_is_watched && g_host_backend.leaf_is_watched(i)) watched++;
    if (g_host_backend.watch_count_store) g_host_backend.watch_count_store(watched);
    const char* name = host_leaf_name(id);
    log_printf(LOG_INFO, "网络勾选: %s -> %s", name ? name : "", want ? "观测" : "取消");
    return 0;
}

int32_t host_start_acquisition() {
    return g_host_backend.acquisition_start ? g_host_backend.acquisition_start() : -1;
}

int32_t host_stop_acquisition() {
    if (g_host_backend.acquisition_stop) g_host_backend.acquisition_stop();
    return 0;
}

int32_t host_read_history(Sample* samples, int32_t max) {
    if (!samples || max <= 0 || !g_host_backend.history_read) return 0;
    return g_host_backend.history_read(samples, max);
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Remote variable merge
//-------------------------------------------------------------------------------------------------

namespace {

int32_t host_upsert_remote_leaf(const char* name, uint64_t address, int32_t size) {
    const HostBackend& b = g_host_backend;
    if (!name || !name[0]) return 0;
    int32_t id = b.leaf_find ? b.leaf_find(name) : -1;
    if (id >= 0) {
        if (host_leaf_address(id) == address) return 0;
        if (b.leaf_from_image && b.leaf_from_image(id)) {
            // Our own firmware says where this variable lives; a peer's table never moves it.
            log_printf(LOG_WARN, "网络变量同步: 忽略 %s 的远端地址 0x%llX（本端固件已定义，保留 0x%llX）", name,
                       (unsigned long long)address, (unsigned long long)host_leaf_address(id));
            return 0;
        }
        if (b.leaf_remote_upsert) b.leaf_remote_upsert(name, address, (uint32_t)size);
        // A leaf that came from a peer earlier is also in the remote list, which every rebuild
        // re-applies: keep the list's address with the leaf's, or a reload would bring back the old one.
        int32_t listed = b.remote_var_find ? b.remote_var_find(name) : -1;
        if (listed >= 0 && b.remote_var_update) b.remote_var_update(listed, address, (uint32_t)size);
        return 2;
    }
    int32_t known = b.remote_var_find ? b.remote_var_find(name) : -1;
    if (known >= 0) {
        uint64_t old = 0;
        if (b.remote_var_address && b.remote_var_address(known, &old) == 0 && old == address) return 0;
        if (b.remote_var_update) b.remote_var_update(known, address, (uint32_t)size);
        return 2;
    }
    if (!b.remote_var_append || b.remote_var_append(name, address, (uint32_t)size) < 0) return 0;
    if (b.leaf_add_remote) b.leaf_add_remote(name, address, (uint32_t)size);
    return 1;
}

void host_remote_sync_done(int32_t added, int32_t updated) {
    if (added <= 0 && updated <= 0) return;
    // Off the main thread the merge's additions wait in the remote queue until the main thread
    // applies them (WM_APP + 44); count them as the table will hold them. This merge queued them
    // last, so those still waiting are at most the queue's length.
    int32_t leaves = leaf_count_now();
    if (!platform()->on_main_thread()) {
        int32_t waiting = leaf_remote_pending_count();
        leaves += added < waiting ? added : waiting;
    }
    log_printf(LOG_INFO, "网络变量同步: 新增 %d 个，更新地址 %d 个，当前叶表 %d", added, updated, leaves);
    if (platform()->main_window_exists()) platform()->post_main(KX_MSG_LEAF_TABLE_CHANGED, 0, 0);
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Filling the table
//-------------------------------------------------------------------------------------------------

void host_api_fill() {
    std::memset(&g_host_api, 0, sizeof g_host_api);
    g_host_api.version = KX_HOST_API_VERSION;
    g_host_api.host_log = host_log;
    g_host_api.host_post_message = host_post_message;
    g_host_api.host_find_global = host_find_global;
    g_host_api.host_leaf_count = host_leaf_count;
    g_host_api.host_leaf_name = host_leaf_name;
    g_host_api.host_leaf_last_sample = host_leaf_last_sample;
    g_host_api.host_pick_variable = host_pick_variable;
    g_host_api.host_write_value = host_write_value;
    g_host_api.host_reload_elf = host_reload_elf;
    g_host_api.host_search_leaves = host_search_leaves;
    g_host_api.host_leaf_address = host_leaf_address;
    g_host_api.host_push_sample = host_push_sample;
    g_host_api.host_is_watched = host_is_watched;
    g_host_api.host_set_watched = host_set_watched;
    g_host_api.host_start_acquisition = host_start_acquisition;
    g_host_api.host_stop_acquisition = host_stop_acquisition;
    g_host_api.host_read_history = host_read_history;
    g_host_api.host_upsert_remote_leaf = host_upsert_remote_leaf;
    g_host_api.host_remote_sync_done = host_remote_sync_done;
    g_host_api.host_leaf_size = host_leaf_size;
    g_host_api.host_write_text = host_write_text;
}
