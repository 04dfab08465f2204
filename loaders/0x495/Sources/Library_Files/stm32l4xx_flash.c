/* stm32l4xx_flash.c - unlocking and the core and security tests of the dual-core device. */
#include "stm32l4xx_flash.h"

#include "loader_bus.h"

void FLASH_Unlock(void)
{
    if (REG_READ(FLASH_CR) & FLASH_CR_LOCK) {
        REG_WRITE(FLASH_KEYR, FLASH_KEY1);
        REG_WRITE(FLASH_KEYR, FLASH_KEY2);
    }
}

void FLASH_OB_Unlock(void)
{
    if (REG_READ(FLASH_CR) & FLASH_CR_OPTLOCK) {
        REG_WRITE(FLASH_OPTKEYR, FLASH_OPTKEY1);
        REG_WRITE(FLASH_OPTKEYR, FLASH_OPTKEY2);
    }
}

/* The second core reads 0 from CPUID; it drives the flash through its own status and control. */
uint32_t Is_Cortex_M0(void)
{
    return REG_READ(SCB_CPUID) == 0u ? 1u : 0u;
}

uint32_t Is_Secure(void)
{
    return (REG_READ(FLASH_OPTR) & OPTR_ESE) ? 1u : 0u;
}
