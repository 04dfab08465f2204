// Simulated target: settings, memory map, driver operations, faults and image programming.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../../../tests/data/scratch_dir.h"
#include "sim_target.h"

namespace {

SimConfig quick_config() {
    SimConfig c;
    sim_config_defaults(&c);
    c.latency_us = 0;
    return c;
}

// A target connected over SWD to probe 0.
SimTarget* connected_target(const SimConfig& c) {
    SimTarget* t = sim_target_create(&c);
    ConnectRequest r = {};
    r.probe_index = 0;
    EXPECT_EQ(sim_target_command(t, KX_DRV_CONNECT, &r, nullptr), 0);
    return t;
}

int32_t read_mem(SimTarget* t, uint64_t address, void* buffer, uint32_t length) {
    MemoryRequest r = {address, length, 0, buffer};
    return sim_target_command(t, KX_DRV_READ, &r, nullptr);
}

int32_t write_mem(SimTarget* t, uint64_t address, const void* data, uint32_t length) {
    MemoryRequest r = {address, length, 0, const_cast<void*>(data)};
    return sim_target_command(t, KX_DRV_WRITE, &r, nullptr);
}

// Files live in this process's own scratch folder, removed when the tests end.
std::string temp_file(const char* name, const void* data, size_t size) {
    static ScratchFolder scratch("kx_sim");
    std::string path = (scratch.path / name).string();
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    return path;
}

}  // namespace

TEST(SimConfig, IniAndEnvironmentOverrideDefaults) {
    SimConfig c;
    sim_config_defaults(&c);
    EXPECT_EQ(c.flash_size, 512u * 1024);
    EXPECT_EQ(c.ram_size, 128u * 1024);
    EXPECT_GT(c.latency_us, 0);
    EXPECT_EQ(c.probes, 1);
    sim_config_parse_ini(&c, "\xEF\xBB\xBF; comment\n[sim]\r\nflash_kb = 256\r\nram_kb=40\nlatency_us=0\n"
                             "fail_every=7\nbogus=1\nprobes=abc\n[other]\nprobes=5\n");
    EXPECT_EQ(c.flash_size, 256u * 1024);
    EXPECT_EQ(c.ram_size, 40u * 1024);
    EXPECT_EQ(c.latency_us, 0);
    EXPECT_EQ(c.fail_every, 7);
    EXPECT_EQ(c.probes, 1);  // malformed value and foreign section ignored
    sim_config_apply_env(&c, [](const char* name) -> const char* {
        if (std::strcmp(name, "KX_SIM_DROP_AFTER_S") == 0) return "3";
        if (std::strcmp(name, "KX_SIM_PROBES") == 0) return " 0 ";
        return nullptr;
    });
    EXPECT_EQ(c.drop_after_s, 3);
    EXPECT_EQ(c.probes, 0);
}

TEST(SimMemory, FlashAndRamMapUnmappedReadsAreShortFlashWritesFail) {
    SimConfig c = quick_config();
    c.ram_size = 1024;
    SimTarget* t = connected_target(c);
    uint8_t buf[16];
    // Erased flash reads as 0xFF, RAM as zero.
    ASSERT_EQ(read_mem(t, SIM_FLASH_BASE, buf, 4), 4);
    EXPECT_EQ(buf[0], 0xFF);
    uint32_t value = 0x12345678;
    EXPECT_EQ(write_mem(t, SIM_RAM_BASE + 8, &value, 4), 0);
    uint32_t back = 0;
    EXPECT_EQ(read_mem(t, SIM_RAM_BASE + 8, &back, 4), 4);
    EXPECT_EQ(back, value);
    // Unmapped: a short result, like a probe reporting a fault.
    EXPECT_EQ(read_mem(t, 0x30000000, buf, 4), 0);
    EXPECT_EQ(read_mem(t, SIM_RAM_BASE + 1020, buf, 8), 4);
    // Writes to flash and across the end of RAM are refused and change nothing.
    EXPECT_NE(write_mem(t, SIM_FLASH_BASE, &value, 4), 0);
    ASSERT_EQ(read_mem(t, SIM_FLASH_BASE, buf, 4), 4);
    EXPECT_EQ(buf[0], 0xFF);
    uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_NE(write_mem(t, SIM_RAM_BASE + 1020, eight, 8), 0);
    EXPECT_EQ(read_mem(t, SIM_RAM_BASE + 1020, buf, 4), 4);
    EXPECT_EQ(buf[0], 0);
    sim_target_destroy(t);
}

