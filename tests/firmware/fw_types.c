/* fw_types.c - global variables of every type, all with distinctive initial values so that a
 * test can compare what the symbol reader says against the bytes and against a debugger. */
#include "fw_types.h"

#define KEEP __attribute__((used))

int8_t g_i8 = -5;
uint8_t g_u8 = 200;
int16_t g_i16 = -1234;
uint16_t g_u16 = 54321;
int32_t g_i32 = -123456789;
uint32_t g_u32 = 0xDEADBEEFu;
int64_t g_i64 = -1234567890123LL;
uint64_t g_u64 = 0x0123456789ABCDEFull;
float g_f32 = 3.25f;
double g_f64 = -2.5e10;
bool g_flag = true;
mode_t g_mode = MODE_FAULT;
enum color g_color = COLOR_BLUE;
int32_t* g_ptr = &g_i32;
volatile uint32_t g_volatile_reg = 0x55AA55AAu;
union word g_word = {0x11223344u};
int16_t g_table[8] = {1, -2, 3, -4, 5, -6, 7, -8};
uint8_t g_matrix[4][8] = {{1, 2, 3, 4, 5, 6, 7, 8}, {9, 10}, {11}, {12, 13, 14}};
uint8_t g_short_buf[12] = {0xA0, 0xA1, 0xA2};
char g_name[24] = "kestrelix-test-firmware";
uint8_t g_long_buf[40] = {0xB0, 0xB1};
float g_curve[2][3] = {{0.5f, 1.5f, 2.5f}, {3.5f, 4.5f, 5.5f}};

struct flags g_flags = {
    .header = 0xCAFEF00Du, .tag = 0x5A, .a = 1, .b = 0x55, .c = 0x1ABC, .d = 0x5A5A5A5A,
    .e = 0x1F3, .f = 5, .g = -7, .h = 0xABCDEF, .i = -300, .j = 2,
};

struct node g_nodes[3] = {{10, &g_nodes[1]}, {20, &g_nodes[2]}, {30, 0}};
struct node* g_head = &g_nodes[0];

struct motor g_motor = {
    .speed = {1.0f, 0.25f, 0.125f, {1.5f, -2.5f, 3.5f}, {100, -100, 50}, -9, 12.75},
    .current = {2.0f, 0.5f, 0.0625f, {0.1f, 0.2f, 0.3f}, {7, 8, 9}, 4, -1.5},
    .status = {0xA5A5F00Fu},
    .bits = {.header = 0x01020304u, .tag = 0x7E, .a = 0, .b = 0x2A, .c = 0x0F0F, .d = 0x12345678,
             .e = 0x0AA, .f = 3, .g = 9, .h = 0x123456, .i = 777, .j = 1},
    .mode = MODE_RUN,
    .led = COLOR_GREEN,
    .samples = {11, 22, 33, 44, 55, 66},
    .queue = &g_nodes[1],
};

/* Constant data placed in flash. */
const uint32_t g_const_table[5] = {0x10000001u, 0x20000002u, 0x30000003u, 0x40000004u, 0x50000005u};

/* File statics: s_shared has a namesake in fw_other.c. */
static KEEP uint32_t s_counter = 0x77777777u;
static KEEP uint16_t s_shared = 0x1111;

uint32_t fw_tick(void) {
    /* A function-local static has a fixed address; a stack local does not. */
    static KEEP uint32_t tick_calls = 0x33333333u;
    volatile uint32_t on_stack = s_counter + s_shared;
    tick_calls += on_stack;
    return tick_calls;
}
