// sim_firmware.cpp - the demo firmware's behaviour, run on the simulated core's tick.
//
// The demo image (demo/firmware) is not executed instruction by instruction; its SysTick handler
// and main loop are mirrored here. Every value is read from and written back to simulated RAM at
// the variable's resolved address on each step, so whatever the user writes (setpoint, gains,
// limits, mode, even the integrator) persists and takes effect, and anything this file does not
// touch behaves as plain memory.
//
// Index
//   [SECTION] Variables
//   [SECTION] Typed access
//   [SECTION] One firmware step
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "sim_internal.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] Variables
//-------------------------------------------------------------------------------------------------

namespace {

// The demo variables the behaviour reads or writes, by dotted name.
enum Var : int32_t {
    V_MODE, V_STATE, V_SETPOINT, V_SPEED, V_CURRENT, V_OPEN_LOOP_CURRENT, V_KP, V_KI, V_INTEGRAL, V_OUT_MIN,
    V_OUT_MAX, V_MAX_CURRENT, V_MAX_SPEED, V_MIN_BUS, V_FLAG_ENABLED, V_FLAG_OVERCURRENT, V_FLAG_OVERTEMP,
    V_FLAG_UNDERVOLT, V_FLAG_REVERSE, V_FLAG_HALL, V_FAULT_COUNT, V_POSITION, V_TICK, V_UPTIME, V_CYCLES,
    V_ENERGY, V_TEMP_OFFSET, V_LED, V_SINE, V_TRIANGLE, V_SQUARE, V_SAWTOOTH, V_FREQUENCY, V_AMPLITUDE,
    V_ADC0, V_PHASE0 = V_ADC0 + 8, V_HISTORY0 = V_PHASE0 + 3, V_STATUS_REG = V_HISTORY0 + 128, V_ACCEL_X,
    V_ACCEL_Y, V_ACCEL_Z, V_BOARD_TEMP, V_BUS_VOLTAGE, V_HISTORY_INDEX, V_PHASE_ANGLE, V_COUNT
};

const char* const kNames[] = {
    "g_motor.mode", "g_motor.state", "g_motor.speed_setpoint_rpm", "g_motor.speed_rpm", "g_motor.current_a",
    "g_motor.open_loop_current_a", "g_motor.speed_pi.kp", "g_motor.speed_pi.ki", "g_motor.speed_pi.integral",
    "g_motor.speed_pi.out_min", "g_motor.speed_pi.out_max", "g_motor.limits.max_current_a",
    "g_motor.limits.max_speed_rpm", "g_motor.limits.min_bus_dv", "g_motor.flags.enabled",
    "g_motor.flags.overcurrent", "g_motor.flags.overtemp", "g_motor.flags.undervolt", "g_motor.flags.reverse",
    "g_motor.flags.hall", "g_motor.fault_count", "g_motor.position_counts", "g_tick_ms", "g_uptime_s",
    "g_cycle_count", "g_energy_mj", "g_temp_offset_c", "g_led_on", "g_wave.sine", "g_wave.triangle",
    "g_wave.square", "g_wave.sawtooth", "g_wave.frequency_hz", "g_wave.amplitude",
};
constexpr int32_t kNamedCount = (int32_t)(sizeof kNames / sizeof kNames[0]);
static_assert(kNamedCount == V_ADC0, "every named variable up to the arrays has a name");

enum DriveMode { MODE_IDLE = 0, MODE_SPEED = 1, MODE_OPEN_LOOP = 2, MODE_SWEEP = 3 };
enum DriveState { STATE_INIT = 0, STATE_READY = 1, STATE_RUNNING = 2, STATE_FAULT = 3 };

}  // namespace

// Resolved locations (valid[i] false = the variable is not in the current image).
struct SimFirmwareVars {
    SimVarLoc loc[V_COUNT];
    bool valid[V_COUNT];
    int32_t resolved;
    double phase_angle;    // used when the image's static is not visible
    uint32_t history_index;
    double carry;          // simulated time not yet stepped
};

