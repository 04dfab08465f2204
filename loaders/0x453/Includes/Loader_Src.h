/* Loader_Src.h - the entry points the programming software calls (arguments in r0-r3). */
#ifndef LOADER_SRC_H
#define LOADER_SRC_H

#include <stdint.h>

int Init(void);
int Write(uint32_t Address, uint32_t Size, uint8_t *buffer);
int SectorErase(uint32_t StartAddress, uint32_t EndAddress, uint32_t OrcaType, uint32_t DualBank);
int MassErase(uint32_t Parallelism);
int WriteOB(uint32_t Address, uint32_t Size, uint8_t *buffer);
uint32_t CheckSum(uint32_t StartAddress, uint32_t Size, uint32_t InitVal);
uint64_t Verify(uint32_t FlashAddr, uint32_t RAMBufferAddr, uint32_t Size, uint32_t missalignement);

#endif
