/* fw_packed.c - packed structures with bit fields that overrun their type's unit, typedef'd
 * arrays of arrays, character and non-character byte arrays, enumerations in bit fields, and a
 * group of small globals that clang merges at -Oz and -O3. */
#include <stdbool.h>
#include <stdint.h>

#define KEEP __attribute__((used))

enum level { LEVEL_LOW, LEVEL_MID, LEVEL_HIGH };

/* b spans bits 5..34 (past its own 4-byte unit); d spans 57 bits from bit 7 of byte 5. */
struct __attribute__((packed)) straddle {
    uint8_t a : 5;
    uint32_t b : 30;
    uint16_t c : 12;
    uint64_t d : 50;
    enum level lv : 2;
    uint8_t tail;
};
KEEP struct straddle g_straddle = {21, 0x2AAAAAABu, 0xABC, 0x2123456789ABCull, LEVEL_HIGH, 0x7E};

/* wide spans 62 bits from bit 3: no 8-byte unit holds it (no leaf); its neighbours still do. */
struct __attribute__((packed)) too_wide {
    uint8_t head : 3;
    uint64_t wide : 62;
    uint8_t after;
};
KEEP struct too_wide g_too_wide = {5, 0x1555555555555555ull, 0x42};

typedef struct pt {
    int16_t x, y;
} pt_t;
typedef pt_t row_t[2];
KEEP row_t g_rows[3] = {{{1, 2}, {3, 4}}, {{5, 6}, {7, 8}}, {{9, 10}, {11, 12}}};
typedef uint16_t cell_t[3];
KEEP cell_t g_cells[2] = {{1, 2, 3}, {4, 5, 6}};

KEEP char g_text[20] = "nineteen characters";
KEEP unsigned char g_utext[17] = "sixteen letters!";
KEEP bool g_bools[20] = {true, false, true};
KEEP int8_t g_i8s[18] = {-1, 2, -3};
KEEP uint8_t g_u8s[20] = {200, 201, 202};
KEEP enum level g_levels[18] = {LEVEL_MID, LEVEL_HIGH};

/* Small file statics used together: clang merges them into one block. */
static int32_t m_a = 101;
static int32_t m_b = 102;
static int16_t m_c = 103;
static uint8_t m_d = 104;
static int32_t m_e = 105;
static uint16_t m_f = 1050;
static int32_t m_g = 107;

int32_t fw_packed_touch(void) {
    m_a += m_g;
    m_b += m_a;
    m_c = (int16_t)(m_c + m_b);
    m_d = (uint8_t)(m_d + m_c);
    m_e += m_d;
    m_f = (uint16_t)(m_f + m_e);
    m_g = (int32_t)m_f;
    return m_g + g_straddle.b + g_rows[1][1].y + g_text[3] + g_too_wide.after;
}

void Reset_Handler(void) {
    volatile int32_t sink = 0;
    for (;;) sink += fw_packed_touch();
}
