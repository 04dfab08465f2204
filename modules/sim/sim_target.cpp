// sim_target.cpp - the simulated probe and MCU: memory map, driver operations, latency and
// injected faults, and the firmware tick thread.
//
// Index
//   [SECTION] Creation
//   [SECTION] Memory map
//   [SECTION] Driver operations
//   [SECTION] Firmware tick
#include <cstdio>
#include <cstring>
#include <new>

#include "sim_internal.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] Creation
//-------------------------------------------------------------------------------------------------

SimTarget* sim_target_create(const SimConfig* config) {
    SimTarget* t = new (std::nothrow) SimTarget();
    if (!t) return nullptr;
    t->config = *config;
    t->flash = new (std::nothrow) uint8_t[config->flash_size];
    t->ram = new (std::nothrow) uint8_t[config->ram_size];
    t->vars = sim_firmware_create();
    if (!t->flash || !t->ram || !t->vars) {
        sim_target_destroy(t);
        return nullptr;
    }
    std::memset(t->flash, 0xFF, config->flash_size);  // erased flash reads as ones
    std::memset(t->ram, 0, config->ram_size);
    t->clock_khz = 4000;
    std::strcpy(t->core_name, "Cortex-M4");
    return t;
}

void sim_target_destroy(SimTarget* t) {
    if (!t) return;
    sim_target_stop_ticking(t);
    delete[] t->flash;
    delete[] t->ram;
    sim_firmware_destroy(t->vars);
    delete t;
}

const SimConfig* sim_target_config(const SimTarget* t) { return &t->config; }

//-------------------------------------------------------------------------------------------------
// [SECTION] Memory map
//-------------------------------------------------------------------------------------------------

namespace {

// The byte at a target address, or null when the address is not mapped.
uint8_t* map_byte(SimTarget* t, uint64_t address, bool* is_flash) {
    if (address >= SIM_FLASH_BASE && address - SIM_FLASH_BASE < t->config.flash_size) {
        *is_flash = true;
        return t->flash + (address - SIM_FLASH_BASE);
    }
    if (address >= SIM_RAM_BASE && address - SIM_RAM_BASE < t->config.ram_size) {
        *is_flash = false;
        return t->ram + (address - SIM_RAM_BASE);
    }
    return nullptr;
}

}  // namespace

int32_t sim_read_locked(SimTarget* t, uint64_t address, void* buffer, uint32_t length) {
    uint8_t* out = (uint8_t*)buffer;
    uint32_t done = 0;
    for (; done < length; done++) {
        bool is_flash = false;
        const uint8_t* b = map_byte(t, address + done, &is_flash);
        if (!b) break;  // a bus fault ends the transfer: the probe reports what it got
        out[done] = *b;
    }
    return (int32_t)done;
}

int32_t sim_write_locked(SimTarget* t, uint64_t address, const void* data, uint32_t length, bool allow_flash) {
    // Checked first so that a refused write changes nothing.
    for (uint32_t i = 0; i < length; i++) {
        bool is_flash = false;
        if (!map_byte(t, address + i, &is_flash) || (is_flash && !allow_flash)) return SIM_ERR_FAULT;
    }
    const uint8_t* in = (const uint8_t*)data;
    for (uint32_t i = 0; i < length; i++) {
        bool is_flash = false;
        uint8_t* b = map_byte(t, address + i, &is_flash);
        // Programming flash can only clear bits; erasing sets them again.
        *b = is_flash ? (uint8_t)(*b & in[i]) : in[i];
    }
    return 0;
}

int32_t sim_memory_read(SimTarget* t, uint64_t address, void* buffer, uint32_t length) {
    std::lock_guard<std::mutex> guard(t->lock);
    return sim_read_locked(t, address, buffer, length);
}

int32_t sim_memory_write(SimTarget* t, uint64_t address, const void* data, uint32_t length, bool allow_flash) {
    std::lock_guard<std::mutex> guard(t->lock);
    return sim_write_locked(t, address, data, length, allow_flash);
}

