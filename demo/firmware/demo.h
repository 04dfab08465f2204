/* demo.h - the demo motor controller's data: every global here can be watched in Kestrelix,
 * and the parameters (setpoint, PI gains, limits, mode) can be calibrated while it runs. */
#ifndef DEMO_H
#define DEMO_H

#include <stdbool.h>
#include <stdint.h>

/* Operating mode chosen by the user. */
typedef enum { MODE_IDLE = 0, MODE_SPEED = 1, MODE_OPEN_LOOP = 2, MODE_SWEEP = 3 } ControlMode;

/* State machine of the drive. */
typedef enum { STATE_INIT = 0, STATE_READY = 1, STATE_RUNNING = 2, STATE_FAULT = 3 } DriveState;

/* PI controller: gains, output limits and the integrator. */
typedef struct {
    float kp;
    float ki;
    float integral;
    float out_min;
    float out_max;
} PiController;

/* Protection limits. */
typedef struct {
    float max_current_a;
    float max_speed_rpm;
    int16_t min_bus_dv; /* bus voltage in 0.1 V */
} Limits;

/* Status bits as the drive reports them. */
typedef struct {
    uint8_t enabled : 1;
    uint8_t overcurrent : 1;
    uint8_t overtemp : 1;
    uint8_t undervolt : 1;
    uint8_t reverse : 1;
    uint8_t hall : 3;
} StatusFlags;

/* The motor: parameters, signals and state. */
typedef struct {
    ControlMode mode;
    DriveState state;
    float speed_setpoint_rpm;
    float speed_rpm;
    float current_a;
    float open_loop_current_a;
    PiController speed_pi;
    Limits limits;
    StatusFlags flags;
    uint8_t reserved[3];
    uint32_t fault_count;
    int32_t position_counts;
} Motor;

/* A raw register seen three ways. */
typedef union {
    uint32_t word;
    uint16_t half[2];
    uint8_t bytes[4];
} RegisterView;

/* Inertial and temperature sensors. */
typedef struct {
    struct {
        int16_t x;
        int16_t y;
        int16_t z;
    } accel;
    float board_temp_c;
    double bus_voltage_v;
} Sensors;

/* Test waveforms. */
typedef struct {
    float sine;
    float triangle;
    int16_t square;
    uint16_t sawtooth;
    float frequency_hz;
    float amplitude;
} Waveforms;

extern Motor g_motor;
extern Sensors g_sensors;
extern Waveforms g_wave;
extern RegisterView g_status_reg;
extern volatile uint32_t g_tick_ms;
extern double g_uptime_s;
extern uint64_t g_cycle_count;
extern int64_t g_energy_mj;
extern int8_t g_temp_offset_c;
extern bool g_led_on;
extern uint16_t g_adc_raw[8];
extern float g_phase_current[3];
extern int32_t g_speed_history[128];
extern char g_build_tag[24];
extern Motor* g_active_motor;
extern const char* g_firmware_name;

void demo_control_step(float dt);

#endif
