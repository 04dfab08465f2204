// loader_sim.h - a simulated STM32 device for the flash-loader host tests: flash array, flash
// controller (both cores of the dual-core part), watchdogs, RAM and system memory. The loader C
// sources reach it through loader_sim_bus, the host side of their one register-access macro.
//
// The controller behaves like the hardware where the loaders depend on it: lock keys, write-one-to-
// clear flags, a busy phase after every program or erase start, end-of-operation and error flags,
// programming only onto erased double words, and sequence errors for programming without PG.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class SimFamily { Dual495, Single453 };

constexpr uint32_t SIM_FLASH_BASE = 0x08000000u;
constexpr uint32_t SIM_RAM_BASE = 0x20010000u;
constexpr uint32_t SIM_RAM_SIZE = 0x10000u;

// Status and control bits shared by both controllers.
constexpr uint32_t SIM_SR_EOP = 1u << 0;
constexpr uint32_t SIM_SR_OPERR = 1u << 1;
constexpr uint32_t SIM_SR_PROGERR = 1u << 3;
constexpr uint32_t SIM_SR_WRPERR = 1u << 4;
constexpr uint32_t SIM_SR_PGAERR = 1u << 5;
constexpr uint32_t SIM_SR_PGSERR = 1u << 7;
constexpr uint32_t SIM_SR_RDERR = 1u << 14;
constexpr uint32_t SIM_SR_BSY = 1u << 16;
constexpr uint32_t SIM_CR_PG = 1u << 0;
constexpr uint32_t SIM_CR_PER = 1u << 1;
constexpr uint32_t SIM_CR_MER1 = 1u << 2;
constexpr uint32_t SIM_CR_BKER = 1u << 13;
constexpr uint32_t SIM_CR_MER2 = 1u << 15;
constexpr uint32_t SIM_CR_STRT = 1u << 16;
constexpr uint32_t SIM_CR_OPTSTRT = 1u << 17;
constexpr uint32_t SIM_CR_OBL_LAUNCH = 1u << 27;
constexpr uint32_t SIM_CR_OPTLOCK = 1u << 30;
constexpr uint32_t SIM_CR_LOCK = 1u << 31;
constexpr uint32_t SIM_ACR_EMPTY = 1u << 16;

// One double word the controller programmed.
struct SimProgram {
    uint32_t address;
    uint8_t bytes[8];
};

// One bus write, in order, for sequence checks.
struct SimWrite {
    uint32_t address;
    uint32_t value;
};

// The whole simulated device; tests read and set its fields directly.
struct SimDevice {
    SimFamily family = SimFamily::Single453;
    uint32_t reg_base = 0;
    uint32_t page_size = 0;
    std::vector<uint8_t> flash;
    std::vector<uint8_t> ram;
    uint32_t acr = 0, sr = 0, cr = 0, c2sr = 0, c2cr = 0, eccr = 0;
    std::map<uint32_t, uint32_t> options;  // option register image by register address
    uint32_t cpuid = 0x410FC241u;           // first core; 0 on the second core
    uint32_t flash_size_word = 0;           // word at 0x1FFF75E0 (size in KB in the low half)

    // Controller state.
    int busy_reads = 0;         // status reads that still show busy
    int busy_core = 0;          // 1: the operation runs for the second core
    uint32_t fail_next = 0;     // error flags the next program or erase start ends with
    bool has_pending = false;   // first word of a double word written
    SimWrite pending{};
    int key_step = 0, optkey_step = 0;
    bool irq_enabled = true;

    // What happened.
    std::vector<SimProgram> programs;
    std::vector<uint32_t> erased_pages;  // page numbers
    int mass_erases = 0;
    int watchdog_refreshes = 0;
    std::vector<std::string> events;     // "optstrt:main", "obl:c2", ...
    std::vector<SimWrite> writes;
    std::vector<std::string> faults;     // accesses the hardware would not accept

    uint32_t flash_word(uint32_t address) const;
    void fill_flash(uint32_t address, const std::vector<uint8_t>& bytes);
    void put_ram(uint32_t address, const std::vector<uint8_t>& bytes);
    // Index of the first bus write to `address` with `value` at or after `from`, or -1.
    int find_write(uint32_t address, uint32_t value, int from = 0) const;
};

// A fresh device of the family: erased flash, locked controller, option registers with the software
// watchdog selected and no secure area. It becomes the device the loader sources talk to.
void sim_reset(SimDevice& device, SimFamily family);
