/* stm32l4xx_flash.h - the flash controller of the single-core devices (0x453, 0x443): registers,
 * bits, status codes and the routines that drive it. */
#ifndef STM32L4XX_FLASH_H
#define STM32L4XX_FLASH_H

#include <stdint.h>

#include "flash_controller.h"

#define FLASH_REG_BASE 0x40022000u
#define FLASH_ACR (FLASH_REG_BASE + 0x00u)
#define FLASH_KEYR (FLASH_REG_BASE + 0x08u)
#define FLASH_OPTKEYR (FLASH_REG_BASE + 0x0Cu)
#define FLASH_SR (FLASH_REG_BASE + 0x10u)
#define FLASH_CR (FLASH_REG_BASE + 0x14u)
#define FLASH_ECCR (FLASH_REG_BASE + 0x18u)
#define FLASH_OPTR (FLASH_REG_BASE + 0x20u)  /* first word of the option register image */
#define FLASH_OPTR_LAST (FLASH_REG_BASE + 0x83u)
#define OPTION_IMAGE_WORDS 25u

#define FLASH_CR_MER1 (1u << 2)
#define FLASH_CR_BKER (1u << 13)
#define FLASH_CR_MER2 (1u << 15)

#define FLASH_SR_OPERR (1u << 1)
#define FLASH_SR_WRPERR (1u << 4)
#define FLASH_SR_PROGERRS 0x3E8u /* programming, alignment, size, sequence, miss and fast errors */
#define FLASH_SR_RDERR (1u << 14)
#define FLASH_SR_BSY2 (1u << 17)
#define FLASH_SR_CLEAR_ALL 0xE3FDu /* every clearable flag at once */

#define FLASH_ECCR_FLAGS 0xC0000000u /* ECC flags live in the error-correction register */

#define FLASH_PAGE_SIZE 0x800u
#define FLASH_BANK2_OFFSET 0x40000u
#define FLASH_PAGE_OFFSET_LIMIT 0x80000u /* offsets beyond the 8-bit page-number field */

/* Result of every flash routine. */
typedef enum __attribute__((packed)) {
    FLASH_BUSY = 1,
    FLASH_ERROR_RD,
    FLASH_ERROR_PGS,
    FLASH_ERROR_PGP,
    FLASH_ERROR_PGA,
    FLASH_ERROR_WRP,
    FLASH_ERROR_PROGRAM,
    FLASH_ERROR_OPERATION,
    FLASH_COMPLETE
} FLASH_Status;

/* Answer of a flag test. */
typedef enum __attribute__((packed)) { RESET = 0, SET = 1 } FlagStatus;

_Static_assert(sizeof(FLASH_Status) == 1 && FLASH_COMPLETE == 9, "FLASH_Status is 8-bit");
_Static_assert(sizeof(FlagStatus) == 1, "FlagStatus is 8-bit");

FLASH_Status FLASH_Unlock(void);
FLASH_Status FLASH_Lock(void);
FLASH_Status FLASH_OB_Unlock(void);
FLASH_Status FLASH_ErasePage(uint32_t FLASH_Page, uint32_t FLASH_Bank);
FLASH_Status FLASH_EraseAllPages(void);
FLASH_Status FLASH_EraseAllBank1Pages(void);
FLASH_Status FLASH_EraseAllBank2Pages(void);
FLASH_Status FLASH_ProgramDoubleWord(uint32_t Address, uint64_t Data);
FlagStatus FLASH_GetFlagStatus(uint32_t FLASH_FLAG);
void FLASH_ClearFlag(uint32_t FLASH_FLAG);
FLASH_Status FLASH_GetStatus(void);
FLASH_Status FLASH_WaitForLastOperation(void);

#endif
