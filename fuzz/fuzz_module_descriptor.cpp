// libFuzzer entry: a module folder scripted by the input. Each file may be a folder, fail to load,
// lack the export, hand back no descriptor, an older or garbage API version, any flags, texts that
// fill their arrays without a terminator, window-type lists with odd names, and an init that fails.
// The registry loads them, the window menu is collected, every driver is selected and called, and
// everything is unloaded. Checks: the registry's copies of the texts end inside their arrays, the
// role lists stay inside the registry, every library that loaded is freed once, and every module
// whose init succeeded is destroyed once (and no other).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_platform.h"
#include "modules/modules.h"
#include "workspace/window_menu.h"

namespace {

enum : int32_t { FILES_MAX = 40, TYPES_MAX = 6, TYPE_NAME_CAPACITY = 24 };

// One scripted file of the module folder.
struct FuzzFile {
    char name[64];
    bool is_directory, load_fails, has_export, null_descriptor, init_fails;
    ModuleDescriptor descriptor;
    WindowTypeEntry types[TYPES_MAX + 1];
    char type_names[TYPES_MAX][2][TYPE_NAME_CAPACITY];
    int32_t loads, frees, inits, destroys;
};

FuzzFile g_files[FILES_MAX];
int32_t g_file_count;
int32_t g_next_file;
FuzzFile* g_current;

bool path_exists(const char*) { return true; }
void* enum_open(const char*) {
    g_next_file = 0;
    return &g_next_file;
}
bool enum_next(void*, char* name, size_t capacity, bool* is_directory) {
    if (g_next_file >= g_file_count) return false;
    FuzzFile& f = g_files[g_next_file++];
    snprintf(name, capacity, "%s", f.name);
    *is_directory = f.is_directory;
    return true;
}
void enum_close(void*) {}
// The file a path names: the name follows the module folder (the fuzz platform's program folder
// holds one, "/kestrelix/dll"), and its index is the two digits after the "m" that starts it.
FuzzFile* file_of(const char* path) {
    const char* name = strstr(path, "/dll/");
    if (!name) return nullptr;
    name += 5;
    if (name[0] != 'm' || name[1] < '0' || name[1] > '9' || name[2] < '0' || name[2] > '9') return nullptr;
    const int32_t i = (name[1] - '0') * 10 + (name[2] - '0');
    return i < g_file_count && strcmp(name, g_files[i].name) == 0 ? &g_files[i] : nullptr;
}

// FuzzedDataProvider::ConsumeRandomLengthString into a fixed array (the same bytes make the same
// text: a backslash followed by anything but a backslash ends it), without a string per call.
size_t consume_text(FuzzedDataProvider& in, char* out, size_t max_length) {
    size_t n = 0;
    char c;
    while (n < max_length && in.ConsumeData(&c, 1) == 1) {
        if (c == '\\') {
            char next;
            if (in.ConsumeData(&next, 1) == 1) {
                if (next != '\\') break;
            }
        }
        out[n++] = c;
    }
    out[n] = 0;
    return n;
}
void* library_load(const char* path, unsigned long* error) {
    FuzzFile* f = file_of(path);
    if (!f || f->load_fails) {
        *error = 193;
        return nullptr;
    }
    f->loads++;
    return f;
}
const ModuleDescriptor* get_descriptor() { return g_current->null_descriptor ? nullptr : &g_current->descriptor; }
void* library_symbol(void* library, const char* name) {
    FuzzFile* f = (FuzzFile*)library;
    if (!f->has_export || strcmp(name, KX_MODULE_EXPORT_NAME) != 0) return nullptr;
    g_current = f;
    return (void*)&get_descriptor;
}
void library_free(void* library) { ((FuzzFile*)library)->frees++; }

const ModuleLoaderOps kOps = {path_exists, enum_open, enum_next, enum_close, library_load, library_symbol, library_free};

int32_t module_init(const HostApi*, void** context) {
    *context = g_current;
    g_current->inits++;
    return g_current->init_fails ? -1 : 0;
}
// A module without init has no context: its calls cannot be told apart and are not counted.
void module_destroy(void* context) {
    if (context) ((FuzzFile*)context)->destroys++;
}
int32_t module_command(void* context, int32_t, void*, void*) {
    if (context && ((FuzzFile*)context)->destroys) __builtin_trap();  // never after its destroy
    return 0;
}

void fill_text(FuzzedDataProvider& in, char* out, size_t capacity) {
    // Either a short text or the whole array without a terminator.
    if (in.ConsumeBool()) {
        memset(out, in.ConsumeIntegral<char>(), capacity);
        return;
    }
    consume_text(in, out, capacity - 1);
}

void make_file(FuzzedDataProvider& in, FuzzFile* f) {
    *f = FuzzFile{};
    char stem[17];
    consume_text(in, stem, 16);
    snprintf(f->name, sizeof f->name, "m%02d_%s.dll", (int)(f - g_files), stem);
    uint8_t bits = in.ConsumeIntegral<uint8_t>();
    f->is_directory = (bits & 0x07) == 0x07;
    f->load_fails = (bits & 0x18) == 0x18;
    f->has_export = (bits & 0x20) == 0;
    f->null_descriptor = (bits & 0xC0) == 0xC0;
    f->init_fails = in.ConsumeIntegral<uint8_t>() < 32;
    ModuleDescriptor& d = f->descriptor;
    d.api_version = in.ConsumeIntegral<uint8_t>() < 224 ? KX_MODULE_API_VERSION : in.ConsumeIntegral<uint32_t>();
    d.flags = in.ConsumeIntegral<uint32_t>();
    fill_text(in, d.name, sizeof d.name);
    fill_text(in, d.version, sizeof d.version);
    fill_text(in, d.description, sizeof d.description);
    uint8_t calls = in.ConsumeIntegral<uint8_t>();
    d.init = (calls & 1) ? nullptr : module_init;
    d.destroy = (calls & 2) ? nullptr : module_destroy;
    d.command = (calls & 4) ? nullptr : module_command;
    int32_t types = in.ConsumeIntegralInRange<int32_t>(-1, TYPES_MAX);
    if (types >= 0) {
        for (int32_t t = 0; t < types; t++) {
            fill_text(in, f->type_names[t][0], TYPE_NAME_CAPACITY);
            f->type_names[t][0][TYPE_NAME_CAPACITY - 1] = 0;  // a module's own strings end somewhere
            fill_text(in, f->type_names[t][1], TYPE_NAME_CAPACITY);
            f->type_names[t][1][TYPE_NAME_CAPACITY - 1] = 0;
            f->types[t].type_name = f->type_names[t][0];
            f->types[t].display_name = in.ConsumeBool() ? nullptr : f->type_names[t][1];
        }
        f->types[types] = WindowTypeEntry{nullptr, nullptr};
        d.window_types = f->types;
    }
}

void check_registry() {
    int32_t count = module_count();
    if (count < 0 || count > MODULES_MAX) __builtin_trap();
    for (int32_t i = 0; i < count; i++) {
        const ModuleDescriptor& d = module_at(i)->descriptor;
        if (!memchr(d.name, 0, sizeof d.name) || !memchr(d.version, 0, sizeof d.version) ||
            !memchr(d.description, 0, sizeof d.description))
            __builtin_trap();
        if (d.api_version != KX_MODULE_API_VERSION) __builtin_trap();
    }
    if (driver_count() < 0 || driver_count() > count || window_module_count() > count) __builtin_trap();
    for (int32_t i = 0; i < driver_count(); i++) {
        if (!driver_name(i) || strlen(driver_name(i)) >= 64) __builtin_trap();
        if (select_driver(i) != 0 || selected_driver_index() != i) __builtin_trap();
        driver_command(KX_DRV_DISCONNECT, nullptr, nullptr);
    }
    if (select_driver(driver_count()) != -2 || driver_name(-1) || driver_name(driver_count())) __builtin_trap();
    network_command_raw(0, nullptr, nullptr);
    modules_notify_window_modules(0);
    int32_t items = window_menu_collect();
    for (int32_t i = 0; i < items; i++) {
        const WindowTypeItem* item = window_menu_item(i);
        if (!item || window_menu_find(item->entry->type_name) < 0) __builtin_trap();
        (void)strlen(window_menu_label(item));
    }
    window_menu_clear();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_platform_serve(nullptr, 0);
    modules_set_loader(&kOps);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    g_file_count = in.ConsumeIntegralInRange<int32_t>(0, FILES_MAX);
    for (int32_t i = 0; i < g_file_count; i++) make_file(in, &g_files[i]);
    modules_load();
    check_registry();
    modules_unload();
    for (int32_t i = 0; i < g_file_count; i++) {
        const FuzzFile& f = g_files[i];
        if (f.frees > f.loads) __builtin_trap();
        // A module that initialised is destroyed once; one whose init failed never is.
        if (!f.descriptor.init) continue;
        int32_t live = f.init_fails ? 0 : f.inits;
        if (f.descriptor.destroy && f.destroys != live) __builtin_trap();
    }
    return 0;
}
