/* stm32l4xx_flash.h - the flash controller of the dual-core device 0x495: registers of both cores,
 * bits, and the routines shared by the entry points. */
#ifndef STM32L4XX_FLASH_H
#define STM32L4XX_FLASH_H

#include <stdint.h>

#include "flash_controller.h"

#define FLASH_REG_BASE 0x58004000u
#define FLASH_ACR (FLASH_REG_BASE + 0x000u)
#define FLASH_KEYR (FLASH_REG_BASE + 0x008u)
#define FLASH_OPTKEYR (FLASH_REG_BASE + 0x00Cu)
#define FLASH_SR (FLASH_REG_BASE + 0x010u)
#define FLASH_CR (FLASH_REG_BASE + 0x014u)
#define FLASH_OPTR (FLASH_REG_BASE + 0x020u)  /* option register image: 8 words from here */
#define FLASH_OPTR_END (FLASH_REG_BASE + 0x040u)
#define FLASH_SFR (FLASH_REG_BASE + 0x080u)   /* secure area: 2 more words from here */
#define FLASH_SFR_LAST (FLASH_REG_BASE + 0x087u)
#define FLASH_C2SR (FLASH_REG_BASE + 0x454u)  /* second core's status and control */
#define FLASH_C2CR (FLASH_REG_BASE + 0x458u)

#define SCB_CPUID 0xE000ED00u
#define FLASH_SIZE_KB_ADDR 0x1FFF75E0u

#define FLASH_CR_ERASE_KEEP 0xFFFFA007u /* clears page number and erase selections */

#define FLASH_SR_ERRORS 0x3FAu /* operation, programming, write-protection, alignment, size,
                                  sequence, miss and fast-programming errors */
#define FLASH_SR_FLAGS 0x1FFu
#define FLASH_SR_CLEAR_ALL 0xC3FBu
#define FLASH_SR_BSY_ANY 0x30000u
#define FLASH_SR_CFGBSY (1u << 18)
#define FLASH_SR_PESD (1u << 19)

#define OPTR_ESE (1u << 8) /* secure area enabled */

#define FLASH_PAGE_SIZE 0x1000u
#define FLASH_PAGE_LAST 0xFFu /* the page-number field holds 8 bits */

void FLASH_Unlock(void);
void FLASH_OB_Unlock(void);
uint32_t Is_Cortex_M0(void);
uint32_t Is_Secure(void);

#endif
