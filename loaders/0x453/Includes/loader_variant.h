/* loader_variant.h - what sets loader-453 apart from loader-443, which shares its code. */
#ifndef LOADER_VARIANT_H
#define LOADER_VARIANT_H

#define LOADER_DEVICE_NAME "0x453"
#define LOADER_PAGE_SIZE 0x800u
/* 0: Init unlocks the flash before the watchdog step. */
#define LOADER_WATCHDOG_BEFORE_UNLOCK 0

#endif
