/* stm32l4xx_flash.c - flash controller routines of the single-core devices: unlocking, status
 * decoding, waiting, double-word programming, page and mass erase.
 *
 * Index
 *   [SECTION] Locks
 *   [SECTION] Status
 *   [SECTION] Programming and erasing */
#include "stm32l4xx_flash.h"

#include "loader_common.h"

/* [SECTION] Locks ------------------------------------------------------------------------------ */

FLASH_Status FLASH_Unlock(void)
{
    if (REG_READ(FLASH_CR) & FLASH_CR_LOCK) {
        REG_WRITE(FLASH_KEYR, FLASH_KEY1);
        REG_WRITE(FLASH_KEYR, FLASH_KEY2);
    }
    return FLASH_COMPLETE;
}

FLASH_Status FLASH_Lock(void)
{
    REG_SET(FLASH_CR, FLASH_CR_LOCK);
    return FLASH_COMPLETE;
}

/* The option bytes have a second lock behind the flash lock. */
FLASH_Status FLASH_OB_Unlock(void)
{
    if (REG_READ(FLASH_CR) & FLASH_CR_OPTLOCK) {
        REG_WRITE(FLASH_OPTKEYR, FLASH_OPTKEY1);
        REG_WRITE(FLASH_OPTKEYR, FLASH_OPTKEY2);
    }
    return FLASH_COMPLETE;
}

/* [SECTION] Status ----------------------------------------------------------------------------- */

/* The two ECC flags sit in the error-correction register, every other flag in the status register. */
static uint32_t flag_register(uint32_t flag)
{
    return (flag & FLASH_ECCR_FLAGS) ? FLASH_ECCR : FLASH_SR;
}

FlagStatus FLASH_GetFlagStatus(uint32_t FLASH_FLAG)
{
    return (REG_READ(flag_register(FLASH_FLAG)) & FLASH_FLAG) ? SET : RESET;
}

void FLASH_ClearFlag(uint32_t FLASH_FLAG)
{
    REG_SET(flag_register(FLASH_FLAG), FLASH_FLAG);
}

/* Busy wins over every error, then write protection, read protection, programming errors and the
 * operation error. */
FLASH_Status FLASH_GetStatus(void)
{
    uint32_t status = REG_READ(FLASH_SR);
    if (status & (FLASH_SR_BSY | FLASH_SR_BSY2))
        return FLASH_BUSY;
    if (status & FLASH_SR_WRPERR)
        return FLASH_ERROR_WRP;
    if (status & FLASH_SR_RDERR)
        return FLASH_ERROR_RD;
    if (status & FLASH_SR_PROGERRS)
        return FLASH_ERROR_PROGRAM;
    if (status & FLASH_SR_OPERR)
        return FLASH_ERROR_OPERATION;
    return FLASH_COMPLETE;
}

/* No time limit: a page erase can take long, so the watchdog is fed while the controller works. */
FLASH_Status FLASH_WaitForLastOperation(void)
{
    FLASH_Status status = FLASH_GetStatus();
    while (status == FLASH_BUSY) {
        REG_WRITE(IWDG_KR, IWDG_KEY_REFRESH);
        status = FLASH_GetStatus();
    }
    return status;
}

/* [SECTION] Programming and erasing ------------------------------------------------------------ */

FLASH_Status FLASH_ProgramDoubleWord(uint32_t Address, uint64_t Data)
{
    REG_SET(FLASH_CR, FLASH_CR_PG);
    REG_WRITE(Address, (uint32_t)Data);
    REG_WRITE(Address + 4u, (uint32_t)(Data >> 32));
    FLASH_Status status = FLASH_WaitForLastOperation();
    REG_CLEAR(FLASH_CR, FLASH_CR_PG);
    return status;
}

/* FLASH_Page is the byte offset of the page from the flash start; the bank follows from it.
 * An offset past the page-number field is refused: it would spill into the bank and mass-erase
 * bits of the control register. */
FLASH_Status FLASH_ErasePage(uint32_t FLASH_Page, uint32_t FLASH_Bank)
{
    (void)FLASH_Bank;
    if (FLASH_Page >= FLASH_PAGE_OFFSET_LIMIT)
        return FLASH_ERROR_OPERATION;
    if (FLASH_Page >= FLASH_BANK2_OFFSET)
        REG_SET(FLASH_CR, FLASH_CR_BKER);
    FLASH_Status status = FLASH_WaitForLastOperation();
    if (status != FLASH_COMPLETE)
        return status;
    REG_CLEAR(FLASH_CR, FLASH_CR_PNB_MASK);
    REG_CLEAR(FLASH_CR, 1u << 11);
    /* For 2 KB-aligned offsets, offset >> 8 is the page number (offset >> 11) at bit 3. */
    REG_SET(FLASH_CR, ((FLASH_Page >> 8) & FLASH_CR_PNB_MASK) | FLASH_CR_PER);
    REG_SET(FLASH_CR, FLASH_CR_STRT);
    status = FLASH_WaitForLastOperation();
    REG_CLEAR(FLASH_CR, FLASH_CR_PER);
    REG_CLEAR(FLASH_CR, FLASH_CR_BKER);
    REG_CLEAR(FLASH_CR, FLASH_CR_PNB_MASK);
    return status;
}

static FLASH_Status erase_banks(uint32_t mass_erase_bits)
{
    FLASH_Status status = FLASH_WaitForLastOperation();
    if (status != FLASH_COMPLETE)
        return status;
    REG_SET(FLASH_CR, mass_erase_bits);
    REG_SET(FLASH_CR, FLASH_CR_STRT);
    status = FLASH_WaitForLastOperation();
    REG_CLEAR(FLASH_CR, FLASH_CR_MER1 | FLASH_CR_MER2);
    return status;
}

FLASH_Status FLASH_EraseAllPages(void)
{
    return erase_banks(FLASH_CR_MER1 | FLASH_CR_MER2);
}

FLASH_Status FLASH_EraseAllBank1Pages(void)
{
    return erase_banks(FLASH_CR_MER1);
}

FLASH_Status FLASH_EraseAllBank2Pages(void)
{
    return erase_banks(FLASH_CR_MER2);
}
