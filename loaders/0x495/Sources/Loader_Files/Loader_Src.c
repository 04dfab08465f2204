/* Loader_Src.c - entry points of loader-495 (dual-core device, 4 KB pages).
 *
 * Every entry point masks interrupts first and unmasks them before it returns. On the second core
 * (CPUID reads 0) the flash is driven through that core's status and control registers.
 *
 * Index
 *   [SECTION] Core selection and waiting
 *   [SECTION] Init
 *   [SECTION] Write, erase
 *   [SECTION] Option bytes */
#include "Loader_Src.h"

#include "loader_common.h"
#include "stm32l4xx_flash.h"

/* [SECTION] Core selection and waiting --------------------------------------------------------- */

/* The status and control registers of the core the loader runs on. */
typedef struct {
    uint32_t second_core;
    uint32_t sr;
    uint32_t cr;
} FlashCore;

static FlashCore flash_core(void)
{
    FlashCore core;
    core.second_core = Is_Cortex_M0();
    core.sr = core.second_core ? FLASH_C2SR : FLASH_SR;
    core.cr = core.second_core ? FLASH_C2CR : FLASH_CR;
    return core;
}

/* No time limit: the controller always ends an operation. */
static void flash_wait(const FlashCore *core)
{
    if (!core->second_core) {
        while (REG_READ(FLASH_SR) & FLASH_SR_BSY_ANY) {
        }
        while (REG_READ(FLASH_SR) & FLASH_SR_CFGBSY) {
        }
    } else {
        while (REG_READ(FLASH_C2SR) & FLASH_SR_BSY) {
        }
    }
    while (REG_READ(core->sr) & FLASH_SR_PESD) {
    }
}

/* [SECTION] Init ------------------------------------------------------------------------------- */

int Init(void)
{
    LOADER_IRQ_DISABLE();
    if (!Is_Cortex_M0())
        REG_SET(FLASH_SR, FLASH_SR_CLEAR_ALL);
    else
        REG_WRITE(FLASH_C2SR, FLASH_SR_FLAGS);
    FLASH_Unlock();
    loader_watchdog_step(FLASH_OPTR);
    LOADER_IRQ_ENABLE();
    return 1;
}

/* [SECTION] Write, erase ----------------------------------------------------------------------- */

/* Programs one double word. The second core checks for its end-of-operation flag; the first core,
 * whose end-of-operation flag depends on the interrupt enable, checks the error flags instead. */
static int program_unit(const FlashCore *core, uint32_t address, const uint32_t unit[2])
{
    flash_wait(core);
    REG_SET(core->sr, FLASH_SR_FLAGS);
    REG_WRITE(address, unit[0]);
    REG_WRITE(address + 4u, unit[1]);
    flash_wait(core);
    uint32_t status = REG_READ(core->sr);
    if (core->second_core) {
        if (!(status & FLASH_SR_EOP))
            return 0;
        REG_WRITE(core->sr, FLASH_SR_EOP);
        return 1;
    }
    return (status & FLASH_SR_ERRORS) == 0u;
}

int Write(uint32_t Address, uint32_t Size, uint8_t *buffer)
{
    LOADER_IRQ_DISABLE();
    FlashCore core = flash_core();
    int result = 1;
    REG_SET(core.cr, FLASH_CR_PG);
    while (Size != 0u) {
        uint32_t count = Size >= PROGRAM_UNIT ? PROGRAM_UNIT : Size;
        uint32_t unit[2];
        loader_take_unit(buffer, count, unit);
        if (!program_unit(&core, Address, unit)) {
            result = 0;
            break;
        }
        Address += PROGRAM_UNIT;
        buffer += count;
        Size -= count;
    }
    REG_CLEAR(core.cr, FLASH_CR_PG);
    loader_sync_empty_bit(FLASH_ACR, 0, 1);
    LOADER_IRQ_ENABLE();
    return result;
}

/* Erases the 4 KB pages from StartAddress up to and including the page of EndAddress. An address
 * outside the page-number field fails instead of wrapping onto another page. */
int SectorErase(uint32_t StartAddress, uint32_t EndAddress)
{
    LOADER_IRQ_DISABLE();
    FlashCore core = flash_core();
    int result = 1;
    if (!core.second_core) {
        REG_WRITE(FLASH_SR, FLASH_SR_FLAGS);
        REG_WRITE(FLASH_CR, REG_READ(FLASH_CR) & FLASH_CR_ERASE_KEEP);
    }
    while (StartAddress <= EndAddress) {
        uint32_t page = (StartAddress - MAIN_FLASH_START) >> 12;
        if (StartAddress < MAIN_FLASH_START || page > FLASH_PAGE_LAST) {
            result = 0;
            break;
        }
        flash_wait(&core);
        if (core.second_core) {
            REG_SET(FLASH_C2SR, FLASH_SR_FLAGS);
            REG_CLEAR(FLASH_C2CR, FLASH_CR_PNB_MASK);
        } else {
            REG_WRITE(FLASH_CR, 0u);
        }
        REG_SET(core.cr, (page << FLASH_CR_PNB_SHIFT) | FLASH_CR_PER);
        REG_SET(core.cr, FLASH_CR_STRT);
        flash_wait(&core);
        REG_CLEAR(core.cr, FLASH_CR_PER);
        if (StartAddress > 0xFFFFFFFFu - FLASH_PAGE_SIZE)
            break;
        StartAddress += FLASH_PAGE_SIZE;
    }
    loader_sync_empty_bit(FLASH_ACR, 1, 0);
    LOADER_IRQ_ENABLE();
    return result;
}