void sim_boot_locked(SimTarget* t) {
    for (int32_t i = 0; i < t->boot_count; i++) {
        const SimBootSegment& s = t->boot[i];
        uint8_t buffer[4096];
        for (uint32_t off = 0; off < s.copy_bytes; off += sizeof buffer) {
            uint32_t n = s.copy_bytes - off < sizeof buffer ? s.copy_bytes - off : (uint32_t)sizeof buffer;
            int32_t got = sim_read_locked(t, s.source + off, buffer, n);
            if (got > 0) sim_write_locked(t, s.destination + off, buffer, (uint32_t)got, false);
        }
        std::memset(buffer, 0, sizeof buffer);
        for (uint32_t off = 0; off < s.zero_bytes; off += sizeof buffer) {
            uint32_t n = s.zero_bytes - off < sizeof buffer ? s.zero_bytes - off : (uint32_t)sizeof buffer;
            sim_write_locked(t, s.destination + s.copy_bytes + off, buffer, n, false);
        }
    }
    t->firmware_time_s = 0;
    // The core runs when the vector table holds an initial stack pointer (flash not blank).
    uint32_t sp = 0xFFFFFFFFu;
    sim_read_locked(t, SIM_FLASH_BASE, &sp, 4);
    t->running = sp != 0xFFFFFFFFu;
}

