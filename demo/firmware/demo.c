/* demo.c - a small motor controller: a 1 kHz control loop driven by SysTick, a PI speed
 * controller with limits, a drive state machine, test waveforms and a few raw signals. */
#include "demo.h"

Motor g_motor = {
    .mode = MODE_SPEED,
    .state = STATE_INIT,
    .speed_setpoint_rpm = 1500.0f,
    .open_loop_current_a = 2.0f,
    .speed_pi = {.kp = 0.004f, .ki = 0.02f, .out_min = -8.0f, .out_max = 8.0f},
    .limits = {.max_current_a = 10.0f, .max_speed_rpm = 4000.0f, .min_bus_dv = 180},
};
Sensors g_sensors = {.bus_voltage_v = 24.0};
Waveforms g_wave = {.frequency_hz = 1.0f, .amplitude = 100.0f};
RegisterView g_status_reg;
volatile uint32_t g_tick_ms;
double g_uptime_s;
uint64_t g_cycle_count;
int64_t g_energy_mj;
int8_t g_temp_offset_c = -2;
bool g_led_on;
uint16_t g_adc_raw[8];
float g_phase_current[3];
int32_t g_speed_history[128];
char g_build_tag[24] = "kestrelix-demo-1.0";
Motor* g_active_motor = &g_motor;
const char* g_firmware_name = "Kestrelix demo motor controller";

static uint32_t s_history_index;
static float s_phase_angle;

/* Crude sine for the firmware itself (the board has no libm in this image). */
static float demo_sin(float x) {
    const float pi = 3.14159265f;
    while (x > pi) x -= 2.0f * pi;
    while (x < -pi) x += 2.0f * pi;
    float y = 1.27323954f * x - 0.405284735f * x * (x < 0 ? -x : x);
    return 0.225f * (y * (y < 0 ? -y : y) - y) + y;
}

static float clampf(float v, float lo, float hi) { return v < lo ? lo : v > hi ? hi : v; }

static void run_state_machine(Motor* m) {
    switch (m->state) {
        case STATE_INIT:
            if (g_uptime_s > 0.5) m->state = STATE_READY;
            break;
        case STATE_READY:
            if (m->mode != MODE_IDLE) m->state = STATE_RUNNING;
            break;
        case STATE_RUNNING:
            if (m->mode == MODE_IDLE) m->state = STATE_READY;
            if (m->current_a > m->limits.max_current_a || m->current_a < -m->limits.max_current_a) {
                m->state = STATE_FAULT;
                m->flags.overcurrent = 1;
                m->fault_count++;
            }
            break;
        case STATE_FAULT:
            if (m->mode == MODE_IDLE) {
                m->flags.overcurrent = 0;
                m->state = STATE_READY;
            }
            break;
    }
}

void demo_control_step(float dt) {
    Motor* m = &g_motor;
    run_state_machine(m);
    float command = 0.0f;
    if (m->state == STATE_RUNNING) {
        float setpoint = m->mode == MODE_SWEEP ? m->speed_setpoint_rpm * (0.5f + 0.5f * g_wave.sine / 100.0f)
                                               : m->speed_setpoint_rpm;
        setpoint = clampf(setpoint, -m->limits.max_speed_rpm, m->limits.max_speed_rpm);
        float error = setpoint - m->speed_rpm;
        PiController* pi = &m->speed_pi;
        pi->integral = clampf(pi->integral + pi->ki * error * dt, pi->out_min, pi->out_max);
        command = m->mode == MODE_OPEN_LOOP ? m->open_loop_current_a
                                            : clampf(pi->kp * error + pi->integral, pi->out_min, pi->out_max);
    } else {
        m->speed_pi.integral = 0.0f;
    }
    m->current_a = command;
    m->speed_rpm += (900.0f * command - 0.8f * m->speed_rpm) * dt;
    m->flags.enabled = m->state == STATE_RUNNING;
    m->flags.reverse = m->speed_rpm < 0.0f;
    s_phase_angle += m->speed_rpm * 0.10471976f * 4.0f * dt;
    for (int i = 0; i < 3; i++) g_phase_current[i] = command * demo_sin(s_phase_angle - 2.0943951f * (float)i);
    m->flags.hall = (uint8_t)((int)(s_phase_angle * 0.95492966f) % 6 + 1);
    g_speed_history[s_history_index++ % 128] = (int32_t)m->speed_rpm;
}

void SysTick_Handler(void) {
    g_tick_ms++;
    g_uptime_s += 0.001;
    g_cycle_count++;
    float t = (float)g_uptime_s;
    g_wave.sine = g_wave.amplitude * demo_sin(6.2831853f * g_wave.frequency_hz * t);
    g_wave.square = g_wave.sine >= 0.0f ? 1000 : -1000;
    g_wave.sawtooth = (uint16_t)(g_tick_ms * 65u);
    demo_control_step(0.001f);
    g_led_on = (g_tick_ms / 250u) & 1u;
}

int main(void) {
    for (;;) {
        __asm volatile("wfi");
        g_status_reg.word = (uint32_t)g_motor.state | ((uint32_t)g_motor.mode << 8) | (g_tick_ms << 16);
        for (int i = 0; i < 8; i++) g_adc_raw[i] = (uint16_t)(2048 + (int)(g_phase_current[i % 3] * 100.0f));
        g_energy_mj += (int64_t)(g_motor.current_a * 24.0f);
        g_sensors.board_temp_c = 25.0f + (float)g_temp_offset_c + g_motor.current_a * 0.5f;
        g_sensors.accel.z = 1000;
    }
}
