// fake_driver.cpp - the scripted fake driver and network module.
#include "fake_driver.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <string>

#include "core/text.h"
#include "modules/modules.h"

namespace {

FakeTarget* g_target;

int32_t fake_driver_command(void*, int32_t code, void* in, void* out) {
    FakeTarget* t = g_target;
    switch (code) {
        case KX_DRV_STATUS:
            if (out) *(int32_t*)out = t->connected.load();
            return 0;
        case KX_DRV_READ: {
            MemoryRequest* r = (MemoryRequest*)in;
            t->reads_started++;
            if (t->read_delay_us) std::this_thread::sleep_for(std::chrono::microseconds(t->read_delay_us.load()));
            std::lock_guard<std::mutex> hold(t->lock);
            t->reads++;
            if (t->log_reads) t->read_log.push_back(*r);
            if (t->readback_fails && t->writes > 0) return -5;
            if (r->address < t->base || r->address + r->length > t->base + t->ram.size()) return 0;
            memcpy(r->buffer, &t->ram[r->address - t->base], r->length);
            return t->short_reads ? (int32_t)r->length - 1 : (int32_t)r->length;
        }
        case KX_DRV_WRITE: {
            MemoryRequest* r = (MemoryRequest*)in;
            std::lock_guard<std::mutex> hold(t->lock);
            if (t->write_result) return t->write_result;
            if (r->address < t->base || r->address + r->length > t->base + t->ram.size()) return 3;
            memcpy(&t->ram[r->address - t->base], r->buffer, r->length);
            t->writes++;
            return 0;
        }
        case KX_DRV_PROGRAM:
        case KX_DRV_ERASE: {
            std::lock_guard<std::mutex> hold(t->lock);
            t->flash_codes.push_back(code);
            if (in) t->last_flash = *(const FlashRequest*)in;
            return t->flash_result;
        }
        default:
            return 0;
    }
}

int32_t fake_network_command(void*, int32_t code, void* in, void* out) {
    FakeTarget* t = g_target;
    std::lock_guard<std::mutex> hold(t->lock);
    t->net_codes.push_back(code);
    if (code == KX_NET_WRITE && in) t->last_net_write = *(NetWrite*)in;
    if (code == KX_NET_WRITE && out && t->net_result != 0) std::memcpy(out, t->net_reason, sizeof t->net_reason);
    if (code == KX_NET_SET_KEY && in) t->last_net_key = *(NetKey*)in;
    return t->net_result;
}

ModuleDescriptor g_driver_desc;
ModuleDescriptor g_network_desc;
const ModuleDescriptor* get_driver() { return &g_driver_desc; }
const ModuleDescriptor* get_network() { return &g_network_desc; }

// Fake loader: a directory "fake" with the files the flags ask for.
std::vector<std::string> g_files;
size_t g_enum_pos;

bool op_path_exists(const char*) { return true; }
void* op_enum_open(const char*) { g_enum_pos = 0; return &g_enum_pos; }
bool op_enum_next(void*, char* name, size_t capacity, bool* is_directory) {
    if (g_enum_pos >= g_files.size()) return false;
    text_copy(name, capacity, g_files[g_enum_pos++].c_str());
    *is_directory = false;
    return true;
}
void op_enum_close(void*) {}
void* op_library_load(const char* path, unsigned long*) {
    std::string p(path);
    if (p.find("fakedriver") != std::string::npos) return (void*)&g_driver_desc;
    if (p.find("network") != std::string::npos) return (void*)&g_network_desc;
    return nullptr;
}
void* op_library_symbol(void* library, const char*) {
    return library == &g_driver_desc ? (void*)get_driver : (void*)get_network;
}
void op_library_free(void*) {}

const ModuleLoaderOps kOps = {op_path_exists, op_enum_open, op_enum_next, op_enum_close,
                              op_library_load, op_library_symbol, op_library_free};

}  // namespace

uint32_t FakeTarget::word(uint64_t address) {
    std::lock_guard<std::mutex> hold(lock);
    uint32_t v;
    memcpy(&v, &ram[address - base], 4);
    return v;
}

void FakeTarget::set_word(uint64_t address, uint32_t value) {
    std::lock_guard<std::mutex> hold(lock);
    memcpy(&ram[address - base], &value, 4);
}

FakeTarget* fake_target() { return g_target; }

void fake_modules_load(bool driver, bool network) {
    fake_modules_unload();
    static FakeTarget* target = nullptr;
    delete target;
    target = new FakeTarget;
    g_target = target;
    memset(&g_driver_desc, 0, sizeof g_driver_desc);
    g_driver_desc.api_version = KX_MODULE_API_VERSION;
    g_driver_desc.flags = KX_MODULE_DRIVER;
    text_copy(g_driver_desc.name, sizeof g_driver_desc.name, "FakeProbe");
    g_driver_desc.command = fake_driver_command;
    memset(&g_network_desc, 0, sizeof g_network_desc);
    g_network_desc.api_version = KX_MODULE_API_VERSION;
    g_network_desc.flags = KX_MODULE_NETWORK;
    text_copy(g_network_desc.name, sizeof g_network_desc.name, "network");
    g_network_desc.command = fake_network_command;
    g_files.clear();
    if (driver) g_files.push_back("fakedriver.dll");
    if (network) g_files.push_back("network.dll");
    modules_set_loader(&kOps);
    modules_load();
    if (driver) select_driver(0);
}

void fake_modules_unload() {
    modules_unload();
    modules_set_loader(nullptr);
}
