// leaf_load.h - the firmware load command: open an image, rebuild the leaf table, let every
// holder of leaves rebind by name, report; the remembered image and path; the check for a
// rebuilt firmware file that the main window runs every two seconds.
//
// Steps that belong to later subsystems (acquisition, variable tree, layout file, windows,
// modules, status bar) are reached through VarTableHooks; a null entry is a step whose
// subsystem is not in this build and is skipped in its place. Everything here runs on the main
// thread.
#pragma once
#include <cstdint>

#include "firmware/elf.h"

// Steps of a load owned by other subsystems, in the order the load command calls them.
struct VarTableHooks {
    int (*acquisition_state)();               // 0 idle, 1 acquiring, 2 offline replay
    void (*acquisition_stop)();
    int (*acquisition_start)();               // 0 started (or already running), -1 refused
    int (*probe_connected)();                 // 1 when connected; null: not checked
    void (*tree_rebuild)();                   // variable tree from the new table
    void (*layout_retry_bindings)();          // layout file: bind parked variables again
    void (*rebind_windows)();                 // every built-in window of every tab: rebind by name
    void (*notify_window_modules)(int code);  // command code 11 to every window module
    void (*update_status)();                  // status bar, toolbar and menu states
    void (*layout_save)();                    // write the layout file (records the ELF path)
};
extern VarTableHooks g_vartable_hooks;

enum : int {
    ELF_PATH_CAPACITY = 260,           // UTF-16 units with the terminator
    ELF_MISSING_BOX_NAMES = 12,        // names listed in the missing-variables box
    ELF_MISSING_BOX_CAPACITY = 1800,   // UTF-16 units of that list
    WINDOW_MODULE_ELF_LOADED = 11,     // window-module command code after a load
};

// Loads the image at a UTF-16 path; 0 on success, -1 on failure (previous state kept).
int elf_load_command(const char16_t* path);
// -1 for a null or empty path, else elf_load_command.
int elf_load_path(const char16_t* path);
// The same for a UTF-8 path (start-up hooks, kxtool).
int elf_load_path_utf8(const char* path);
// Loads the remembered path again; nothing when there is none.
void elf_reload_current();
// Last-write time in milliseconds since 1601-01-01, or 0 when it cannot be read.
uint64_t elf_file_time(const char16_t* path);
// The main window's two-second check: one prompt per change of the file's time.
void elf_check_changed();

// The current image, or null.
ElfImage* current_elf_image();
// The remembered UTF-16 path (empty when none).
const char16_t* current_elf_path();
// Remembered last-write time of the current file (0 when unknown).
uint64_t current_elf_file_time();
// Shut-down and tests: frees the image and forgets the path and the time.
void elf_unload_current();