TEST(SimDriver, ScanSpeedsConnectStatusInfo) {
    SimConfig c = quick_config();
    SimTarget* t = sim_target_create(&c);
    ProbeInfo probes[16] = {};
    ScanRequest scan = {probes, 16, 0};
    sim_target_command(t, KX_DRV_SCAN, &scan, nullptr);
    EXPECT_EQ(scan.count, 1);
    EXPECT_STREQ(probes[0].product, "Kestrelix SimLink");
    EXPECT_NE(probes[0].serial[0], 0);

    SpeedTable speeds;
    ASSERT_EQ(sim_target_command(t, KX_DRV_SPEEDS, nullptr, &speeds), 0);
    EXPECT_GE(speeds.swd_count, 1);
    EXPECT_LE(speeds.swd_count, 16);
    EXPECT_GE(speeds.jtag_count, 1);

    int32_t status = 7;
    sim_target_command(t, KX_DRV_STATUS, nullptr, &status);
    EXPECT_EQ(status, 0);
    uint8_t buf[4];
    EXPECT_EQ(read_mem(t, SIM_RAM_BASE, buf, 4), 0);  // not connected

    ConnectRequest bad = {};
    bad.probe_index = 1;
    EXPECT_NE(sim_target_command(t, KX_DRV_CONNECT, &bad, nullptr), 0);
    ConnectRequest jtag = {};
    jtag.iface = KX_IFACE_JTAG;
    jtag.clock_khz = 12000;
    std::strcpy(jtag.core_name, "Cortex-M3");
    ASSERT_EQ(sim_target_command(t, KX_DRV_CONNECT, &jtag, nullptr), 0);
    sim_target_command(t, KX_DRV_STATUS, nullptr, &status);
    EXPECT_EQ(status, 1);
    ProbeDetails d;
    sim_target_command(t, KX_DRV_INFO, nullptr, &d);
    EXPECT_NE(std::strstr(d.description, "JTAG"), nullptr);
    EXPECT_NE(std::strstr(d.description, "12000"), nullptr);
    EXPECT_NE(std::strstr(d.target_name, "Cortex-M3"), nullptr);
    EXPECT_GT(d.hardware_version, 0);

    sim_target_command(t, KX_DRV_DISCONNECT, nullptr, nullptr);
    sim_target_command(t, KX_DRV_STATUS, nullptr, &status);
    EXPECT_EQ(status, 0);
    sim_target_destroy(t);
}

TEST(SimDriver, NoProbeConfiguredRefusesConnect) {
    SimConfig c = quick_config();
    c.probes = 0;
    SimTarget* t = sim_target_create(&c);
    ScanRequest scan = {nullptr, 0, -5};
    sim_target_command(t, KX_DRV_SCAN, &scan, nullptr);
    EXPECT_EQ(scan.count, 0);
    ConnectRequest r = {};
    EXPECT_EQ(sim_target_command(t, KX_DRV_CONNECT, &r, nullptr), SIM_ERR_NO_PROBE);
    sim_target_destroy(t);
}