/* Erases every page, or with the secure area enabled every page below it. */
int MassErase(uint32_t Parallelism)
{
    (void)Parallelism;
    LOADER_IRQ_DISABLE();
    uint32_t last_page;
    if (Is_Secure())
        last_page = MAIN_FLASH_START + (REG_READ(FLASH_SFR) & 0xFFu) * FLASH_PAGE_SIZE - FLASH_PAGE_SIZE;
    else
        last_page = MAIN_FLASH_START + (REG_READ(FLASH_SIZE_KB_ADDR) & 0xFFFFu) * 1024u - FLASH_PAGE_SIZE;
    int result = SectorErase(MAIN_FLASH_START, last_page);
    LOADER_IRQ_ENABLE();
    return result;
}

/* [SECTION] Option bytes ----------------------------------------------------------------------- */

#define OPTION_IMAGE_WORDS 10u /* 8 option words, then the 2 secure-area words */
#define OPTION_MAIN_WORDS 8u
#define OPTION_BYTES_BASE 0x1FFF8000u
#define OPTION_BYTES_LAST 0x1FFF807Bu

/* Where each option byte of the option-byte area lands in the register image. */
static const OptionByteSlot option_slots[] = {
    {0x00, 0},  {0x01, 1},  {0x02, 2},  {0x03, 3},  {0x08, 4},  {0x09, 5},  {0x10, 8},
    {0x11, 9},  {0x13, 11}, {0x18, 12}, {0x1A, 14}, {0x20, 16}, {0x22, 18}, {0x28, 20},
    {0x29, 21}, {0x30, 24}, {0x31, 25}, {0x68, 28}, {0x69, 29}, {0x70, 32}, {0x71, 33},
    {0x78, 36}, {0x79, 37}, {0x7A, 38}, {0x7B, 39},
};

/* Register address of image word `w`. */
static uint32_t option_word_address(uint32_t w)
{
    return w < OPTION_MAIN_WORDS ? FLASH_OPTR + 4u * w : FLASH_SFR + 4u * (w - OPTION_MAIN_WORDS);
}

/* Applies `Size` bytes for the addresses from `Address` to the register image; addresses that
 * belong to neither the register image nor the option-byte table are passed over. */
static void patch_option_image(uint32_t *image, uint32_t Address, uint32_t Size, const uint8_t *buffer)
{
    for (uint32_t i = 0; i < Size; i++) {
        uint32_t address = Address + i;
        int32_t slot = -1;
        if (address >= FLASH_SFR && address <= FLASH_SFR_LAST)
            slot = (int32_t)((address & 0xFFu) - 0x60u);
        else if (address >= FLASH_OPTR && address < FLASH_OPTR_END)
            slot = (int32_t)((address & 0xFFu) - 0x20u);
        else if (address >= OPTION_BYTES_BASE && address <= OPTION_BYTES_LAST)
            slot = loader_option_slot(option_slots, sizeof option_slots / sizeof option_slots[0],
                                      address - OPTION_BYTES_BASE);
        if (slot >= 0)
            loader_image_put(image, (uint32_t)slot, buffer[i]);
    }
}

int WriteOB(uint32_t Address, uint32_t Size, uint8_t *buffer)
{
    LOADER_IRQ_DISABLE();
    FlashCore core = flash_core();
    FLASH_OB_Unlock();
    uint32_t image[OPTION_IMAGE_WORDS];
    for (uint32_t w = 0; w < OPTION_IMAGE_WORDS; w++)
        image[w] = REG_READ(option_word_address(w));
    patch_option_image(image, Address, Size, buffer);
    /* The secure-area words are written only from the second core with the secure area on. */
    uint32_t secure_core = core.second_core && Is_Secure();
    uint32_t words = secure_core ? OPTION_IMAGE_WORDS : OPTION_MAIN_WORDS;
    for (uint32_t w = 0; w < words; w++) {
        REG_WRITE(option_word_address(w), image[w]);
        flash_wait(&core);
    }
    uint32_t cr = secure_core ? FLASH_C2CR : FLASH_CR;
    REG_SET(cr, FLASH_CR_OPTSTRT);
    /* Reloading before the option programming has finished would reload the old option bytes. */
    flash_wait(&core);
    REG_SET(cr, FLASH_CR_OBL_LAUNCH);
    LOADER_IRQ_ENABLE();
    return 1;
}
