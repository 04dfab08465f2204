// loader_sim.cpp - the simulated device behind loader_sim_bus (see loader_sim.h).
//
// Index
//   [SECTION] Device set-up
//   [SECTION] Controller operations
//   [SECTION] Bus
#include "loader_sim.h"

#include <cstdio>

namespace {

SimDevice* g_device = nullptr;

constexpr uint32_t KEYR = 0x08, OPTKEYR = 0x0C, SR = 0x10, CR = 0x14, ECCR = 0x18;
constexpr uint32_t C2SR = 0x454, C2CR = 0x458;
constexpr uint32_t IWDG_KR = 0x40003000u, IWDG_PR = 0x40003004u, IWDG_RLR = 0x40003008u;
constexpr uint32_t WWDG_CR = 0x40002C00u, WWDG_CFR = 0x40002C04u;
constexpr uint32_t CPUID = 0xE000ED00u, FLASH_SIZE = 0x1FFF75E0u;
constexpr int BUSY_READS = 3;

void fault(SimDevice& d, const char* what, uint32_t address) {
    char text[96];
    std::snprintf(text, sizeof text, "%s at 0x%08X", what, address);
    d.faults.push_back(text);
}

bool in_flash(const SimDevice& d, uint32_t address, uint32_t size) {
    return address >= SIM_FLASH_BASE && address - SIM_FLASH_BASE + size <= d.flash.size();
}

bool in_ram(uint32_t address, uint32_t size) {
    return address >= SIM_RAM_BASE && address - SIM_RAM_BASE + size <= SIM_RAM_SIZE;
}

uint32_t load32(const std::vector<uint8_t>& bytes, uint32_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 | uint32_t(bytes[offset + 3]) << 24;
}

// The second core drives the flash when the dual-core part reports CPUID 0.
bool second_core_active(const SimDevice& d) {
    return d.family == SimFamily::Dual495 && d.cpuid == 0;
}

uint32_t& status_of(SimDevice& d, int core) { return core ? d.c2sr : d.sr; }

}  // namespace

// [SECTION] Device set-up -------------------------------------------------------------------------

uint32_t SimDevice::flash_word(uint32_t address) const { return load32(flash, address - SIM_FLASH_BASE); }

void SimDevice::fill_flash(uint32_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); i++) flash[address - SIM_FLASH_BASE + i] = bytes[i];
}

void SimDevice::put_ram(uint32_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); i++) ram[address - SIM_RAM_BASE + i] = bytes[i];
}

int SimDevice::find_write(uint32_t address, uint32_t value, int from) const {
    for (size_t i = size_t(from); i < writes.size(); i++)
        if (writes[i].address == address && writes[i].value == value) return int(i);
    return -1;
}

void sim_reset(SimDevice& d, SimFamily family) {
    d = SimDevice{};
    d.family = family;
    d.cr = SIM_CR_LOCK | SIM_CR_OPTLOCK;
    d.ram.assign(SIM_RAM_SIZE, 0);
    if (family == SimFamily::Dual495) {
        d.reg_base = 0x58004000u;
        d.page_size = 0x1000;
        d.flash.assign(0x100000, 0xFF);
        d.flash_size_word = 0xA5A50000u | 1024u;
        d.options[d.reg_base + 0x20] = 0x3FFFF0AAu;  // software watchdog, secure area off
        for (uint32_t w = 1; w < 8; w++) d.options[d.reg_base + 0x20 + 4 * w] = 0xA0A0A000u + w;
        d.options[d.reg_base + 0x80] = 0x00000080u;  // secure area from page 0x80
        d.options[d.reg_base + 0x84] = 0xB0B0B009u;
    } else {
        d.reg_base = 0x40022000u;
        d.page_size = 0x800;
        d.flash.assign(0x8000, 0xFF);
        d.options[d.reg_base + 0x20] = 0xFFEFF8AAu;  // software watchdog
        for (uint32_t w = 1; w < 25; w++) d.options[d.reg_base + 0x20 + 4 * w] = 0xC0C0C000u + w;
    }
    g_device = &d;
}

// [SECTION] Controller operations -----------------------------------------------------------------

