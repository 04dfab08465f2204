// The demo firmware's behaviour on the simulated core, driven through the real firmware reader
// so that variable names, member offsets and bit fields come from the demo image's DWARF.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "firmware/elf.h"
#include "sim_target.h"

namespace {

ElfImage* g_image;

const ModuleGlobalVar* find_global(const char* name) {
    int32_t index = elf_find_global(g_image, name);
    return index < 0 ? nullptr : reinterpret_cast<const ModuleGlobalVar*>(elf_global_at(g_image, index));
}

// A simulated board programmed with demo.elf, reset, connected and with its variables resolved.
class DemoFirmware : public ::testing::Test {
protected:
    void SetUp() override {
        char error[256];
        g_image = elf_open(KX_DEMO_ELF, error, sizeof error);
        if (!g_image) GTEST_SKIP() << "demo.elf not built: " << error;
        SimConfig c;
        sim_config_defaults(&c);
        c.latency_us = 0;
        target = sim_target_create(&c);
        ConnectRequest r = {};
        ASSERT_EQ(sim_target_command(target, KX_DRV_CONNECT, &r, nullptr), 0);
        ASSERT_EQ(sim_target_program_file(target, KX_DEMO_ELF, 0, false, true, true), 0);
        sim_target_set_resolver(target, find_global);
    }
    void TearDown() override {
        sim_target_destroy(target);
        elf_close(g_image);
        g_image = nullptr;
    }
    SimVarLoc loc(const char* path) {
        SimVarLoc l = {};
        EXPECT_TRUE(sim_resolve_path(find_global, path, &l)) << path;
        return l;
    }
    float f32(const char* path) {
        float v = 0;
        sim_memory_read(target, loc(path).address, &v, 4);
        return v;
    }
    uint32_t u32(const char* path) {
        uint32_t v = 0;
        SimVarLoc l = loc(path);
        sim_memory_read(target, l.address, &v, l.size > 4 ? 4 : l.size);
        return v;
    }
    void put_f32(const char* path, float v) {
        MemoryRequest r = {loc(path).address, 4, 0, &v};
        ASSERT_EQ(sim_target_command(target, KX_DRV_WRITE, &r, nullptr), 0);
    }
    void put_u32(const char* path, uint32_t v) {
        MemoryRequest r = {loc(path).address, 4, 0, &v};
        ASSERT_EQ(sim_target_command(target, KX_DRV_WRITE, &r, nullptr), 0);
    }
    void run_seconds(double s) {
        for (double t = 0; t < s; t += 0.01) sim_target_tick(target, 0.01);
    }
    SimTarget* target = nullptr;
};

}  // namespace

TEST_F(DemoFirmware, PathsResolveMembersArraysAndBitFields) {
    const ModuleGlobalVar* motor = find_global("g_motor");
    ASSERT_NE(motor, nullptr);
    SimVarLoc kp = loc("g_motor.speed_pi.kp");
    EXPECT_GT(kp.address, motor->address);
    EXPECT_EQ(kp.size, 4u);
    EXPECT_EQ(kp.kind, KX_TYPE_FLOAT);
    SimVarLoc adc0 = loc("g_adc_raw[0]"), adc3 = loc("g_adc_raw[3]");
    EXPECT_EQ(adc3.address - adc0.address, 6u);
    SimVarLoc hall = loc("g_motor.flags.hall");
    EXPECT_TRUE(hall.is_bitfield);
    EXPECT_EQ(hall.bit_offset, 5);
    EXPECT_EQ(hall.bit_size, 3);
    SimVarLoc none;
    EXPECT_FALSE(sim_resolve_path(find_global, "g_motor.nope", &none));
    EXPECT_FALSE(sim_resolve_path(find_global, "g_adc_raw[8]", &none));
    EXPECT_FALSE(sim_resolve_path(find_global, "missing", &none));
    EXPECT_GT(sim_target_resolved_count(target), 150);
}

TEST_F(DemoFirmware, ResetCopiesInitialisedDataFromFlash) {
    EXPECT_FLOAT_EQ(f32("g_motor.speed_setpoint_rpm"), 1500.0f);
    EXPECT_FLOAT_EQ(f32("g_motor.speed_pi.kp"), 0.004f);
    char tag[24] = {};
    sim_memory_read(target, loc("g_build_tag").address, tag, sizeof tag);
    EXPECT_STREQ(tag, "kestrelix-demo-1.0");
}

TEST_F(DemoFirmware, ControlLoopReachesSetpointAndFollowsCalibration) {
    run_seconds(4.0);
    EXPECT_EQ(u32("g_motor.state"), 2u);  // running
    EXPECT_NEAR(f32("g_motor.speed_rpm"), 1500.0f, 30.0f);
    EXPECT_GT(u32("g_tick_ms"), 3900u);
    EXPECT_NE(f32("g_wave.sine"), 0.0f);
    uint8_t flags = (uint8_t)u32("g_motor.flags");
    EXPECT_EQ(flags & 1, 1);  // enabled bit

    put_f32("g_motor.speed_setpoint_rpm", 600.0f);  // a calibration write takes effect
    run_seconds(4.0);
    EXPECT_NEAR(f32("g_motor.speed_rpm"), 600.0f, 20.0f);
    EXPECT_FLOAT_EQ(f32("g_motor.speed_setpoint_rpm"), 600.0f);  // and persists

    put_u32("g_motor.mode", 0);  // idle: the state machine leaves running, the motor coasts
    run_seconds(3.0);
    EXPECT_EQ(u32("g_motor.state"), 1u);
    EXPECT_FLOAT_EQ(f32("g_motor.current_a"), 0.0f);
    EXPECT_LT(std::fabs(f32("g_motor.speed_rpm")), 100.0f);
}

TEST_F(DemoFirmware, OvercurrentLimitTripsTheFaultState) {
    run_seconds(1.0);
    put_f32("g_motor.limits.max_current_a", 0.5f);
    put_f32("g_motor.speed_setpoint_rpm", 3000.0f);
    run_seconds(0.5);
    EXPECT_EQ(u32("g_motor.state"), 3u);
    EXPECT_GE(u32("g_motor.fault_count"), 1u);
    uint8_t flags = (uint8_t)u32("g_motor.flags");
    EXPECT_EQ((flags >> 1) & 1, 1);  // overcurrent bit
}

TEST_F(DemoFirmware, UnresolvedFirmwareLeavesMemoryAlone) {
    sim_target_set_resolver(target, nullptr);
    float before = f32("g_motor.speed_rpm");
    uint32_t tick = u32("g_tick_ms");
    run_seconds(1.0);
    EXPECT_EQ(f32("g_motor.speed_rpm"), before);
    EXPECT_EQ(u32("g_tick_ms"), tick);
}

TEST_F(DemoFirmware, ErasedFlashStopsTheFirmware) {
    run_seconds(0.2);
    FlashRequest erase = {};
    ASSERT_EQ(sim_target_command(target, KX_DRV_ERASE, &erase, nullptr), 0);
    uint32_t tick = u32("g_tick_ms");
    run_seconds(0.5);
    EXPECT_EQ(u32("g_tick_ms"), tick);
}