SimFirmwareVars* sim_firmware_create() { return new (std::nothrow) SimFirmwareVars(); }
void sim_firmware_destroy(SimFirmwareVars* vars) { delete vars; }
int32_t sim_firmware_resolved(const SimFirmwareVars* vars) { return vars->resolved; }

int32_t sim_firmware_resolve(SimFirmwareVars* v, const ModuleGlobalVar* (*find_global)(const char* name)) {
    std::memset(v->loc, 0, sizeof v->loc);
    std::memset(v->valid, 0, sizeof v->valid);
    v->resolved = 0;
    if (!find_global) return 0;
    char name[64];
    for (int32_t i = 0; i < V_COUNT; i++) {
        if (i < kNamedCount) std::snprintf(name, sizeof name, "%s", kNames[i]);
        else if (i < V_PHASE0) std::snprintf(name, sizeof name, "g_adc_raw[%d]", (int)(i - V_ADC0));
        else if (i < V_HISTORY0) std::snprintf(name, sizeof name, "g_phase_current[%d]", (int)(i - V_PHASE0));
        else if (i < V_STATUS_REG) std::snprintf(name, sizeof name, "g_speed_history[%d]", (int)(i - V_HISTORY0));
        else {
            static const char* const kRest[] = {"g_status_reg.word", "g_sensors.accel.x", "g_sensors.accel.y",
                                                "g_sensors.accel.z", "g_sensors.board_temp_c",
                                                "g_sensors.bus_voltage_v", "s_history_index", "s_phase_angle"};
            std::snprintf(name, sizeof name, "%s", kRest[i - V_STATUS_REG]);
        }
        v->valid[i] = sim_resolve_path(find_global, name, &v->loc[i]);
        if (v->valid[i]) v->resolved++;
    }
    return v->resolved;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Typed access
//-------------------------------------------------------------------------------------------------

namespace {

// Reads a variable as a number (fallback when it is not resolved or not readable).
double get(SimTarget* t, Var var, double fallback = 0.0) {
    const SimFirmwareVars* v = t->vars;
    if (!v->valid[var]) return fallback;
    const SimVarLoc& l = v->loc[var];
    uint32_t size = l.size > 8 ? 8 : l.size;
    uint8_t b[8] = {};
    if (sim_read_locked(t, l.address, b, size) != (int32_t)size) return fallback;
    uint64_t u = 0;
    for (int i = (int)size - 1; i >= 0; i--) u = (u << 8) | b[i];
    if (l.is_bitfield) {
        uint64_t mask = l.bit_size >= 64 ? ~0ull : ((1ull << l.bit_size) - 1);
        return (double)((u >> l.bit_offset) & mask);
    }
    if (l.kind == KX_TYPE_FLOAT) {
        if (size == 4) {
            float f;
            uint32_t w = (uint32_t)u;
            std::memcpy(&f, &w, 4);
            return f;
        }
        double d;
        std::memcpy(&d, &u, 8);
        return d;
    }
    if (l.kind == KX_TYPE_INT && size < 8) {
        uint64_t sign = 1ull << (size * 8 - 1);
        return (double)(int64_t)((u ^ sign) - sign);
    }
    if (l.kind == KX_TYPE_INT) return (double)(int64_t)u;
    return (double)u;
}

void set(SimTarget* t, Var var, double value) {
    const SimFirmwareVars* v = t->vars;
    if (!v->valid[var]) return;
    const SimVarLoc& l = v->loc[var];
    uint32_t size = l.size > 8 ? 8 : l.size;
    uint64_t u = 0;
    if (l.is_bitfield) {
        uint8_t b[8] = {};
        if (sim_read_locked(t, l.address, b, size) != (int32_t)size) return;
        for (int i = (int)size - 1; i >= 0; i--) u = (u << 8) | b[i];
        uint64_t mask = (l.bit_size >= 64 ? ~0ull : ((1ull << l.bit_size) - 1)) << l.bit_offset;
        u = (u & ~mask) | (((uint64_t)(int64_t)value << l.bit_offset) & mask);
    } else if (l.kind == KX_TYPE_FLOAT && size == 4) {
        float f = (float)value;
        uint32_t w;
        std::memcpy(&w, &f, 4);
        u = w;
    } else if (l.kind == KX_TYPE_FLOAT) {
        std::memcpy(&u, &value, 8);
    } else {
        u = (uint64_t)(int64_t)std::llround(value);
    }
    uint8_t out[8];
    for (uint32_t i = 0; i < size; i++) out[i] = (uint8_t)(u >> (8 * i));
    sim_write_locked(t, l.address, out, size, false);
}

constexpr double kPi = 3.14159265358979323846;

double clamp(double x, double lo, double hi) { return x < lo ? lo : x > hi ? hi : x; }

//-------------------------------------------------------------------------------------------------
// [SECTION] One firmware step
//-------------------------------------------------------------------------------------------------

// The drive state machine (the firmware's run_state_machine).
void run_state_machine(SimTarget* t, double uptime) {
    int mode = (int)get(t, V_MODE);
    int state = (int)get(t, V_STATE);
    double current = get(t, V_CURRENT), max_current = get(t, V_MAX_CURRENT, 10.0);
    switch (state) {
        case STATE_INIT:
            if (uptime > 0.5) state = STATE_READY;
            break;
        case STATE_READY:
            if (mode != MODE_IDLE) state = STATE_RUNNING;
            break;
        case STATE_RUNNING:
            if (mode == MODE_IDLE) state = STATE_READY;
            if (std::fabs(current) > max_current) {
                state = STATE_FAULT;
                set(t, V_FLAG_OVERCURRENT, 1);
                set(t, V_FAULT_COUNT, get(t, V_FAULT_COUNT) + 1);
            }
            break;
        case STATE_FAULT:
            if (mode == MODE_IDLE) {
                set(t, V_FLAG_OVERCURRENT, 0);
                state = STATE_READY;
            }
            break;
        default: state = STATE_INIT; break;
    }
    set(t, V_STATE, state);
}

// One 1 ms SysTick of the demo firmware plus one pass of its main loop.
void firmware_tick_1ms(SimTarget* t) {
    SimFirmwareVars* v = t->vars;
    const double dt = 0.001;
    double tick = get(t, V_TICK) + 1;
    set(t, V_TICK, tick);
    double uptime = get(t, V_UPTIME) + dt;
    set(t, V_UPTIME, uptime);
    set(t, V_CYCLES, get(t, V_CYCLES) + 1);

    double freq = get(t, V_FREQUENCY, 1.0), amp = get(t, V_AMPLITUDE, 100.0);
    double cycle = std::fmod(uptime * freq, 1.0);
    double sine = amp * std::sin(2 * kPi * cycle);
    set(t, V_SINE, sine);
    set(t, V_TRIANGLE, amp * (cycle < 0.5 ? 4 * cycle - 1 : 3 - 4 * cycle));
    set(t, V_SQUARE, sine >= 0 ? 1000 : -1000);
    set(t, V_SAWTOOTH, (double)(((uint32_t)tick * 65u) & 0xFFFFu));

    // Speed loop: PI on the speed error, a first-order motor as the plant.
    run_state_machine(t, uptime);
    int mode = (int)get(t, V_MODE), state = (int)get(t, V_STATE);
    double speed = get(t, V_SPEED), command = 0;
    double out_min = get(t, V_OUT_MIN, -8), out_max = get(t, V_OUT_MAX, 8);
    if (out_min > out_max) out_max = out_min;
    if (state == STATE_RUNNING) {
        double max_speed = get(t, V_MAX_SPEED, 4000);
        double setpoint = get(t, V_SETPOINT);
        if (mode == MODE_SWEEP) setpoint *= 0.5 + 0.5 * (amp != 0 ? sine / amp : 0);
        setpoint = clamp(setpoint, -std::fabs(max_speed), std::fabs(max_speed));
        double error = setpoint - speed;
        double integral = clamp(get(t, V_INTEGRAL) + get(t, V_KI) * error * dt, out_min, out_max);
        set(t, V_INTEGRAL, integral);
        command = mode == MODE_OPEN_LOOP ? get(t, V_OPEN_LOOP_CURRENT)
                                         : clamp(get(t, V_KP) * error + integral, out_min, out_max);
    } else {
        set(t, V_INTEGRAL, 0);
    }
    set(t, V_CURRENT, command);
    speed += (900.0 * command - 0.8 * speed) * dt;
    set(t, V_SPEED, speed);
    set(t, V_POSITION, get(t, V_POSITION) + speed * 4096.0 / 60.0 * dt);
    set(t, V_FLAG_ENABLED, state == STATE_RUNNING);
    set(t, V_FLAG_REVERSE, speed < 0);

    double phase = v->valid[V_PHASE_ANGLE] ? get(t, V_PHASE_ANGLE) : v->phase_angle;
    phase = std::fmod(phase + speed * 0.10471976 * 4.0 * dt, 2 * kPi * 1000.0);
    if (v->valid[V_PHASE_ANGLE]) set(t, V_PHASE_ANGLE, phase);
    v->phase_angle = phase;
    for (int i = 0; i < 3; i++) set(t, (Var)(V_PHASE0 + i), command * std::sin(phase - 2.0943951 * i));
    set(t, V_FLAG_HALL, (double)(((int64_t)std::floor(std::fabs(phase) * 0.95492966)) % 6 + 1));
    uint32_t index = v->valid[V_HISTORY_INDEX] ? (uint32_t)get(t, V_HISTORY_INDEX) : v->history_index;
    set(t, (Var)(V_HISTORY0 + index % 128), std::trunc(speed));
    v->history_index = index + 1;
    set(t, V_HISTORY_INDEX, index + 1);
    set(t, V_LED, ((uint32_t)tick / 250u) & 1u);

    // Main loop work: status register, ADC, energy, temperature, bus voltage, accelerometer.
    set(t, V_STATUS_REG, (double)((uint32_t)state | ((uint32_t)mode << 8) | ((uint32_t)tick << 16)));
    for (int i = 0; i < 8; i++) {
        double noise = std::sin(uptime * 97.0 * (i + 1)) * 3.0;
        set(t, (Var)(V_ADC0 + i), clamp(2048 + get(t, (Var)(V_PHASE0 + i % 3)) * 100.0 + noise, 0, 4095));
    }
    set(t, V_ENERGY, get(t, V_ENERGY) + std::trunc(command * 24.0));
    double temp = 25.0 + get(t, V_TEMP_OFFSET) + std::fabs(command) * 0.5;
    set(t, V_BOARD_TEMP, temp);
    set(t, V_FLAG_OVERTEMP, temp > 80.0);
    double bus = get(t, V_BUS_VOLTAGE, 24.0);
    set(t, V_FLAG_UNDERVOLT, bus * 10.0 < get(t, V_MIN_BUS, 180));
    set(t, V_ACCEL_X, std::round(40.0 * std::sin(uptime * 3.1)));
    set(t, V_ACCEL_Y, std::round(25.0 * std::cos(uptime * 2.3)));
    set(t, V_ACCEL_Z, 1000);
}

}  // namespace

void sim_firmware_step(SimTarget* t, double dt) {
    if (t->vars->resolved == 0) return;
    // The firmware runs a fixed 1 ms tick; the host's ticks are coarser, so catch up in steps.
    double& carry = t->vars->carry;
    carry += dt;
    int steps = 0;
    while (carry >= 0.001 && steps < 50) {
        firmware_tick_1ms(t);
        carry -= 0.001;
        steps++;
    }
    if (steps == 50) carry = 0;
}
