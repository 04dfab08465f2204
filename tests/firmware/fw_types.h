/* fw_types.h - types of the test firmware: one of every kind the symbol reader must lay out. */
#ifndef FW_TYPES_H
#define FW_TYPES_H
#include <stdbool.h>
#include <stdint.h>

/* A typedef'd anonymous enumeration with a negative enumerator. */
typedef enum { MODE_IDLE = 1, MODE_RUN = 2, MODE_FAULT = -3 } mode_t;
enum color { COLOR_RED, COLOR_GREEN = 5, COLOR_BLUE = 200 };

struct vec3 { float x, y, z; };

struct pid {
    float kp, ki, kd;
    struct vec3 state;        /* structure nested in a structure */
    int32_t limits[3];
    int8_t trim;
    double integral;
};

/* Self-referencing list node. */
struct node {
    int32_t value;
    struct node* next;
};

union word {
    uint32_t u32;
    uint8_t bytes[4];
    float f;
};

/* Bit fields of 1 to 31 bits, most of them past the first word. */
struct flags {
    uint32_t header;
    uint8_t tag;
    uint32_t a : 1;
    uint32_t b : 7;
    uint32_t c : 13;
    uint32_t d : 31;
    uint16_t e : 9;
    uint8_t f : 3;
    int32_t g : 5;
    uint32_t h : 24;
    int16_t i : 11;
    uint32_t j : 2;
};

struct motor {
    struct pid speed;
    struct pid current;
    union word status;
    struct flags bits;
    mode_t mode;
    enum color led;
    uint16_t samples[6];
    struct node* queue;
};

/* Declared here and defined in fw_types.c: the definition points back at this declaration. */
extern struct motor g_motor;
extern const uint32_t g_const_table[5];

uint32_t fw_tick(void);
uint32_t fw_other_touch(void);

#endif
