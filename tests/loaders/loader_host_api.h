// loader_host_api.h - the host-built loader images as the tests call them: each image's global
// names carry its prefix (l495_, l453_, l443_).
#pragma once
#include <cstdint>

// The entry points and flash routines of one single-core image (0x453 or 0x443).
#define LOADER_DECLARE_SINGLE_CORE(p)                                                              \
    extern "C" {                                                                                   \
    int p##Init(void);                                                                             \
    int p##Write(uint32_t Address, uint32_t Size, uint8_t* buffer);                                \
    int p##SectorErase(uint32_t StartAddress, uint32_t EndAddress, uint32_t OrcaType, uint32_t DualBank); \
    int p##MassErase(uint32_t Parallelism);                                                        \
    int p##WriteOB(uint32_t Address, uint32_t Size, uint8_t* buffer);                              \
    uint32_t p##CheckSum(uint32_t StartAddress, uint32_t Size, uint32_t InitVal);                  \
    uint64_t p##Verify(uint32_t FlashAddr, uint32_t RAMBufferAddr, uint32_t Size, uint32_t missalignement); \
    uint8_t p##FLASH_GetStatus(void);                                                              \
    uint8_t p##FLASH_WaitForLastOperation(void);                                                   \
    uint8_t p##FLASH_GetFlagStatus(uint32_t flag);                                                 \
    void p##FLASH_ClearFlag(uint32_t flag);                                                        \
    uint8_t p##FLASH_EraseAllBank2Pages(void);                                                     \
    }

LOADER_DECLARE_SINGLE_CORE(l453_)
LOADER_DECLARE_SINGLE_CORE(l443_)

extern "C" {
int l495_Init(void);
int l495_Write(uint32_t Address, uint32_t Size, uint8_t* buffer);
int l495_SectorErase(uint32_t StartAddress, uint32_t EndAddress);
int l495_MassErase(uint32_t Parallelism);
int l495_WriteOB(uint32_t Address, uint32_t Size, uint8_t* buffer);
uint32_t l495_Is_Cortex_M0(void);
}

// FLASH_Status values.
enum : uint8_t { ST_BUSY = 1, ST_ERROR_RD = 2, ST_ERROR_WRP = 6, ST_ERROR_PROGRAM = 7, ST_ERROR_OPERATION = 8, ST_COMPLETE = 9 };
