/* Dev_Inf.c - the device descriptor of loader-495 (1 MB in 4 KB sectors). */
#include "storage_info.h"

STORAGE_INFO_PLACEMENT const struct StorageInfo StorageInfo = {
    .DeviceName = "0x495",
    .DeviceType = DEVICE_TYPE_MCU_FLASH,
    .DeviceStartAddress = 0x08000000u,
    .DeviceSize = 0x00100000u,
    .PageSize = 0x1000u,
    .EraseValue = 0xFFu,
    .sectors = {{256u, 0x1000u}},
};
