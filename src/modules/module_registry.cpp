// module_registry.cpp - loading plug-in modules into the registry, the role lists, driver
// selection, unloading and the command wrappers.
//
// Index
//   [SECTION] Registry state
//   [SECTION] Loading
//   [SECTION] Role lists
//   [SECTION] Drivers and the network module
//   [SECTION] Unloading
#include <atomic>
#include <cstring>

#include "core/log.h"
#include "core/platform.h"
#include "core/text.h"
#include "modules/modules.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] Registry state
//-------------------------------------------------------------------------------------------------

namespace {

// The process-wide registry (main thread; the selected driver is read by the acquisition thread).
struct ModuleRegistry {
    ModuleEntry modules[MODULES_MAX];
    int32_t count;
    int32_t drivers[MODULES_MAX];  // registry indexes, load order
    int32_t driver_count;
    std::atomic<int32_t> selected_driver;  // position in `drivers`, -1 = none
    int32_t window_modules[MODULES_MAX];
    int32_t window_count;
    int32_t network;  // registry index, -1 = none
    char directory[1024];
};

ModuleRegistry g_registry = {{}, 0, {}, 0, {-1}, {}, 0, -1, {}};
const ModuleLoaderOps* g_loader;

// Name of a driver list position (registry copy), or null.
const char* driver_entry_name(int32_t position) {
    if (position < 0 || position >= g_registry.driver_count) return nullptr;
    return g_registry.modules[g_registry.drivers[position]].descriptor.name;
}

const ModuleEntry* selected_driver_entry() {
    int32_t position = g_registry.selected_driver.load(std::memory_order_acquire);
    if (position < 0 || position >= g_registry.driver_count) return nullptr;
    return &g_registry.modules[g_registry.drivers[position]];
}

}  // namespace

void modules_set_loader(const ModuleLoaderOps* ops) { g_loader = ops; }
const char* modules_directory() { return g_registry.directory; }
int32_t module_count() { return g_registry.count; }