bool sim_target_running(SimTarget* t) {
    std::lock_guard<std::mutex> guard(t->lock);
    return t->running;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Driver operations
//-------------------------------------------------------------------------------------------------

namespace {

// A USB probe costs a fixed turnaround per transaction plus the wire time of the bytes.
void transaction_delay(SimTarget* t, uint32_t bytes) {
    if (t->config.latency_us <= 0) return;
    int32_t khz = t->clock_khz > 0 ? t->clock_khz : 4000;
    int64_t us = t->config.latency_us + (int64_t)bytes * 8 * 1000 / khz;
    // Timer sleeps are millisecond-grained on Windows: sleep the bulk, yield through the rest.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    if (us > 2500) std::this_thread::sleep_for(std::chrono::microseconds(us - 2000));
    while (std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

// Connected and not dropped by the fault injection; lock held.
bool link_up(SimTarget* t) {
    if (!t->connected) return false;
    if (t->config.drop_after_s > 0 &&
        std::chrono::steady_clock::now() - t->connected_at >= std::chrono::seconds(t->config.drop_after_s))
        return false;
    return true;
}

void copy_text(char* out, size_t capacity, const char* text) {
    std::snprintf(out, capacity, "%s", text);
}

int32_t op_connect(SimTarget* t, const ConnectRequest* request) {
    if (!request) return SIM_ERR_ARGUMENT;
    if (t->config.probes <= 0 || request->probe_index < 0 || request->probe_index >= t->config.probes)
        return SIM_ERR_NO_PROBE;
    std::lock_guard<std::mutex> guard(t->lock);
    t->iface = request->iface == KX_IFACE_JTAG ? KX_IFACE_JTAG : KX_IFACE_SWD;
    t->clock_khz = request->clock_khz > 0 ? request->clock_khz : 4000;
    char core[128];
    std::memcpy(core, request->core_name, sizeof core);
    core[sizeof core - 1] = 0;
    copy_text(t->core_name, sizeof t->core_name, core[0] ? core : "Cortex-M4");
    t->connected = true;
    t->connected_at = std::chrono::steady_clock::now();
    t->read_counter = 0;
    return 0;
}

void op_scan(SimTarget* t, ScanRequest* request) {
    if (!request) return;
    request->count = t->config.probes;
    for (int32_t i = 0; i < t->config.probes && (uint32_t)i < request->capacity && request->probes; i++) {
        ProbeInfo& p = request->probes[i];
        std::memset(&p, 0, sizeof p);
        std::snprintf(p.serial, sizeof p.serial, "KXSIM%06d", 1001 + i);
        copy_text(p.product, sizeof p.product, "Kestrelix SimLink");
    }
}

int32_t op_read(SimTarget* t, MemoryRequest* request) {
    if (!request || !request->buffer || request->length == 0 || request->length > 4096) return 0;
    transaction_delay(t, request->length);
    std::lock_guard<std::mutex> guard(t->lock);
    if (!link_up(t)) return 0;
    t->read_counter++;
    if (t->config.fail_every > 0 && t->read_counter % (uint64_t)t->config.fail_every == 0) return 0;
    return sim_read_locked(t, request->address, request->buffer, request->length);
}

int32_t op_write(SimTarget* t, MemoryRequest* request) {
    if (!request || !request->buffer || request->length == 0) return SIM_ERR_ARGUMENT;
    transaction_delay(t, request->length);
    std::lock_guard<std::mutex> guard(t->lock);
    if (!link_up(t)) return SIM_ERR_NOT_CONNECTED;
    return sim_write_locked(t, request->address, request->buffer, request->length, false);
}

void op_info(SimTarget* t, ProbeDetails* d) {
    if (!d) return;
    std::lock_guard<std::mutex> guard(t->lock);
    std::memset(d, 0, sizeof *d);
    std::snprintf(d->description, sizeof d->description, "Kestrelix SimLink %s @ %d kHz",
                  t->iface == KX_IFACE_JTAG ? "JTAG" : "SWD", (int)t->clock_khz);
    copy_text(d->library_version, sizeof d->library_version, "sim 1.0");
    std::snprintf(d->target_name, sizeof d->target_name, "STM32F303RC (%.64s, simulated)", t->core_name);
    d->hardware_version = 1;
    d->firmware_version = 100;
}

int32_t op_speeds(SpeedTable* table) {
    if (!table) return SIM_ERR_ARGUMENT;
    // Fastest first: the host selects the first step.
    static const int32_t swd[] = {24000, 12000, 8000, 4000, 2000, 1000, 500, 100};
    static const int32_t jtag[] = {6000, 4000, 2000, 1000, 500, 100};
    std::memset(table, 0, sizeof *table);
    for (int32_t i = 0; i < 8; i++) table->swd_khz[i] = swd[i];
    for (int32_t i = 0; i < 6; i++) table->jtag_khz[i] = jtag[i];
    table->swd_count = 8;
    table->jtag_count = 6;
    return 0;
}

int32_t op_program(SimTarget* t, const FlashRequest* request) {
    if (!request) return SIM_ERR_ARGUMENT;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        if (!link_up(t)) return SIM_ERR_NOT_CONNECTED;
    }
    char path[1040];
    uint16_t wide[260];
    std::memcpy(wide, request->path, sizeof wide);
    wide[259] = 0;
    sim_utf16_to_utf8(wide, path, sizeof path);
    return sim_target_program_file(t, path, request->base_address, request->skip_erase != 0,
                                   request->verify != 0, request->reset_and_run != 0);
}

int32_t op_erase(SimTarget* t) {
    std::lock_guard<std::mutex> guard(t->lock);
    if (!link_up(t)) return SIM_ERR_NOT_CONNECTED;
    std::memset(t->flash, 0xFF, t->config.flash_size);
    t->boot_count = 0;
    t->running = false;  // nothing left to execute
    return 0;
}

}  // namespace

int32_t sim_target_command(SimTarget* t, int32_t code, void* in, void* out) {
    if (!t) return SIM_ERR_ARGUMENT;
    switch (code) {
        case KX_DRV_CONNECT: return op_connect(t, (const ConnectRequest*)in);
        case KX_DRV_DISCONNECT: {
            std::lock_guard<std::mutex> guard(t->lock);
            t->connected = false;
            return 0;
        }
        case KX_DRV_STATUS: {
            std::lock_guard<std::mutex> guard(t->lock);
            if (out) *(int32_t*)out = link_up(t) ? 1 : 0;
            return 0;
        }
        case KX_DRV_SCAN: op_scan(t, (ScanRequest*)in); return 0;
        case KX_DRV_READ: return op_read(t, (MemoryRequest*)in);
        case KX_DRV_WRITE: return op_write(t, (MemoryRequest*)in);
        case KX_DRV_INFO: op_info(t, (ProbeDetails*)out); return 0;
        case KX_DRV_SPEEDS: return op_speeds((SpeedTable*)out);
        case KX_DRV_PROGRAM: return op_program(t, (const FlashRequest*)in);
        case KX_DRV_ERASE: return op_erase(t);
        default: return SIM_ERR_ARGUMENT;
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Firmware tick
//-------------------------------------------------------------------------------------------------

void sim_target_set_resolver(SimTarget* t, const ModuleGlobalVar* (*find_global)(const char* name)) {
    std::lock_guard<std::mutex> guard(t->lock);
    sim_firmware_resolve(t->vars, find_global);
}

int32_t sim_target_resolved_count(SimTarget* t) {
    std::lock_guard<std::mutex> guard(t->lock);
    return sim_firmware_resolved(t->vars);
}

void sim_target_tick(SimTarget* t, double dt) {
    std::lock_guard<std::mutex> guard(t->lock);
    if (!t->running) return;
    // Long pauses of the host (a debugger, a suspended VM) are not replayed step by step.
    if (dt > 0.05) dt = 0.05;
    t->firmware_time_s += dt;
    sim_firmware_step(t, dt);
}

void sim_target_start_ticking(SimTarget* t) {
    if (t->ticking.exchange(true)) return;
    t->ticker = std::thread([t] {
        auto last = std::chrono::steady_clock::now();
        while (t->ticking.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(t->config.tick_ms));
            auto now = std::chrono::steady_clock::now();
            double dt = std::chrono::duration<double>(now - last).count();
            last = now;
            sim_target_tick(t, dt);
        }
    });
}

void sim_target_stop_ticking(SimTarget* t) {
    if (!t->ticking.exchange(false)) return;
    if (t->ticker.joinable()) t->ticker.join();
}