namespace {

// Starts a program or erase: busy for a few status reads, then end of operation or the injected
// errors. Returns false when the operation must not take effect.
bool start_operation(SimDevice& d, int core, uint32_t address) {
    if (d.busy_reads > 0) {
        fault(d, "operation started while busy", address);
        status_of(d, core) |= SIM_SR_PGSERR;
        return false;
    }
    d.busy_reads = BUSY_READS;
    d.busy_core = core;
    bool ok = d.fail_next == 0;
    return ok;
}

void finish_operation(SimDevice& d) {
    uint32_t& status = status_of(d, d.busy_core);
    status |= d.fail_next ? d.fail_next : SIM_SR_EOP;
    d.fail_next = 0;
}

uint32_t read_status(SimDevice& d, int core) {
    uint32_t value = status_of(d, core);
    if (d.busy_reads > 0 && d.busy_core == core) {
        value |= SIM_SR_BSY;
        if (--d.busy_reads == 0) finish_operation(d);
    }
    return value;
}

void program_flash(SimDevice& d, uint32_t address, uint32_t value) {
    int core = second_core_active(d) ? 1 : 0;
    uint32_t& status = status_of(d, core);
    uint32_t control = core ? d.c2cr : d.cr;
    if (d.busy_reads > 0) {
        fault(d, "flash written while busy", address);
        status |= SIM_SR_PGSERR;
        return;
    }
    if (!(control & SIM_CR_PG)) {
        status |= SIM_SR_PGSERR;
        return;
    }
    if (!d.has_pending) {
        if (address % 8 != 0) {
            status |= SIM_SR_PGAERR;
            return;
        }
        d.has_pending = true;
        d.pending = {address, value};
        return;
    }
    d.has_pending = false;
    if (address != d.pending.address + 4) {
        status |= SIM_SR_PGAERR;
        return;
    }
    uint32_t offset = d.pending.address - SIM_FLASH_BASE;
    for (uint32_t i = 0; i < 8; i++) {
        if (d.flash[offset + i] != 0xFF) {
            status |= SIM_SR_PROGERR;
            return;
        }
    }
    if (!start_operation(d, core, address)) return;
    SimProgram unit{d.pending.address, {}};
    for (uint32_t i = 0; i < 8; i++) {
        uint32_t word = i < 4 ? d.pending.value : value;
        unit.bytes[i] = uint8_t(word >> (8 * (i % 4)));
        d.flash[offset + i] = unit.bytes[i];
    }
    d.programs.push_back(unit);
}

void erase(SimDevice& d, int core, uint32_t control) {
    if (control & SIM_CR_PG) {
        status_of(d, core) |= SIM_SR_PGSERR;
        return;
    }
    if (control & SIM_CR_PER) {
        uint32_t page = (control >> 3) & 0xFF;
        if ((control & SIM_CR_BKER) || (page + 1) * d.page_size > d.flash.size()) {
            fault(d, "erase of a page the device does not have", page);
            status_of(d, core) |= SIM_SR_OPERR;
            return;
        }
        if (!start_operation(d, core, page)) return;
        for (uint32_t i = 0; i < d.page_size; i++) d.flash[page * d.page_size + i] = 0xFF;
        d.erased_pages.push_back(page);
    } else if (control & (SIM_CR_MER1 | SIM_CR_MER2)) {
        if (!start_operation(d, core, control)) return;
        if (control & SIM_CR_MER1) {
            for (auto& byte : d.flash) byte = 0xFF;
            d.mass_erases++;
        }
    } else {
        status_of(d, core) |= SIM_SR_PGSERR;
    }
}

void write_control(SimDevice& d, int core, uint32_t value) {
    if (core != (second_core_active(d) ? 1 : 0) && (value & (SIM_CR_PG | SIM_CR_PER | SIM_CR_STRT)))
        fault(d, "control register of the other core used", value);
    uint32_t& control = core ? d.c2cr : d.cr;
    if (d.cr & SIM_CR_LOCK) return;  // one lock guards both cores' control registers
    uint32_t triggers = SIM_CR_STRT | SIM_CR_OPTSTRT | SIM_CR_OBL_LAUNCH;
    uint32_t sticky = core ? 0 : control & (SIM_CR_LOCK | SIM_CR_OPTLOCK);
    control = (value & ~triggers) | sticky;
    const char* who = core ? "c2" : "main";
    if (value & SIM_CR_STRT) erase(d, core, control);
    if (value & SIM_CR_OPTSTRT) {
        if (d.cr & SIM_CR_OPTLOCK) fault(d, "option start while option bytes locked", value);
        d.events.push_back(std::string("optstrt:") + who);
        start_operation(d, core, value);
    }
    if (value & SIM_CR_OBL_LAUNCH) {
        if (d.busy_reads > 0) fault(d, "option reload while busy", value);
        d.events.push_back(std::string("obl:") + who);
    }
}

void write_key(SimDevice& d, int& step, uint32_t value, uint32_t key1, uint32_t key2, uint32_t unlocks) {
    if (step == 0 && value == key1) {
        step = 1;
        return;
    }
    if (step == 1 && value == key2 && !(d.cr & SIM_CR_LOCK && unlocks == SIM_CR_OPTLOCK)) {
        d.cr &= ~unlocks;
        step = 0;
        return;
    }
    step = 0;
    fault(d, "wrong unlock sequence", value);
}

uint32_t read32(SimDevice& d, uint32_t address) {
    if (in_flash(d, address, 4)) return d.flash_word(address);
    if (in_ram(address, 4)) return load32(d.ram, address - SIM_RAM_BASE);
    auto option = d.options.find(address);
    if (option != d.options.end()) return option->second;
    bool dual = d.family == SimFamily::Dual495;
    uint32_t offset = address - d.reg_base;
    if (offset == 0) return d.acr;
    if (offset == SR) return read_status(d, 0);
    if (offset == CR) return d.cr;
    if (!dual && offset == ECCR) return d.eccr;
    if (dual && offset == C2SR) return read_status(d, 1);
    if (dual && offset == C2CR) return d.c2cr;
    if (dual && address == CPUID) return d.cpuid;
    if (dual && address == FLASH_SIZE) return d.flash_size_word;
    fault(d, "read of an unexpected address", address);
    return 0;
}

void write32(SimDevice& d, uint32_t address, uint32_t value) {
    d.writes.push_back({address, value});
    if (in_flash(d, address, 4)) return program_flash(d, address, value);
    auto option = d.options.find(address);
    if (option != d.options.end()) {
        if (d.cr & SIM_CR_OPTLOCK) return fault(d, "option register written while locked", address);
        if (d.busy_reads > 0) fault(d, "option register written while busy", address);
        option->second = value;
        return;
    }
    bool dual = d.family == SimFamily::Dual495;
    uint32_t offset = address - d.reg_base;
    if (offset == 0) d.acr = value;
    else if (offset == KEYR) write_key(d, d.key_step, value, 0x45670123u, 0xCDEF89ABu, SIM_CR_LOCK);
    else if (offset == OPTKEYR) write_key(d, d.optkey_step, value, 0x08192A3Bu, 0x4C5D6E7Fu, SIM_CR_OPTLOCK);
    else if (offset == SR) d.sr &= ~(value & 0xFFFFu);
    else if (offset == CR) write_control(d, 0, value);
    else if (!dual && offset == ECCR) d.eccr = value;
    else if (dual && offset == C2SR) d.c2sr &= ~(value & 0xFFFFu);
    else if (dual && offset == C2CR) write_control(d, 1, value);
    else if (address == IWDG_KR) d.watchdog_refreshes += value == 0xAAAAu;
    else if (address == IWDG_PR || address == IWDG_RLR || address == WWDG_CR || address == WWDG_CFR) {
    } else fault(d, "write to an unexpected address", address);
}

}  // namespace

// [SECTION] Bus -----------------------------------------------------------------------------------

extern "C" uint32_t loader_sim_bus(uint32_t op, uint32_t address, uint32_t value) {
    SimDevice& d = *g_device;
    switch (op) {
    case 0: return read32(d, address);
    case 1: write32(d, address, value); return value;
    default:
        if (in_flash(d, address, 1)) return d.flash[address - SIM_FLASH_BASE];
        if (in_ram(address, 1)) return d.ram[address - SIM_RAM_BASE];
        fault(d, "byte read of an unexpected address", address);
        return 0;
    }
}

extern "C" void loader_sim_irq(uint32_t enabled) { g_device->irq_enabled = enabled != 0; }
