// host_backend.h - what the host services need from the leaf table, the firmware image, the
// dialogs and acquisition. Those subsystems fill their entries when they start (or tests fill
// them); an entry left null makes its service answer "nothing there": 0 leaves, null names,
// address 0, no sample, 0 copied, -1 refused.
#pragma once
#include <cstdint>

#include "kestrelix_module.h"

struct ElfImage;

// The backend of the host services (one process-wide table, filled on the main thread at start-up).
struct HostBackend {
    // Leaf table.
    int32_t (*leaf_count)();
    const char* (*leaf_name)(int32_t id);                       // null outside the table
    uint64_t (*leaf_address)(int32_t id);
    int32_t (*leaf_size)(int32_t id);
    Sample* (*leaf_last_sample)(int32_t id);                     // the slot inside the leaf
    int32_t (*leaf_is_watched)(int32_t id);                      // atomic read
    int32_t (*leaf_watch_exchange)(int32_t id, int32_t on);      // atomic exchange; old value
    void (*watch_count_store)(int32_t count);                    // the table's watched count
    int32_t (*leaf_find)(const char* name);                      // exact name, -1 when absent
    int32_t (*leaf_from_image)(int32_t id);                      // 1 when the own firmware defines it
    // A peer's leaf: the leaf of that name gets the address, or a remote leaf is added.
    void (*leaf_remote_upsert)(const char* name, uint64_t address, uint32_t size);
    void (*leaf_add_remote)(const char* name, uint64_t address, uint32_t size);
    // The remote variable list (at most 256 entries).
    int32_t (*remote_var_find)(const char* name);                // index or -1
    int (*remote_var_address)(int32_t index, uint64_t* address); // 0, or -1 outside the list
    int (*remote_var_update)(int32_t index, uint64_t address, uint32_t size);
    int32_t (*remote_var_append)(const char* name, uint64_t address, uint32_t size);  // -1 when full
    // Firmware image and load command.
    const ElfImage* (*current_image)();
    void (*reload_elf)();
    // The variable picker dialog: 1 and the first chosen leaf id, or 0 when nothing was chosen.
    int32_t (*pick_dialog)(void* owner, int32_t* first_id);
    // Variable write, sample hand-off and acquisition control.
    int32_t (*variable_write)(int32_t id, const char* text, char* error, int32_t capacity);
    void (*samples_publish)(const Sample* samples, int32_t count);
    int32_t (*history_read)(Sample* out, int32_t max);
    int32_t (*acquisition_start)();
    void (*acquisition_stop)();
};

extern HostBackend g_host_backend;

