// sim_internal.h - the simulated target's record, shared by its implementation files.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "sim_target.h"

enum : int32_t { SIM_BOOT_SEGMENTS_MAX = 16 };

// One start-up action the reset handler performs: copy initialised data from flash to RAM, or
// clear a zero-initialised area (from the PT_LOAD segments of the last programmed ELF).
struct SimBootSegment {
    uint64_t source;       // flash address of the initial bytes (copy only)
    uint64_t destination;
    uint32_t copy_bytes;
    uint32_t zero_bytes;   // cleared after the copied bytes
};

// Locations of the demo firmware's variables, resolved by name (0 address = not found).
struct SimFirmwareVars;

// The simulated probe and MCU (one per module instance).
struct SimTarget {
    SimConfig config;
    std::mutex lock;  // guards everything below
    uint8_t* flash;
    uint8_t* ram;
    // Probe connection.
    bool connected;
    int32_t clock_khz;
    int32_t iface;
    char core_name[128];
    std::chrono::steady_clock::time_point connected_at;
    uint64_t read_counter;
    // The simulated core.
    bool running;
    SimBootSegment boot[SIM_BOOT_SEGMENTS_MAX];
    int32_t boot_count;
    double firmware_time_s;
    SimFirmwareVars* vars;
    // Tick thread.
    std::thread ticker;
    std::atomic<bool> ticking;
};

// Firmware behaviour (sim_firmware.cpp); the caller holds the lock.
SimFirmwareVars* sim_firmware_create();
void sim_firmware_destroy(SimFirmwareVars* vars);
int32_t sim_firmware_resolve(SimFirmwareVars* vars, const ModuleGlobalVar* (*find_global)(const char* name));
int32_t sim_firmware_resolved(const SimFirmwareVars* vars);
void sim_firmware_step(SimTarget* target, double dt);

// Memory access with the lock held.
int32_t sim_read_locked(SimTarget* t, uint64_t address, void* buffer, uint32_t length);
int32_t sim_write_locked(SimTarget* t, uint64_t address, const void* data, uint32_t length, bool allow_flash);
// Runs the reset handler's data copy and clear, then lets the core run; lock held.
void sim_boot_locked(SimTarget* t);
