/* loader_bus.h - the one door to the hardware for every flash-loader image.
 *
 * Every device-register and flash access of the loaders goes through LOADER_BUS, and interrupts are
 * masked and unmasked only through LOADER_IRQ_*. On the target these are plain volatile accesses and
 * CPSID/CPSIE; the host build (LOADER_HOST_SIM) routes them into a simulated device so the same C
 * sources can be tested natively. Addresses are target addresses (32-bit) in both builds. */
#ifndef LOADER_BUS_H
#define LOADER_BUS_H

#include <stdint.h>

#define LOADER_BUS_READ32 0u
#define LOADER_BUS_WRITE32 1u
#define LOADER_BUS_READ8 2u

#if defined(LOADER_HOST_SIM)
uint32_t loader_sim_bus(uint32_t op, uint32_t address, uint32_t value);
void loader_sim_irq(uint32_t enabled);
#define LOADER_BUS(op, address, value) loader_sim_bus((op), (address), (value))
#define LOADER_IRQ_DISABLE() loader_sim_irq(0u)
#define LOADER_IRQ_ENABLE() loader_sim_irq(1u)
#else
/* Folds to a single load or store: `op` is always a constant at the call site. */
static inline __attribute__((always_inline)) uint32_t loader_bus_access(uint32_t op, uint32_t address,
                                                                        uint32_t value)
{
    if (op == LOADER_BUS_READ8)
        return *(volatile const uint8_t *)(uintptr_t)address;
    if (op == LOADER_BUS_READ32)
        return *(volatile const uint32_t *)(uintptr_t)address;
    *(volatile uint32_t *)(uintptr_t)address = value;
    return value;
}
#define LOADER_BUS(op, address, value) loader_bus_access((op), (address), (value))
#define LOADER_IRQ_DISABLE() __asm volatile("cpsid i" ::: "memory")
#define LOADER_IRQ_ENABLE() __asm volatile("cpsie i" ::: "memory")
#endif

#define REG_READ(address) LOADER_BUS(LOADER_BUS_READ32, (address), 0u)
#define REG_WRITE(address, value) ((void)LOADER_BUS(LOADER_BUS_WRITE32, (address), (value)))
#define REG_SET(address, bits) REG_WRITE((address), REG_READ(address) | (uint32_t)(bits))
#define REG_CLEAR(address, bits) REG_WRITE((address), REG_READ(address) & ~(uint32_t)(bits))
#define MEM_READ8(address) ((uint8_t)LOADER_BUS(LOADER_BUS_READ8, (address), 0u))

#endif
