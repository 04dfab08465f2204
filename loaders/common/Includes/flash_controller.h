/* flash_controller.h - what the flash controllers of all three device families have in common: the
 * published unlock keys and the control and status bits at the same places. */
#ifndef FLASH_CONTROLLER_H
#define FLASH_CONTROLLER_H

#define FLASH_KEY1 0x45670123u
#define FLASH_KEY2 0xCDEF89ABu
#define FLASH_OPTKEY1 0x08192A3Bu
#define FLASH_OPTKEY2 0x4C5D6E7Fu

#define FLASH_CR_PG (1u << 0)
#define FLASH_CR_PER (1u << 1)
#define FLASH_CR_PNB_SHIFT 3u
#define FLASH_CR_PNB_MASK (0xFFu << FLASH_CR_PNB_SHIFT)
#define FLASH_CR_STRT (1u << 16)
#define FLASH_CR_OPTSTRT (1u << 17)
#define FLASH_CR_OBL_LAUNCH (1u << 27)
#define FLASH_CR_OPTLOCK (1u << 30)
#define FLASH_CR_LOCK (1u << 31)

#define FLASH_SR_EOP (1u << 0)
#define FLASH_SR_BSY (1u << 16)

#endif
