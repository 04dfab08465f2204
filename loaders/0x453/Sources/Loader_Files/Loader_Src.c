/* Loader_Src.c - entry points of the single-core loader images (0x453 and 0x443).
 *
 * Every entry point masks interrupts first and leaves them masked; the programming software owns
 * the core while the loader runs.
 *
 * Index
 *   [SECTION] Init
 *   [SECTION] Write, erase
 *   [SECTION] Option bytes
 *   [SECTION] CheckSum, Verify */
#include "Loader_Src.h"

#include "loader_common.h"
#include "loader_variant.h"
#include "stm32l4xx_flash.h"

/* [SECTION] Init ------------------------------------------------------------------------------- */

int Init(void)
{
    LOADER_IRQ_DISABLE();
    REG_WRITE(FLASH_SR, FLASH_SR_CLEAR_ALL);
#if LOADER_WATCHDOG_BEFORE_UNLOCK
    loader_watchdog_step(FLASH_OPTR);
    FLASH_Unlock();
#else
    FLASH_Unlock();
    loader_watchdog_step(FLASH_OPTR);
#endif
    return 1;
}

/* [SECTION] Write, erase ----------------------------------------------------------------------- */

/* True when the flash double word at `address` already holds `unit`: programming it again would
 * fail on a non-erased double word and wear the cells for nothing. */
static int unit_matches_flash(uint32_t address, const uint32_t unit[2])
{
    return REG_READ(address) == unit[0] && REG_READ(address + 4u) == unit[1];
}

/* Programs the 0xFF-padded tail with its own wait before and after. */
static FLASH_Status program_tail(uint32_t address, const uint32_t unit[2])
{
    FLASH_Status status = FLASH_WaitForLastOperation();
    if (status != FLASH_COMPLETE)
        return status;
    REG_SET(FLASH_CR, FLASH_CR_PG);
    REG_WRITE(address, unit[0]);
    REG_WRITE(address + 4u, unit[1]);
    status = FLASH_WaitForLastOperation();
    REG_CLEAR(FLASH_CR, FLASH_CR_PG);
    return status;
}

int Write(uint32_t Address, uint32_t Size, uint8_t *buffer)
{
    LOADER_IRQ_DISABLE();
    int result = 1;
    uint32_t unit[2];
    while (Size >= PROGRAM_UNIT) {
        loader_take_unit(buffer, PROGRAM_UNIT, unit);
        if (!unit_matches_flash(Address, unit) &&
            FLASH_ProgramDoubleWord(Address, ((uint64_t)unit[1] << 32) | unit[0]) != FLASH_COMPLETE) {
            result = 0;
            break;
        }
        Address += PROGRAM_UNIT;
        buffer += PROGRAM_UNIT;
        Size -= PROGRAM_UNIT;
    }
    if (result && Size != 0u) {
        loader_take_unit(buffer, Size, unit);
        if (!unit_matches_flash(Address, unit) && program_tail(Address, unit) != FLASH_COMPLETE)
            result = 0;
    }
    loader_sync_empty_bit(FLASH_ACR, 0, 1);
    return result;
}

/* Both addresses are inclusive; the last two arguments are part of the calling convention only. */
int SectorErase(uint32_t StartAddress, uint32_t EndAddress, uint32_t OrcaType, uint32_t DualBank)
{
    (void)OrcaType;
    (void)DualBank;
    LOADER_IRQ_DISABLE();
    int result = 1;
    while (StartAddress <= EndAddress) {
        uint32_t offset = StartAddress - MAIN_FLASH_START;
        uint32_t bank = offset >= FLASH_BANK2_OFFSET ? 2u : 1u;
        if (StartAddress < MAIN_FLASH_START || FLASH_ErasePage(offset, bank) != FLASH_COMPLETE) {
            result = 0;
            break;
        }
        if (StartAddress > 0xFFFFFFFFu - FLASH_PAGE_SIZE)
            break;
        StartAddress += FLASH_PAGE_SIZE;
    }
    loader_sync_empty_bit(FLASH_ACR, 1, 0);
    return result;
}

int MassErase(uint32_t Parallelism)
{
    (void)Parallelism;
    LOADER_IRQ_DISABLE();
    int result = FLASH_EraseAllPages() == FLASH_COMPLETE;
    loader_sync_empty_bit(FLASH_ACR, 1, 0);
    return result;
}

/* [SECTION] Option bytes ----------------------------------------------------------------------- */

