// Host tests of loader-453 and loader-443 (shared code) against the simulated single-core device.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "loader_host_api.h"
#include "loader_sim.h"

namespace {

constexpr uint32_t REG = 0x40022000u;
constexpr uint32_t OPTR = REG + 0x20u;

// One image's entry points, so each shared behaviour runs on both images.
struct SingleCoreImage {
    const char* name;
    int (*init)();
    int (*write)(uint32_t, uint32_t, uint8_t*);
    int (*sector_erase)(uint32_t, uint32_t, uint32_t, uint32_t);
    int (*mass_erase)(uint32_t);
    int (*write_ob)(uint32_t, uint32_t, uint8_t*);
    uint32_t (*checksum)(uint32_t, uint32_t, uint32_t);
    uint64_t (*verify)(uint32_t, uint32_t, uint32_t, uint32_t);
};

const SingleCoreImage kImages[] = {
    {"loader453", l453_Init, l453_Write, l453_SectorErase, l453_MassErase, l453_WriteOB, l453_CheckSum, l453_Verify},
    {"loader443", l443_Init, l443_Write, l443_SectorErase, l443_MassErase, l443_WriteOB, l443_CheckSum, l443_Verify},
};

void PrintTo(const SingleCoreImage& image, std::ostream* out) { *out << image.name; }

std::vector<uint8_t> pattern(size_t count, uint8_t first) {
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

class SingleCore : public ::testing::TestWithParam<SingleCoreImage> {
protected:
    void SetUp() override { sim_reset(dev, SimFamily::Single453); }
    void TearDown() override {
        for (const auto& f : dev.faults) ADD_FAILURE() << f;
    }
    const SingleCoreImage& image() const { return GetParam(); }
    SimDevice dev;
};

TEST_P(SingleCore, InitClearsFlagsUnlocksAndKeepsInterruptsMasked) {
    dev.sr = SIM_SR_EOP | SIM_SR_PROGERR | SIM_SR_RDERR;
    EXPECT_EQ(image().init(), 1);
    EXPECT_EQ(dev.sr, 0u);
    EXPECT_EQ(dev.cr & SIM_CR_LOCK, 0u);
    EXPECT_NE(dev.cr & SIM_CR_OPTLOCK, 0u);
    EXPECT_FALSE(dev.irq_enabled);
    EXPECT_EQ(dev.find_write(0x40003000u, 0x5555u), -1) << "software watchdog: no watchdog step";
}

TEST_P(SingleCore, WriteProgramsUnitsAndPadsTheTail) {
    ASSERT_EQ(image().init(), 1);
    std::vector<uint8_t> data = pattern(11, 0x10);
    EXPECT_EQ(image().write(0x08000100u, 11, data.data()), 1);
    ASSERT_EQ(dev.programs.size(), 2u);
    EXPECT_EQ(dev.programs[0].address, 0x08000100u);
    EXPECT_EQ(dev.programs[1].address, 0x08000108u);
    const uint8_t tail[8] = {0x18, 0x19, 0x1A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::vector<uint8_t>(dev.programs[1].bytes, dev.programs[1].bytes + 8),
              std::vector<uint8_t>(tail, tail + 8));
    EXPECT_EQ(dev.flash_word(0x08000100u), 0x13121110u);
    EXPECT_EQ(dev.cr & SIM_CR_PG, 0u);
}

TEST_P(SingleCore, WriteSkipsDoubleWordsThatAlreadyMatch) {
    ASSERT_EQ(image().init(), 1);
    std::vector<uint8_t> data = pattern(19, 0x40);
    dev.fill_flash(0x08000200u, std::vector<uint8_t>(data.begin(), data.begin() + 8));
    dev.fill_flash(0x08000210u, {0x50, 0x51, 0x52});
    // Only the erased middle unit differs: programming over the others would be a PROGERR.
    EXPECT_EQ(image().write(0x08000200u, 19, data.data()), 1);
    ASSERT_EQ(dev.programs.size(), 1u);
    EXPECT_EQ(dev.programs[0].address, 0x08000208u);
    dev.programs.clear();
    EXPECT_EQ(image().write(0x08000200u, 19, data.data()), 1);
    EXPECT_TRUE(dev.programs.empty());
}

TEST_P(SingleCore, WriteFailsOnErrorFlagsAndLockedFlash) {
    std::vector<uint8_t> data = pattern(16, 1);
    EXPECT_EQ(image().write(0x08000000u, 16, data.data()), 0) << "flash still locked";
    EXPECT_TRUE(dev.programs.empty());
    ASSERT_EQ(image().init(), 1);
    dev.fail_next = SIM_SR_WRPERR;
    EXPECT_EQ(image().write(0x08000000u, 16, data.data()), 0);
    ASSERT_EQ(image().init(), 1);
    dev.fill_flash(0x08000400u, {0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(image().write(0x08000400u, 3, data.data()), 0) << "tail over programmed cells";
}

TEST_P(SingleCore, SectorEraseErasesInclusiveRangeAndSetsEmptyBit) {
    ASSERT_EQ(image().init(), 1);
    dev.fill_flash(0x08000000u, std::vector<uint8_t>(0x2000, 0x00));
    EXPECT_EQ(image().sector_erase(0x08000800u, 0x08001000u, 0, 0), 1);
    EXPECT_EQ(dev.erased_pages, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(dev.acr & SIM_ACR_EMPTY, 0u) << "page 0 still holds a program";
    EXPECT_EQ(dev.cr & (SIM_CR_PER | 0x7F8u | SIM_CR_BKER), 0u);

    dev.erased_pages.clear();
    EXPECT_EQ(image().sector_erase(0x08000800u, 0x08000000u, 0, 0), 1);
    EXPECT_TRUE(dev.erased_pages.empty());
    EXPECT_EQ(image().sector_erase(0x08000000u, 0x08000000u, 0, 0), 1);
    EXPECT_NE(dev.acr & SIM_ACR_EMPTY, 0u);
    // An end below the start erases nothing but still brings the empty bit in line.
    dev.acr = 0;
    EXPECT_EQ(image().sector_erase(0x08000800u, 0x08000000u, 0, 0), 1);
    EXPECT_NE(dev.acr & SIM_ACR_EMPTY, 0u);
    // An address outside the page-number field fails before it reaches the controller.
    dev.erased_pages.clear();
    EXPECT_EQ(image().sector_erase(0x07FFF800u, 0x08000000u, 0, 0), 0);
    EXPECT_EQ(image().sector_erase(0x08800000u, 0x08800000u, 0, 0), 0);
    EXPECT_TRUE(dev.erased_pages.empty());
}

TEST_P(SingleCore, MassEraseSetsEmptyBitAndWriteClearsIt) {
    ASSERT_EQ(image().init(), 1);
    dev.fill_flash(0x08000000u, pattern(64, 1));
    EXPECT_EQ(image().mass_erase(0), 1);
    EXPECT_EQ(dev.mass_erases, 1);
    EXPECT_EQ(dev.flash_word(0x08000000u), 0xFFFFFFFFu);
    EXPECT_NE(dev.acr & SIM_ACR_EMPTY, 0u);
    EXPECT_EQ(dev.cr & (SIM_CR_MER1 | SIM_CR_MER2), 0u);
    std::vector<uint8_t> data = pattern(8, 0x20);
    EXPECT_EQ(image().write(0x08000000u, 8, data.data()), 1);
    EXPECT_EQ(dev.acr & SIM_ACR_EMPTY, 0u);
    dev.fail_next = SIM_SR_OPERR;
    EXPECT_EQ(image().mass_erase(0), 0);
}

TEST_P(SingleCore, WriteObPatchesTheImageThroughBothAddressMaps) {
    ASSERT_EQ(image().init(), 1);
    std::vector<uint8_t> bytes = pattern(0x74, 0x80);
    EXPECT_EQ(image().write_ob(0x1FFF7800u, 0x74, bytes.data()), 1);
    auto image_byte = [&](uint32_t index) { return uint8_t(dev.options[OPTR + (index & ~3u)] >> (8 * (index & 3))); };
    const uint32_t slots[][2] = {{0, 0x00}, {1, 0x01}, {2, 0x02}, {3, 0x03}, {4, 0x08}, {8, 0x10},
                                 {11, 0x13}, {12, 0x18}, {14, 0x1A}, {16, 0x20}, {18, 0x22},
                                 {20, 0x28}, {24, 0x30}, {96, 0x70}, {98, 0x72}};
    for (const auto& s : slots) EXPECT_EQ(image_byte(s[0]), bytes[s[1]]) << "image byte " << s[0];
    EXPECT_EQ(image_byte(5), 0xC0u) << "0x1FFF7809 is not an option byte";
    EXPECT_EQ(dev.options[OPTR + 0x28], 0xC0C0C000u + 10) << "words 10..23 untouched";
    EXPECT_EQ(dev.events, (std::vector<std::string>{"optstrt:main", "obl:main"}));
    EXPECT_EQ(dev.cr & SIM_CR_OPTLOCK, 0u);

    // Register addresses map one to one; the walk ends past the last option register.
    std::vector<uint8_t> raw = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    EXPECT_EQ(image().write_ob(0x40022080u, 6, raw.data()), 1);
    EXPECT_EQ(dev.options[REG + 0x80], 0x44332211u);
    EXPECT_EQ(image().write_ob(0x40022024u, 1, raw.data()), 1);
    EXPECT_EQ(dev.options[REG + 0x24] & 0xFFu, 0x11u);
}

TEST_P(SingleCore, CheckSumAndVerify) {
    std::vector<uint8_t> data = pattern(64, 0xC0);
    dev.fill_flash(0x08000400u, data);
    dev.put_ram(SIM_RAM_BASE, data);
    uint32_t sum = std::accumulate(data.begin(), data.end(), 0u);
    EXPECT_EQ(image().checksum(0x08000400u, 64, 5), sum + 5);
    uint64_t ok = image().verify(0x08000400u, SIM_RAM_BASE, 16, 0);
    EXPECT_EQ(uint32_t(ok >> 32), sum);
    EXPECT_EQ(uint32_t(ok), 0u);
    // One byte left out at the start and two at the end of the checksum.
    uint64_t trimmed = image().verify(0x08000400u, SIM_RAM_BASE, 16, 0x00020001u);
    EXPECT_EQ(uint32_t(trimmed >> 32), sum - data[0] - data[62] - data[63]);
    dev.ram[21] ^= 1;
    dev.ram[40] ^= 1;
    EXPECT_EQ(uint32_t(image().verify(0x08000400u, SIM_RAM_BASE, 16, 0)), 0x08000410u);
    // An odd word count compares only the words asked for.
    dev.ram[21] ^= 1;
    dev.ram[40] ^= 1;
    dev.ram[44] ^= 1;
    EXPECT_EQ(uint32_t(image().verify(0x08000400u, SIM_RAM_BASE, 11, 0)), 0u);
}

INSTANTIATE_TEST_SUITE_P(Loaders, SingleCore, ::testing::ValuesIn(kImages),
                         [](const ::testing::TestParamInfo<SingleCoreImage>& param_info) { return std::string(param_info.param.name); });

class SingleCoreRoutines : public ::testing::Test {
protected:
    void SetUp() override { sim_reset(dev, SimFamily::Single453); }
    SimDevice dev;
};

TEST_F(SingleCoreRoutines, StatusDecodingOrderAndFlags) {
    const struct { uint32_t sr; uint8_t status; } cases[] = {
        {SIM_SR_BSY | SIM_SR_WRPERR, ST_BUSY},          {(1u << 17) | SIM_SR_OPERR, ST_BUSY},
        {SIM_SR_WRPERR | SIM_SR_RDERR, ST_ERROR_WRP},   {SIM_SR_RDERR | SIM_SR_PROGERR, ST_ERROR_RD},
        {SIM_SR_PGAERR | SIM_SR_OPERR, ST_ERROR_PROGRAM}, {1u << 9, ST_ERROR_PROGRAM},
        {SIM_SR_OPERR, ST_ERROR_OPERATION},             {SIM_SR_EOP, ST_COMPLETE},
    };
    for (const auto& c : cases) {
        dev.sr = c.sr;
        EXPECT_EQ(l453_FLASH_GetStatus(), c.status) << std::hex << c.sr;
    }
    dev.sr = SIM_SR_PGSERR;
    dev.eccr = 0x40000000u;
    EXPECT_EQ(l453_FLASH_GetFlagStatus(SIM_SR_PGSERR), 1);
    EXPECT_EQ(l453_FLASH_GetFlagStatus(0x80000000u), 0) << "ECC flags come from the ECC register";
    EXPECT_EQ(l453_FLASH_GetFlagStatus(0x40000000u), 1);
    l453_FLASH_ClearFlag(SIM_SR_PGSERR);
    EXPECT_EQ(dev.sr, 0u);
}

TEST_F(SingleCoreRoutines, WaitFeedsTheWatchdogWhileBusy) {
    dev.busy_reads = 3;
    EXPECT_EQ(l453_FLASH_WaitForLastOperation(), ST_COMPLETE);
    EXPECT_EQ(dev.watchdog_refreshes, 3);
}

// Both images run the watchdog step with the hardware watchdog on; loader-443 does it first.
TEST_F(SingleCoreRoutines, InitOrderOfWatchdogStepAndUnlock) {
    for (const SingleCoreImage& image : kImages) {
        sim_reset(dev, SimFamily::Single453);
        dev.options[OPTR] &= ~(1u << 16);
        ASSERT_EQ(image.init(), 1);
        int refresh = dev.find_write(0x40003000u, 0xAAAAu);
        ASSERT_GE(refresh, 0);
        const SimWrite step[] = {{0x40003000u, 0x5555u}, {0x40003004u, 6u}, {0x40003008u, 0xFFFu},
                                 {0x40002C04u, 0x1FFu}, {0x40002C00u, 0x7Fu}};
        for (size_t i = 0; i < 5; i++) EXPECT_EQ(dev.find_write(step[i].address, step[i].value), refresh + 1 + int(i));
        int key = dev.find_write(REG + 0x08, 0x45670123u);
        ASSERT_GE(key, 0);
        if (std::string(image.name) == "loader443") EXPECT_LT(refresh, key);
        else EXPECT_GT(refresh, key);
        EXPECT_TRUE(dev.faults.empty());
    }
}

}  // namespace
