/* fw_other.c - a second unit: its own namesake file static and the entry point. */
#include "fw_types.h"

static __attribute__((used)) uint16_t s_shared = 0x2222;
uint32_t g_bss_counter;

uint32_t fw_other_touch(void) { return s_shared + g_bss_counter; }

/* Entry point: touches everything so that optimised builds keep every variable. */
void Reset_Handler(void) {
    for (;;) {
        g_bss_counter += fw_tick() + fw_other_touch() + g_const_table[g_bss_counter & 3] +
                         (uint32_t)g_motor.mode;
    }
}
