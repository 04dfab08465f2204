/* Dev_Inf.c - the device descriptor of this image (32 KB in 2 KB sectors). */
#include "loader_variant.h"
#include "storage_info.h"

STORAGE_INFO_PLACEMENT const struct StorageInfo StorageInfo = {
    .DeviceName = LOADER_DEVICE_NAME,
    .DeviceType = DEVICE_TYPE_MCU_FLASH,
    .DeviceStartAddress = 0x08000000u,
    .DeviceSize = 0x00008000u,
    .PageSize = LOADER_PAGE_SIZE,
    .EraseValue = 0xFFu,
    .sectors = {{16u, 0x800u}},
};