TEST(SimFaults, EveryNthReadFailsAndTheLinkDrops) {
    SimConfig c = quick_config();
    c.fail_every = 3;
    SimTarget* t = connected_target(c);
    uint8_t buf[4];
    std::vector<int32_t> results;
    for (int i = 0; i < 6; i++) results.push_back(read_mem(t, SIM_RAM_BASE, buf, 4));
    EXPECT_EQ(results, (std::vector<int32_t>{4, 4, 0, 4, 4, 0}));
    sim_target_destroy(t);

    c.fail_every = 0;
    c.drop_after_s = 1;
    t = connected_target(c);
    EXPECT_EQ(read_mem(t, SIM_RAM_BASE, buf, 4), 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    int32_t status = 1;
    sim_target_command(t, KX_DRV_STATUS, nullptr, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_mem(t, SIM_RAM_BASE, buf, 4), 0);
    ConnectRequest r = {};
    ASSERT_EQ(sim_target_command(t, KX_DRV_CONNECT, &r, nullptr), 0);  // a new connect heals it
    EXPECT_EQ(read_mem(t, SIM_RAM_BASE, buf, 4), 4);
    sim_target_destroy(t);
}

TEST(SimFlash, BinaryAtBaseVerifyAndSkipErase) {
    SimConfig c = quick_config();
    SimTarget* t = connected_target(c);
    const uint8_t image[8] = {0x00, 0x50, 0x00, 0x20, 0xF0, 0x0F, 0xAA, 0x55};
    std::string bin = temp_file("kx_sim.bin", image, sizeof image);
    ASSERT_EQ(sim_target_program_file(t, bin.c_str(), SIM_FLASH_BASE + 0x100, false, true, false), 0);
    uint8_t back[8];
    ASSERT_EQ(sim_memory_read(t, SIM_FLASH_BASE + 0x100, back, 8), 8);
    EXPECT_EQ(std::memcmp(back, image, 8), 0);
    EXPECT_FALSE(sim_target_running(t));  // no reset requested

    // Programming over non-erased flash can only clear bits: verify catches the difference.
    const uint8_t other[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::string bin2 = temp_file("kx_sim2.bin", other, sizeof other);
    EXPECT_EQ(sim_target_program_file(t, bin2.c_str(), SIM_FLASH_BASE + 0x100, true, true, false), SIM_ERR_VERIFY);
    EXPECT_EQ(sim_target_program_file(t, bin2.c_str(), SIM_FLASH_BASE + 0x100, true, false, false), 0);
    // With the erase it succeeds.
    EXPECT_EQ(sim_target_program_file(t, bin2.c_str(), SIM_FLASH_BASE + 0x100, false, true, false), 0);
    // Outside flash and RAM: refused before anything is written.
    EXPECT_EQ(sim_target_program_file(t, bin.c_str(), 0x10000000, false, true, false), SIM_ERR_RANGE);
    EXPECT_EQ(sim_target_program_file(t, (bin + ".missing").c_str(), 0, false, true, false), SIM_ERR_FILE);
    sim_target_destroy(t);
}

TEST(SimFlash, IntelHexRecordsAndChecksums) {
    SimConfig c = quick_config();
    SimTarget* t = connected_target(c);
    const char hex[] =
        ":020000040800F2\n"
        ":0400000001020304F2\n"
        ":00000001FF\n";
    std::string path = temp_file("kx_sim.hex", hex, sizeof hex - 1);
    ASSERT_EQ(sim_target_program_file(t, path.c_str(), 0, false, true, false), 0);
    uint8_t back[4];
    sim_memory_read(t, SIM_FLASH_BASE, back, 4);
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[3], 4);
    const char broken[] = ":0400000001020304F3\n:00000001FF\n";
    std::string bad = temp_file("kx_bad.hex", broken, sizeof broken - 1);
    EXPECT_EQ(sim_target_program_file(t, bad.c_str(), 0, false, true, false), SIM_ERR_FORMAT);
    sim_target_destroy(t);
}

TEST(SimFlash, EraseClearsFlashAndStopsTheCore) {
    SimConfig c = quick_config();
    SimTarget* t = connected_target(c);
    const uint8_t image[8] = {0x00, 0x50, 0x00, 0x20, 1, 0, 0, 8};
    std::string bin = temp_file("kx_sim3.bin", image, sizeof image);
    ASSERT_EQ(sim_target_program_file(t, bin.c_str(), 0, false, true, true), 0);
    EXPECT_TRUE(sim_target_running(t));
    FlashRequest erase = {};
    EXPECT_EQ(sim_target_command(t, KX_DRV_ERASE, &erase, nullptr), 0);
    uint8_t back[4];
    sim_memory_read(t, SIM_FLASH_BASE, back, 4);
    EXPECT_EQ(back[0], 0xFF);
    EXPECT_FALSE(sim_target_running(t));
    sim_target_command(t, KX_DRV_DISCONNECT, nullptr, nullptr);
    EXPECT_EQ(sim_target_command(t, KX_DRV_ERASE, &erase, nullptr), SIM_ERR_NOT_CONNECTED);
    sim_target_destroy(t);
}

TEST(SimFlash, ProgramThroughTheDriverEntryTakesAUtf16Path) {
    SimConfig c = quick_config();
    SimTarget* t = connected_target(c);
    const uint8_t image[4] = {9, 8, 7, 6};
    std::string bin = temp_file("kx_sim4.bin", image, sizeof image);
    FlashRequest r = {};
    for (size_t i = 0; i < bin.size() && i < 259; i++) r.path[i] = (uint16_t)(unsigned char)bin[i];
    r.base_address = SIM_FLASH_BASE + 0x40;
    r.verify = 1;
    ASSERT_EQ(sim_target_command(t, KX_DRV_PROGRAM, &r, nullptr), 0);
    uint8_t back[4];
    sim_memory_read(t, SIM_FLASH_BASE + 0x40, back, 4);
    EXPECT_EQ(back[2], 7);
    sim_target_destroy(t);
}

TEST(SimConcurrency, MainAndAcquisitionThreadsAtOnce) {
    SimConfig c = quick_config();
    SimTarget* t = connected_target(c);
    sim_target_start_ticking(t);
    std::thread reader([t] {
        uint8_t buf[64];
        for (int i = 0; i < 2000; i++) EXPECT_EQ(read_mem(t, SIM_RAM_BASE, buf, 64), 64);
    });
    for (int i = 0; i < 2000; i++) {
        uint32_t v = (uint32_t)i;
        EXPECT_EQ(write_mem(t, SIM_RAM_BASE + 32, &v, 4), 0);
        int32_t status = 0;
        sim_target_command(t, KX_DRV_STATUS, nullptr, &status);
    }
    reader.join();
    sim_target_destroy(t);
}

TEST(SimLatency, EveryTransactionCostsAtLeastTheConfiguredTime) {
    SimConfig c = quick_config();
    c.latency_us = 500;
    SimTarget* t = connected_target(c);
    uint8_t buf[4];
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; i++) ASSERT_EQ(read_mem(t, SIM_RAM_BASE, buf, 4), 4);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::microseconds(20 * 500));
    sim_target_destroy(t);
}
