// modules.h - the module registry: loading and validating plug-in modules, the role lists
// (drivers, window modules, the network module), driver selection, unloading, and the wrappers
// through which the rest of the program calls a driver's or the network module's command entry.
//
// The registry is owned by the main thread: loading, selection and unloading run there. The
// command wrappers may also be called from the acquisition thread; the selected driver is read
// atomically and the descriptor copies never change after loading.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kestrelix_module.h"

enum : int32_t { MODULES_MAX = 32 };

// One accepted module: a copy of its descriptor (the pointers inside still point into the
// module) and the context its init returned.
struct ModuleEntry {
    ModuleDescriptor descriptor;
    void* context;
};

// The operating-system side of loading: directory test, enumeration, libraries. Paths are UTF-8.
// The Win32 shell installs the real one (modules_load_win32.cpp); tests install fakes.
struct ModuleLoaderOps {
    // True when the path's attributes can be read.
    bool (*path_exists)(const char* path);
    // Starts enumerating "<dir>\*.dll"; null when the enumeration cannot be started.
    void* (*enum_open)(const char* dir);
    // Next entry: file name (UTF-8) and whether it is a directory; false at the end.
    bool (*enum_next)(void* handle, char* name, size_t capacity, bool* is_directory);
    void (*enum_close)(void* handle);
    // Loads a library by full path; null on failure with the platform error code.
    void* (*library_load)(const char* path, unsigned long* error);
    void* (*library_symbol)(void* library, const char* name);
    void (*library_free)(void* library);
};

// Installs the loader operations (null = none: modules_load then finds no module directory).
void modules_set_loader(const ModuleLoaderOps* ops);

// Finds, validates, initialises and registers all modules; returns the number accepted.
int32_t modules_load();
// Disconnects the selected driver, calls every destroy in reverse load order, empties the registry.
void modules_unload();
// Module directory chosen by the last modules_load (UTF-8; empty before).
const char* modules_directory();

int32_t module_count();
const ModuleEntry* module_at(int32_t index);

int32_t driver_count();
int32_t selected_driver_index();         // -1 when none
const char* driver_name(int32_t index);  // null outside [0, driver_count)
int32_t select_driver(int32_t index);    // 0, or -2 for an index out of range
// The selected driver's name, or null when none is selected.
const char* selected_driver_name();
// True when a driver is selected and has a command entry.
bool driver_available();
// Calls the selected driver's command entry; -1 when driver_available() is false.
int32_t driver_command(int32_t code, void* in, void* out);

int32_t window_module_count();
const ModuleEntry* window_module_at(int32_t index);
// Calls every window module's command entry with the code and no records, in list order
// (code 11 after every firmware load); results are ignored.
void modules_notify_window_modules(int32_t code);

// The network module (first module with flag 4), or null.
const ModuleEntry* network_module();
bool network_available();
// Calls the network module's command entry; -1 when network_available() is false.
int32_t network_command_raw(int32_t code, void* in, void* out);

// The host service table handed to every module's init (filled by host_api_fill).
const HostApi* host_api();
// Fills the host service table: cleared, version 4, then the twenty services.
void host_api_fill();
