/* loader_common.h - small pieces every loader image needs in the same form: the 8-byte programming
 * unit, the option-byte image, the main-flash-empty bit and the watchdog step. Header-only so each
 * image carries its own copy and links against nothing. */
#ifndef LOADER_COMMON_H
#define LOADER_COMMON_H

#include <stdint.h>

#include "loader_bus.h"

#define MAIN_FLASH_START 0x08000000u
#define PROGRAM_UNIT 8u /* flash is programmed in double words */

#define ACR_EMPTY (1u << 16)     /* main flash empty: boot from system memory */
#define OPTR_IWDG_SW (1u << 16)  /* 0: the independent watchdog starts by hardware */

#define IWDG_KR 0x40003000u
#define IWDG_PR 0x40003004u
#define IWDG_RLR 0x40003008u
#define IWDG_KEY_REFRESH 0xAAAAu
#define IWDG_KEY_ACCESS 0x5555u
#define WWDG_CR 0x40002C00u
#define WWDG_CFR 0x40002C04u

/* One entry of an option-byte address table: the low byte of an option-byte address (above the
 * table's base) and the byte of the option register image it lands in. */
typedef struct {
    uint8_t address_low;
    uint8_t image_index;
} OptionByteSlot;

/* Little-endian word from bytes: the data buffer need not be word aligned. */
static inline uint32_t loader_word_from_bytes(const uint8_t *bytes)
{
    return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) |
           ((uint32_t)bytes[3] << 24);
}

/* The next programming unit from `buffer`: `count` bytes (at most 8), the rest padded with 0xFF so
 * the untouched bytes of the double word stay erased. */
static inline void loader_take_unit(const uint8_t *buffer, uint32_t count, uint32_t unit[2])
{
    uint8_t bytes[PROGRAM_UNIT];
    for (uint32_t i = 0; i < PROGRAM_UNIT; i++)
        bytes[i] = i < count ? buffer[i] : 0xFFu;
    unit[0] = loader_word_from_bytes(bytes);
    unit[1] = loader_word_from_bytes(bytes + 4);
}

/* Replaces byte `index` of a little-endian word image. */
static inline void loader_image_put(uint32_t *image, uint32_t index, uint8_t value)
{
    uint32_t shift = (index & 3u) * 8u;
    image[index >> 2] = (image[index >> 2] & ~(0xFFu << shift)) | ((uint32_t)value << shift);
}

/* Image byte for an option-byte address `offset` above the table base, or -1 when unlisted. */
static inline int32_t loader_option_slot(const OptionByteSlot *table, uint32_t count, uint32_t offset)
{
    for (uint32_t i = 0; i < count; i++)
        if (table[i].address_low == offset)
            return table[i].image_index;
    return -1;
}

/* Keeps the main-flash-empty bit in line with the first flash word, so that a reset boots from
 * flash exactly when flash holds a program. Programming can only clear it, erasing only set it. */
static inline void loader_sync_empty_bit(uint32_t acr, int may_set, int may_clear)
{
    if (REG_READ(MAIN_FLASH_START) == 0xFFFFFFFFu) {
        if (may_set)
            REG_SET(acr, ACR_EMPTY);
    } else if (may_clear) {
        REG_CLEAR(acr, ACR_EMPTY);
    }
}

/* With the hardware watchdog on, give the independent watchdog its longest timeout and park the
 * window watchdog, so a long erase does not reset the target under the programming software. */
static inline void loader_watchdog_step(uint32_t option_register)
{
    if ((REG_READ(option_register) & OPTR_IWDG_SW) != 0u)
        return;
    REG_WRITE(IWDG_KR, IWDG_KEY_REFRESH);
    REG_WRITE(IWDG_KR, IWDG_KEY_ACCESS);
    REG_WRITE(IWDG_PR, 6u);
    REG_WRITE(IWDG_RLR, 0xFFFu);
    REG_WRITE(WWDG_CFR, 0x1FFu);
    REG_WRITE(WWDG_CR, 0x7Fu);
}

#endif