const ModuleEntry* module_at(int32_t index) {
    if (index < 0 || index >= g_registry.count) return nullptr;
    return &g_registry.modules[index];
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Loading
//-------------------------------------------------------------------------------------------------

namespace {

void build_role_lists();

// "<exe>\dll" when it exists, else "<exe>\..\..\dll" (not normalised).
void choose_module_directory(char* out, size_t capacity) {
    char exe_dir[1024] = "";
    platform()->exe_dir(exe_dir, sizeof exe_dir);
    char sep = platform_path_separator();
    text_printf(out, capacity, "%s%cdll", exe_dir, sep);
    if (g_loader->path_exists(out)) return;
    text_printf(out, capacity, "%s%c..%c..%cdll", exe_dir, sep, sep, sep);
}

// Outcome of offering one file to the registry.
enum LoadStep { LOAD_NEXT, LOAD_STOP };

LoadStep load_one(const char* directory, const char* file_name) {
    const ModuleLoaderOps* ops = g_loader;
    char path[1024];
    text_printf(path, sizeof path, "%s%c%s", directory, platform_path_separator(), file_name);
    unsigned long error = 0;
    void* library = ops->library_load(path, &error);
    if (!library) {
        log_printf(LOG_WARN, "加载模块失败: %s (err=%lu)", file_name, error);
        return LOAD_NEXT;
    }
    ModuleGetFunction get = (ModuleGetFunction)ops->library_symbol(library, KX_MODULE_EXPORT_NAME);
    if (!get) {  // not a module of ours: skipped silently
        ops->library_free(library);
        return LOAD_NEXT;
    }
    const ModuleDescriptor* descriptor = get();
    if (!descriptor || descriptor->api_version != KX_MODULE_API_VERSION) {
        log_printf(LOG_WARN, "模块 %s API 版本不匹配，已跳过", file_name);
        ops->library_free(library);
        return LOAD_NEXT;
    }
    // The name is copied before init so a module cannot make the host read past its buffer.
    char name[64];
    std::memcpy(name, descriptor->name, sizeof name - 1);
    name[sizeof name - 1] = 0;
    void* context = nullptr;
    if (descriptor->init && descriptor->init(host_api(), &context) != 0) {
        log_printf(LOG_ERROR, "模块 %s 初始化失败，已跳过", name);
        ops->library_free(library);
        return LOAD_NEXT;
    }
    if (g_registry.count >= MODULES_MAX) {
        log_printf(LOG_WARN, "模块数量超限，%s 未加载", name);
        if (descriptor->destroy) descriptor->destroy(context);
        ops->library_free(library);
        return LOAD_STOP;
    }
    ModuleEntry& entry = g_registry.modules[g_registry.count];
    std::memcpy(&entry.descriptor, descriptor, sizeof(ModuleDescriptor));
    // The copy's texts are terminated inside their fields whatever the module left there.
    entry.descriptor.name[sizeof entry.descriptor.name - 1] = 0;
    entry.descriptor.version[sizeof entry.descriptor.version - 1] = 0;
    entry.descriptor.description[sizeof entry.descriptor.description - 1] = 0;
    entry.context = context;
    g_registry.count++;
    log_printf(LOG_INFO, "已加载模块: %s v%s - %s", entry.descriptor.name, entry.descriptor.version,
               entry.descriptor.description);
    return LOAD_NEXT;
}

}  // namespace

int32_t modules_load() {
    g_registry.directory[0] = 0;
    if (!g_loader) {
        log_printf(LOG_WARN, "模块目录不存在: %s", "");
        return 0;
    }
    char* directory = g_registry.directory;
    choose_module_directory(directory, sizeof g_registry.directory);
    void* enumeration = g_loader->enum_open(directory);
    if (!enumeration) {
        log_printf(LOG_WARN, "模块目录不存在: %s", directory);
        return 0;
    }
    char file_name[520];
    bool is_directory = false;
    while (g_loader->enum_next(enumeration, file_name, sizeof file_name, &is_directory)) {
        if (is_directory) continue;
        if (load_one(directory, file_name) == LOAD_STOP) break;
    }
    g_loader->enum_close(enumeration);

    build_role_lists();
    const ModuleEntry* net = network_module();
    if (net) log_printf(LOG_INFO, "网络模块: %s", net->descriptor.name);
    const char* driver = selected_driver_name();
    if (driver) log_printf(LOG_INFO, "驱动模块: %s", driver);
    else log_printf(LOG_WARN, "未找到驱动模块（J-Link 等）");
    return g_registry.count;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Role lists
//-------------------------------------------------------------------------------------------------

namespace {

// A J-Link driver is the default. Besides the two spellings "jlink" and "JLink", the product
// name "J-Link" itself is accepted, since that is what a J-Link driver module calls itself.
bool is_default_driver_name(const char* name) {
    return std::strstr(name, "jlink") || std::strstr(name, "JLink") || std::strstr(name, "J-Link");
}

void build_role_lists() {
    g_registry.driver_count = 0;
    g_registry.window_count = 0;
    g_registry.network = -1;
    int32_t default_position = -1;
    for (int32_t i = 0; i < g_registry.count; i++) {
        const ModuleDescriptor& d = g_registry.modules[i].descriptor;
        if (d.flags & KX_MODULE_DRIVER) {
            if (default_position < 0 && is_default_driver_name(d.name)) default_position = g_registry.driver_count;
            g_registry.drivers[g_registry.driver_count++] = i;
        }
        if (d.flags & KX_MODULE_WINDOW) g_registry.window_modules[g_registry.window_count++] = i;
        if ((d.flags & KX_MODULE_NETWORK) && g_registry.network < 0) g_registry.network = i;
    }
    int32_t selected = -1;
    if (g_registry.driver_count > 0) selected = default_position >= 0 ? default_position : 0;
    g_registry.selected_driver.store(selected, std::memory_order_release);
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Drivers and the network module
//-------------------------------------------------------------------------------------------------

int32_t driver_count() { return g_registry.driver_count; }
int32_t selected_driver_index() { return selected_driver_entry() ? g_registry.selected_driver.load() : -1; }
const char* driver_name(int32_t index) { return driver_entry_name(index); }

const char* selected_driver_name() {
    const ModuleEntry* entry = selected_driver_entry();
    return entry ? entry->descriptor.name : nullptr;
}

int32_t select_driver(int32_t index) {
    if (index < 0 || index >= g_registry.driver_count) return -2;
    const ModuleEntry* old = selected_driver_entry();
    const ModuleEntry* next = &g_registry.modules[g_registry.drivers[index]];
    if (old && old != next && old->descriptor.command)
        old->descriptor.command(old->context, KX_DRV_DISCONNECT, nullptr, nullptr);
    g_registry.selected_driver.store(index, std::memory_order_release);
    return 0;
}

bool driver_available() {
    const ModuleEntry* entry = selected_driver_entry();
    return entry && entry->descriptor.command;
}

int32_t driver_command(int32_t code, void* in, void* out) {
    const ModuleEntry* entry = selected_driver_entry();
    if (!entry || !entry->descriptor.command) return -1;
    return entry->descriptor.command(entry->context, code, in, out);
}

int32_t window_module_count() { return g_registry.window_count; }

const ModuleEntry* window_module_at(int32_t index) {
    if (index < 0 || index >= g_registry.window_count) return nullptr;
    return &g_registry.modules[g_registry.window_modules[index]];
}

void modules_notify_window_modules(int32_t code) {
    for (int32_t i = 0; i < g_registry.window_count; i++) {
        const ModuleEntry& entry = g_registry.modules[g_registry.window_modules[i]];
        if (entry.descriptor.command) entry.descriptor.command(entry.context, code, nullptr, nullptr);
    }
}

const ModuleEntry* network_module() {
    if (g_registry.network < 0 || g_registry.network >= g_registry.count) return nullptr;
    return &g_registry.modules[g_registry.network];
}

bool network_available() {
    const ModuleEntry* net = network_module();
    return net && net->descriptor.command;
}

int32_t network_command_raw(int32_t code, void* in, void* out) {
    const ModuleEntry* net = network_module();
    if (!net || !net->descriptor.command) return -1;
    return net->descriptor.command(net->context, code, in, out);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Unloading
//-------------------------------------------------------------------------------------------------

void modules_unload() {
    const ModuleEntry* driver = selected_driver_entry();
    if (driver && driver->descriptor.command)
        driver->descriptor.command(driver->context, KX_DRV_DISCONNECT, nullptr, nullptr);
    for (int32_t i = g_registry.count - 1; i >= 0; i--) {
        const ModuleEntry& entry = g_registry.modules[i];
        if (entry.descriptor.destroy) entry.descriptor.destroy(entry.context);
    }
    g_registry.selected_driver.store(-1, std::memory_order_release);
    g_registry.count = 0;
    g_registry.driver_count = 0;
    g_registry.window_count = 0;
    g_registry.network = -1;
}