#define OPTION_BYTES_BASE 0x1FFF7800u
#define OPTION_BYTES_LAST 0x1FFF7873u
#define OPTION_BYTES_SKIP_AT 0x1FFF7830u /* one byte stands for the 64 bytes up to 0x1FFF786F */
#define OPTION_BYTES_SKIP 63u

/* Where each option byte of the option-byte area lands in the register image. */
static const OptionByteSlot option_slots[] = {
    {0x00, 0},  {0x01, 1},  {0x02, 2},  {0x03, 3},  {0x08, 4},  {0x10, 8},  {0x13, 11}, {0x18, 12},
    {0x1A, 14}, {0x20, 16}, {0x22, 18}, {0x28, 20}, {0x30, 24}, {0x70, 96}, {0x72, 98},
};

/* Applies `Size` bytes for the addresses from `Address` to the register image. Register addresses
 * map one to one; option-byte addresses go through the table. */
static void patch_option_image(uint32_t *image, uint32_t Address, uint32_t Size, const uint8_t *buffer)
{
    for (uint32_t i = 0; i < Size; i++) {
        uint32_t address = Address + i;
        if (address >= FLASH_OPTR && address <= FLASH_OPTR_LAST) {
            loader_image_put(image, (address & 0xFFu) - 0x20u, buffer[i]);
        } else if (address > FLASH_OPTR_LAST) {
            return;
        } else if (address >= OPTION_BYTES_BASE && address <= OPTION_BYTES_LAST) {
            int32_t slot = loader_option_slot(option_slots, sizeof option_slots / sizeof option_slots[0],
                                              address - OPTION_BYTES_BASE);
            if (slot >= 0)
                loader_image_put(image, (uint32_t)slot, buffer[i]);
            if (address == OPTION_BYTES_SKIP_AT)
                i += OPTION_BYTES_SKIP;
        }
    }
}

int WriteOB(uint32_t Address, uint32_t Size, uint8_t *buffer)
{
    LOADER_IRQ_DISABLE();
    FLASH_OB_Unlock();
    uint32_t image[OPTION_IMAGE_WORDS];
    for (uint32_t w = 0; w < OPTION_IMAGE_WORDS; w++)
        image[w] = REG_READ(FLASH_OPTR + 4u * w);
    patch_option_image(image, Address, Size, buffer);
    for (uint32_t w = 0; w < OPTION_IMAGE_WORDS; w++) {
        REG_WRITE(FLASH_OPTR + 4u * w, image[w]);
        if (FLASH_WaitForLastOperation() != FLASH_COMPLETE)
            return 0;
    }
    REG_SET(FLASH_CR, FLASH_CR_OPTSTRT);
    /* Reloading before the option programming has finished would reload the old option bytes. */
    if (FLASH_WaitForLastOperation() != FLASH_COMPLETE)
        return 0;
    REG_SET(FLASH_CR, FLASH_CR_OBL_LAUNCH);
    return 1;
}

/* [SECTION] CheckSum, Verify ------------------------------------------------------------------- */

uint32_t CheckSum(uint32_t StartAddress, uint32_t Size, uint32_t InitVal)
{
    LOADER_IRQ_DISABLE();
    for (uint32_t i = 0; i < Size; i++)
        InitVal += MEM_READ8(StartAddress + i);
    return InitVal;
}

/* Size counts words. `missalignement` carries the bytes to leave out of the checksum at the start
 * (low nibble) and at the end (bits 16-19). Returns the checksum in the high word and, in the low
 * word, the address of the first 8-byte flash unit that differs from the buffer (0: all equal). */
uint64_t Verify(uint32_t FlashAddr, uint32_t RAMBufferAddr, uint32_t Size, uint32_t missalignement)
{
    LOADER_IRQ_DISABLE();
    uint32_t total = Size * 4u;
    uint32_t head = missalignement & 0xFu;
    uint32_t tail = (missalignement >> 16) & 0xFu;
    uint32_t summed = total > head + tail ? total - head - tail : 0u;
    uint32_t checksum = CheckSum(FlashAddr + head, summed, 0u);
    uint32_t mismatch = 0;
    for (uint32_t done = 0; done < total && mismatch == 0u; done += PROGRAM_UNIT) {
        uint32_t count = total - done < PROGRAM_UNIT ? total - done : PROGRAM_UNIT;
        for (uint32_t i = 0; i < count; i++) {
            if (MEM_READ8(FlashAddr + done + i) != MEM_READ8(RAMBufferAddr + done + i)) {
                mismatch = FlashAddr + done;
                break;
            }
        }
    }
    return ((uint64_t)checksum << 32) | mismatch;
}
