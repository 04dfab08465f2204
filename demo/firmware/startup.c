/* startup.c - vector table and reset handler: copy .data from flash, clear .bss, run main. */
#include <stdint.h>

extern uint32_t _sidata, _sdata, _edata, _sbss, _ebss, _estack;
int main(void);
void SysTick_Handler(void);

void Reset_Handler(void) {
    uint32_t* src = &_sidata;
    for (uint32_t* dst = &_sdata; dst < &_edata;) *dst++ = *src++;
    for (uint32_t* dst = &_sbss; dst < &_ebss;) *dst++ = 0;
    /* SysTick at 1 kHz from a 72 MHz core clock. */
    *(volatile uint32_t*)0xE000E014u = 72000u - 1u;
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
