/* loader_host_names.h - forced into every loader source of the host build: gives the global names
 * of one image the prefix LOADER_HOST_PREFIX, so the three images can share one test binary. */
#ifndef LOADER_HOST_NAMES_H
#define LOADER_HOST_NAMES_H

#define LOADER_HOST_CAT2(prefix, name) prefix##name
#define LOADER_HOST_CAT(prefix, name) LOADER_HOST_CAT2(prefix, name)
#define LOADER_HOST_NAME(name) LOADER_HOST_CAT(LOADER_HOST_PREFIX, name)

#define Init LOADER_HOST_NAME(Init)
#define Write LOADER_HOST_NAME(Write)
#define SectorErase LOADER_HOST_NAME(SectorErase)
#define MassErase LOADER_HOST_NAME(MassErase)
#define WriteOB LOADER_HOST_NAME(WriteOB)
#define CheckSum LOADER_HOST_NAME(CheckSum)
#define Verify LOADER_HOST_NAME(Verify)
#define StorageInfo LOADER_HOST_NAME(StorageInfo)
#define FLASH_Unlock LOADER_HOST_NAME(FLASH_Unlock)
#define FLASH_Lock LOADER_HOST_NAME(FLASH_Lock)
#define FLASH_OB_Unlock LOADER_HOST_NAME(FLASH_OB_Unlock)
#define FLASH_ErasePage LOADER_HOST_NAME(FLASH_ErasePage)
#define FLASH_EraseAllPages LOADER_HOST_NAME(FLASH_EraseAllPages)
#define FLASH_EraseAllBank1Pages LOADER_HOST_NAME(FLASH_EraseAllBank1Pages)
#define FLASH_EraseAllBank2Pages LOADER_HOST_NAME(FLASH_EraseAllBank2Pages)
#define FLASH_ProgramDoubleWord LOADER_HOST_NAME(FLASH_ProgramDoubleWord)
#define FLASH_GetFlagStatus LOADER_HOST_NAME(FLASH_GetFlagStatus)
#define FLASH_ClearFlag LOADER_HOST_NAME(FLASH_ClearFlag)
#define FLASH_GetStatus LOADER_HOST_NAME(FLASH_GetStatus)
#define FLASH_WaitForLastOperation LOADER_HOST_NAME(FLASH_WaitForLastOperation)
#define Is_Cortex_M0 LOADER_HOST_NAME(Is_Cortex_M0)
#define Is_Secure LOADER_HOST_NAME(Is_Secure)

#endif
