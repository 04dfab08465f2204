// host_backend_core.cpp - connects the host services to the leaf table, the firmware load
// command, the variable write, the sample hand-off and acquisition control of this program.
#include "acquisition/acquisition.h"
#include "acquisition/variable_write.h"
#include "modules/host_backend.h"
#include "modules/host_backend_core.h"
#include "vartable/leaf_load.h"
#include "vartable/leaf_table.h"

namespace {

const char* name_of(int32_t id) {
    const VarLeaf* leaf = leaf_at(id);
    return leaf ? leaf->name : nullptr;
}
uint64_t address_of(int32_t id) {
    const VarLeaf* leaf = leaf_at(id);
    return leaf ? leaf->address : 0;
}
int32_t size_of(int32_t id) {
    const VarLeaf* leaf = leaf_at(id);
    return leaf ? (int32_t)leaf->size : 0;
}
Sample* last_sample_of(int32_t id) {
    VarLeaf* leaf = leaf_at(id);
    return leaf ? &leaf->last_sample : nullptr;
}
int32_t watched(int32_t id) { return leaf_is_watched(leaf_at(id)); }
int32_t from_image(int32_t id) {
    const VarLeaf* leaf = leaf_at(id);
    return leaf && !leaf->remote ? 1 : 0;
}

int32_t watch_exchange(int32_t id, int32_t on) {
    int32_t old = leaf_watch_exchange(id, on);
    return old < 0 ? 0 : old;
}

int remote_address(int32_t index, uint64_t* address) {
    RemoteVar entry;
    if (remote_var_at(index, &entry) != 0) return -1;
    *address = entry.address;
    return 0;
}

const ElfImage* image() { return current_elf_image(); }

int32_t write_value(int32_t id, const char* text, char* error, int32_t capacity) {
    return variable_write(id, text, error, capacity > 0 ? (size_t)capacity : 0);
}

int32_t start_acquisition() { return acquisition_request_start(); }

}  // namespace

void host_backend_install_core() {
    HostBackend& b = g_host_backend;
    b.leaf_count = leaf_count;
    b.leaf_name = name_of;
    b.leaf_address = address_of;
    b.leaf_size = size_of;
    b.leaf_last_sample = last_sample_of;
    b.leaf_is_watched = watched;
    b.leaf_watch_exchange = watch_exchange;
    b.watch_count_store = leaf_watched_count_store;
    b.leaf_find = leaf_find;
    b.leaf_from_image = from_image;
    b.leaf_remote_upsert = leaf_remote_upsert;
    b.leaf_add_remote = leaf_add_remote;
    b.remote_var_find = remote_var_find;
    b.remote_var_address = remote_address;
    b.remote_var_update = remote_var_update;
    b.remote_var_append = remote_var_append;
    b.current_image = image;
    b.reload_elf = elf_reload_current;
    b.variable_write = write_value;
    b.samples_publish = samples_publish;
    b.history_read = history_read;
    b.acquisition_start = start_acquisition;
    b.acquisition_stop = acquisition_request_stop;
    // pick_dialog stays empty until the variable picker dialog exists.
}
