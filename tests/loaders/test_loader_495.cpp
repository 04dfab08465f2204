// Host tests of loader-495 against the simulated dual-core device, on both cores.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "loader_host_api.h"
#include "loader_sim.h"

namespace {

constexpr uint32_t REG = 0x58004000u;
constexpr uint32_t OPTR = REG + 0x20u;
constexpr uint32_t SFR = REG + 0x80u;

std::vector<uint8_t> pattern(size_t count, uint8_t first) {
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

class Loader495 : public ::testing::Test {
protected:
    void SetUp() override { sim_reset(dev, SimFamily::Dual495); }
    void TearDown() override {
        for (const auto& f : dev.faults) ADD_FAILURE() << f;
    }
    void run_on_second_core() { dev.cpuid = 0; }
    SimDevice dev;
};

TEST_F(Loader495, InitOnEitherCoreClearsFlagsUnlocksAndUnmasks) {
    dev.sr = SIM_SR_EOP | SIM_SR_PGSERR | (1u << 9) | (1u << 15);
    dev.options[OPTR] &= ~(1u << 16);  // hardware watchdog
    EXPECT_EQ(l495_Init(), 1);
    EXPECT_EQ(dev.sr, 0u);
    EXPECT_EQ(dev.cr & SIM_CR_LOCK, 0u);
    EXPECT_TRUE(dev.irq_enabled);
    EXPECT_GE(dev.find_write(0x40003008u, 0xFFFu), 0);
    EXPECT_EQ(l495_Is_Cortex_M0(), 0u);

    sim_reset(dev, SimFamily::Dual495);
    run_on_second_core();
    dev.c2sr = SIM_SR_EOP | SIM_SR_PROGERR;
    EXPECT_EQ(l495_Init(), 1);
    EXPECT_EQ(dev.c2sr, 0u);
    EXPECT_EQ(dev.cr & SIM_CR_LOCK, 0u);
    EXPECT_EQ(dev.find_write(0x40003000u, 0x5555u), -1) << "software watchdog: no watchdog step";
}

TEST_F(Loader495, WriteProgramsUnitsAndPadsTheTailOnBothCores) {
    for (int second = 0; second < 2; second++) {
        sim_reset(dev, SimFamily::Dual495);
        if (second) run_on_second_core();
        ASSERT_EQ(l495_Init(), 1);
        std::vector<uint8_t> data = pattern(11, 0x30);
        EXPECT_EQ(l495_Write(0x08000000u, 11, data.data()), 1);
        ASSERT_EQ(dev.programs.size(), 2u);
        EXPECT_EQ(dev.programs[1].address, 0x08000008u);
        const uint8_t tail[8] = {0x38, 0x39, 0x3A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        EXPECT_EQ(std::vector<uint8_t>(dev.programs[1].bytes, dev.programs[1].bytes + 8),
                  std::vector<uint8_t>(tail, tail + 8));
        EXPECT_EQ(dev.cr & SIM_CR_PG, 0u);
        EXPECT_EQ(dev.c2cr & SIM_CR_PG, 0u);
        EXPECT_TRUE(dev.irq_enabled);
        dev.acr = SIM_ACR_EMPTY;
        EXPECT_EQ(l495_Write(0x08000010u, 8, data.data()), 1);
        EXPECT_EQ(dev.acr & SIM_ACR_EMPTY, 0u) << "flash holds a program";
    }
}

TEST_F(Loader495, WriteFailsWithoutEndOfOperationOrWithErrors) {
    std::vector<uint8_t> data = pattern(24, 1);
    ASSERT_EQ(l495_Init(), 1);
    dev.fail_next = SIM_SR_PROGERR;
    EXPECT_EQ(l495_Write(0x08001000u, 24, data.data()), 0);
    EXPECT_EQ(dev.cr & SIM_CR_PG, 0u);

    sim_reset(dev, SimFamily::Dual495);
    run_on_second_core();
    ASSERT_EQ(l495_Init(), 1);
    dev.fail_next = SIM_SR_OPERR;  // ends without the end-of-operation flag
    EXPECT_EQ(l495_Write(0x08001000u, 24, data.data()), 0);
    EXPECT_TRUE(dev.programs.empty());
    EXPECT_EQ(dev.c2cr & SIM_CR_PG, 0u);
    EXPECT_TRUE(dev.irq_enabled);
}

TEST_F(Loader495, SectorEraseErasesInclusivePagesOnBothCores) {
    for (int second = 0; second < 2; second++) {
        sim_reset(dev, SimFamily::Dual495);
        if (second) run_on_second_core();
        ASSERT_EQ(l495_Init(), 1);
        dev.fill_flash(0x08000000u, std::vector<uint8_t>(0x5000, 0));
        // Three pages in a row: the page field is rewritten, not accumulated, for each page.
        EXPECT_EQ(l495_SectorErase(0x08001000u, 0x08003FFFu), 1);
        EXPECT_EQ(dev.erased_pages, (std::vector<uint32_t>{1, 2, 3}));
        EXPECT_EQ(dev.acr & SIM_ACR_EMPTY, 0u);
        EXPECT_EQ((second ? dev.c2cr : dev.cr) & SIM_CR_PER, 0u);
        dev.erased_pages.clear();
        EXPECT_EQ(l495_SectorErase(0x08002000u, 0x08001000u), 1);
        EXPECT_TRUE(dev.erased_pages.empty());
        EXPECT_EQ(l495_SectorErase(0x08000000u, 0x08000000u), 1);
        EXPECT_NE(dev.acr & SIM_ACR_EMPTY, 0u);
        EXPECT_TRUE(dev.irq_enabled);
    }
    dev.erased_pages.clear();
    EXPECT_EQ(l495_SectorErase(0x08100000u, 0x08100000u), 0) << "page 256 is not a page of this device";
    EXPECT_TRUE(dev.erased_pages.empty());
}

TEST_F(Loader495, MassEraseStopsBelowTheSecureArea) {
    ASSERT_EQ(l495_Init(), 1);
    dev.fill_flash(0x08000000u, {1, 2, 3, 4});
    EXPECT_EQ(l495_MassErase(0), 1);
    EXPECT_EQ(dev.erased_pages.size(), 256u);
    EXPECT_EQ(dev.erased_pages.back(), 255u);
    EXPECT_EQ(dev.flash_word(0x08000000u), 0xFFFFFFFFu);
    EXPECT_NE(dev.acr & SIM_ACR_EMPTY, 0u);

    dev.erased_pages.clear();
    dev.options[OPTR] |= 1u << 8;  // secure area from page 0x80
    EXPECT_EQ(l495_MassErase(0), 1);
    EXPECT_EQ(dev.erased_pages.size(), 0x80u);
    EXPECT_EQ(dev.erased_pages.back(), 0x7Fu);
}

TEST_F(Loader495, WriteObPatchesTheImageThroughBothAddressMaps) {
    ASSERT_EQ(l495_Init(), 1);
    std::vector<uint8_t> bytes = pattern(0x7C, 0x80);
    EXPECT_EQ(l495_WriteOB(0x1FFF8000u, 0x7C, bytes.data()), 1);
    auto image_byte = [&](uint32_t index) {
        uint32_t address = index < 32 ? OPTR + (index & ~3u) : SFR + ((index - 32) & ~3u);
        return uint8_t(dev.options[address] >> (8 * (index & 3)));
    };
    const uint32_t slots[][2] = {{0, 0x00}, {3, 0x03}, {4, 0x08}, {5, 0x09}, {8, 0x10}, {9, 0x11},
                                 {11, 0x13}, {12, 0x18}, {14, 0x1A}, {16, 0x20}, {18, 0x22}, {20, 0x28},
                                 {21, 0x29}, {24, 0x30}, {25, 0x31}, {28, 0x68}, {29, 0x69}};
    for (const auto& s : slots) EXPECT_EQ(image_byte(s[0]), bytes[s[1]]) << "image byte " << s[0];
    EXPECT_EQ(image_byte(6), 0xA0u) << "0x1FFF800A is not an option byte";
    EXPECT_EQ(dev.options[SFR], 0x80u) << "secure-area words only from the second core in secure mode";
    EXPECT_EQ(dev.events, (std::vector<std::string>{"optstrt:main", "obl:main"}));

    // Register addresses: the option words and the secure-area words; the gap between is passed over.
    sim_reset(dev, SimFamily::Dual495);
    run_on_second_core();
    dev.options[OPTR] |= 1u << 8;
    ASSERT_EQ(l495_Init(), 1);
    std::vector<uint8_t> raw(0x68, 0x5A);
    EXPECT_EQ(l495_WriteOB(0x58004020u, 0x68, raw.data()), 1);
    EXPECT_EQ(dev.options[OPTR + 0x1C], 0x5A5A5A5Au);
    EXPECT_EQ(dev.options[SFR], 0x5A5A5A5Au);
    EXPECT_EQ(dev.options[SFR + 4], 0x5A5A5A5Au);
    EXPECT_EQ(dev.events, (std::vector<std::string>{"optstrt:c2", "obl:c2"}));
}

}  // namespace
