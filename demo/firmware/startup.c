/* startup.c - vector table and reset handler: copy .data from flash, clear .bss, run main. */
#include <stdint.h>

extern uint32_t _sidata, _sdata, _edata, _sbss, _ebss, _estack;
int main(void);
void SysTick_Handler(void);

/* SysTick reload for a 1 ms tick: 72 MHz core clock by default; the QEMU build (netduinoplus2,
 * 168 MHz) passes its own. */
#ifndef KX_SYSTICK_RELOAD
#define KX_SYSTICK_RELOAD (72000u - 1u)
#endif

void Reset_Handler(void) {
    /* The image is built for the hardware FPU: grant CP10/CP11 full access before any floating
     * point instruction runs, or the first one faults. */
    *(volatile uint32_t*)0xE000ED88u |= 0xFu << 20;
    __asm volatile("dsb\n\tisb" ::: "memory");
    uint32_t* src = &_sidata;
    for (uint32_t* dst = &_sdata; dst < &_edata;) *dst++ = *src++;
    for (uint32_t* dst = &_sbss; dst < &_ebss;) *dst++ = 0;
    /* SysTick at 1 kHz from the core clock. */
    *(volatile uint32_t*)0xE000E014u = KX_SYSTICK_RELOAD;
    *(volatile uint32_t*)0xE000E018u = 0u;
    *(volatile uint32_t*)0xE000E010u = 7u;
    main();
    for (;;) {
    }
}

static void Default_Handler(void) {
    for (;;) {
    }
}

__attribute__((section(".isr_vector"), used)) static void* const g_vectors[16] = {
    &_estack, (void*)Reset_Handler, (void*)Default_Handler, (void*)Default_Handler,
    0, 0, 0, 0, 0, 0, 0, (void*)Default_Handler, 0, 0, (void*)Default_Handler, (void*)SysTick_Handler,
};
