// fake_driver.h - a scripted driver module registered through fake loader operations, so the
// acquisition, write and probe code run against the real module registry.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "kestrelix_module.h"

// Simulated target memory and the script of the fake driver.
struct FakeTarget {
    std::mutex lock;
    uint64_t base = 0x20000000;
    std::vector<uint8_t> ram = std::vector<uint8_t>(0x10000);
    std::atomic<int32_t> connected{1};
    std::atomic<int32_t> short_reads{0};      // every read returns length - 1 while set
    std::atomic<int32_t> write_result{0};
    std::atomic<int32_t> readback_fails{0};    // reads after a write return -5 while set
    std::atomic<int32_t> read_delay_us{0};    // latency of every read
    std::atomic<long> reads_started{0};       // counted on entry, before the latency
    std::atomic<long> reads{0};               // counted once the latency has passed
    std::atomic<long> writes{0};
    std::vector<MemoryRequest> read_log;       // requests (addresses and lengths) when logging
    bool log_reads = false;
    // Flash programming: the codes (30, 31) and the last request seen, and the driver's answer.
    std::vector<int32_t> flash_codes;
    FlashRequest last_flash = {};
    std::atomic<int32_t> flash_result{0};
    // Network module side: the last network code and write.
    std::atomic<int32_t> net_result{0};
    std::vector<int32_t> net_codes;
    NetWrite last_net_write = {};
    char net_reason[64] = {};                  // a failed write's reason, given back through `out`
    NetKey last_net_key = {};

    uint32_t word(uint64_t address);
    void set_word(uint64_t address, uint32_t value);
};

FakeTarget* fake_target();

// Loads fake modules into the registry: a driver "FakeProbe" (when `driver`), and a network
// module (when `network`). Unloads whatever was loaded before.
void fake_modules_load(bool driver, bool network);
void fake_modules_unload();
