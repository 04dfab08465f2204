// sim_target.h - the simulated target behind the "sim" driver module: a probe that is always
// plugged in, an MCU with flash at 0x08000000 and RAM at 0x20000000, the demo firmware's
// behaviour on a firmware tick, programming and erasing, latency and injected faults.
//
// Everything here is portable; sim_module.cpp only binds it to the module interface. All entry
// points are safe to call from several threads at once (one lock guards the target).
#pragma once
#include <cstddef>
#include <cstdint>

#include "kestrelix_module.h"

enum : uint32_t { SIM_FLASH_BASE = 0x08000000u, SIM_RAM_BASE = 0x20000000u };

// Error codes the simulated driver returns (passed through by the host unchanged).
enum : int32_t {
    SIM_ERR_NO_PROBE = -1,      // connect without a probe, or a probe index out of range
    SIM_ERR_NOT_CONNECTED = -2,
    SIM_ERR_FAULT = -3,         // write to flash or unmapped memory
    SIM_ERR_FILE = -4,          // image file missing or unreadable
    SIM_ERR_FORMAT = -5,        // image file malformed
    SIM_ERR_RANGE = -6,         // image data outside flash and RAM
    SIM_ERR_VERIFY = -7,        // read-back differs after programming
    SIM_ERR_ARGUMENT = -8,
};

// Settings from sim.ini and the environment.
struct SimConfig {
    uint32_t flash_size;      // bytes (flash_kb)
    uint32_t ram_size;        // bytes (ram_kb)
    int32_t latency_us;       // per transaction; 0 = none
    int32_t fail_every;       // every Nth read fails (short result); 0 = never
    int32_t drop_after_s;     // the connection drops this long after a connect; 0 = never
    int32_t probes;           // probes a scan reports
    int32_t tick_ms;          // firmware tick period
    char image[520];          // image pre-programmed at start ("" = none), UTF-8 path
};

// Defaults: 512 KB flash, 128 KB RAM, 300 us latency, no faults, one probe, 1 ms tick.
void sim_config_defaults(SimConfig* config);
// Applies "key=value" lines of an ini text ([sim] section or none; ';' and '#' comments).
void sim_config_parse_ini(SimConfig* config, const char* text);
// Applies KX_SIM_* environment variables through `get_env` (returns null when unset).
void sim_config_apply_env(SimConfig* config, const char* (*get_env)(const char* name));

// Where a firmware variable lives: address, bytes and, for a bit field, its bit position.
struct SimVarLoc {
    uint64_t address;
    uint32_t size;
    int32_t kind;       // KX_TYPE_*
    int32_t is_bitfield;
    uint8_t bit_offset;
    uint8_t bit_size;
};

// Resolves a dotted variable path ("g_motor.speed_pi.kp", "g_adc_raw[3]") with find_global and
// the type tree. False when any step is unknown.
bool sim_resolve_path(const ModuleGlobalVar* (*find_global)(const char* name), const char* path,
                      SimVarLoc* out);

struct SimTarget;

// Creates a target (memory cleared: flash erased to 0xFF, RAM zero). Null when memory is short.
SimTarget* sim_target_create(const SimConfig* config);
void sim_target_destroy(SimTarget* target);
const SimConfig* sim_target_config(const SimTarget* target);

// The driver operation entry (codes of kestrelix_module.h; 11 = firmware image changed).
int32_t sim_target_command(SimTarget* target, int32_t code, void* in, void* out);

// Variable resolution for the firmware behaviour; called on the host's main thread (connect and
// code 11), never from the tick.
void sim_target_set_resolver(SimTarget* target, const ModuleGlobalVar* (*find_global)(const char* name));
// Number of demo variables currently resolved (0 = the behaviour leaves memory alone).
int32_t sim_target_resolved_count(SimTarget* target);

// Starts / stops the firmware tick thread.
void sim_target_start_ticking(SimTarget* target);
void sim_target_stop_ticking(SimTarget* target);
// Advances the firmware by dt seconds at once (tests, and the tick thread).
void sim_target_tick(SimTarget* target, double dt_seconds);
// True while the simulated core runs the programmed image.
bool sim_target_running(SimTarget* target);

// Direct memory access without latency or faults (tests, image loading). Reads return the
// bytes available before the first unmapped byte; writes return 0 or SIM_ERR_FAULT.
int32_t sim_memory_read(SimTarget* target, uint64_t address, void* buffer, uint32_t length);
int32_t sim_memory_write(SimTarget* target, uint64_t address, const void* data, uint32_t length,
                         bool allow_flash);

// Programs an image file (.elf, .hex, anything else raw at base) into flash; 0 or SIM_ERR_*.
int32_t sim_target_program_file(SimTarget* target, const char* utf8_path, uint32_t base, bool skip_erase,
                                bool verify, bool reset_and_run);

// Converts UTF-16 (zero-terminated) to UTF-8, cut to the capacity.
void sim_utf16_to_utf8(const uint16_t* text, char* out, size_t capacity);
