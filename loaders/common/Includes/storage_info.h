/* storage_info.h - the device descriptor that the programming software reads from every loader
 * image (200 bytes at address 0, little-endian). */
#ifndef STORAGE_INFO_H
#define STORAGE_INFO_H

#include <stdint.h>

#define SECTOR_NUM 10 /* sector groups in the descriptor; a zero group ends the list */

/* One group of equally sized sectors. */
struct DeviceSectors {
    uint32_t SectorNum;  /* number of sectors in this group */
    uint32_t SectorSize; /* bytes per sector */
};

/* The descriptor itself: what the device is, where its flash lies and how it is divided. */
struct StorageInfo {
    char DeviceName[100]; /* NUL-padded */
    uint16_t DeviceType;  /* 1: internal flash */
    uint32_t DeviceStartAddress;
    uint32_t DeviceSize;
    uint32_t PageSize;
    uint8_t EraseValue;
    struct DeviceSectors sectors[SECTOR_NUM];
};

#define DEVICE_TYPE_MCU_FLASH 1u

_Static_assert(sizeof(struct DeviceSectors) == 8, "DeviceSectors is 8 bytes");
_Static_assert(sizeof(struct StorageInfo) == 200, "StorageInfo is 200 bytes");
_Static_assert(__builtin_offsetof(struct StorageInfo, DeviceType) == 100, "DeviceType at 100");
_Static_assert(__builtin_offsetof(struct StorageInfo, DeviceStartAddress) == 104, "start at 104");
_Static_assert(__builtin_offsetof(struct StorageInfo, EraseValue) == 116, "EraseValue at 116");
_Static_assert(__builtin_offsetof(struct StorageInfo, sectors) == 120, "sectors at 120");

/* The descriptor lives in its own section so the link places it at address 0. */
#if defined(LOADER_HOST_SIM)
#define STORAGE_INFO_PLACEMENT
#else
#define STORAGE_INFO_PLACEMENT __attribute__((used, section(".storage_info")))
#endif

#endif
