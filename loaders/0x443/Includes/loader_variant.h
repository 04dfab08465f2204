/* loader_variant.h - loader-443 runs the code of loader-453 with its own descriptor and with the
 * watchdog step ahead of the flash unlock in Init. */
#ifndef LOADER_VARIANT_H
#define LOADER_VARIANT_H

#define LOADER_DEVICE_NAME "0x443"
#define LOADER_PAGE_SIZE 0x1000u
/* 1: Init runs the watchdog step before it unlocks the flash. */
#define LOADER_WATCHDOG_BEFORE_UNLOCK 1

#endif
