// main_status.h - the four status-bar texts and the toolbar buttons' enabled states of the main
// window, computed from the program state. Portable; the Win32 shell writes them into the
// status bar and the buttons (update_status_bar, update_command_states).
#pragma once
#include <cstddef>
#include <cstdint>

enum : int32_t { STATUS_PART_COUNT = 4, STATUS_TEXT_CAPACITY = 520 };

// What the status bar shows, collected from the subsystems.
struct StatusInputs {
    const char* connection_text;   // part 0 (the probe connection's own text)
    const char16_t* elf_path;      // empty or null: "未加载 ELF"
    int32_t acquisition_state;     // 0 stopped, 1 acquiring, 2 offline replay
    int32_t watched_count;
    int32_t leaf_count;
    int64_t sample_count;
};

// The four parts as UTF-8 texts.
struct StatusTexts {
    char parts[STATUS_PART_COUNT][STATUS_TEXT_CAPACITY];
};

void status_bar_texts(const StatusInputs* in, StatusTexts* out);
// The inputs as the running program has them (probe, firmware, acquisition, leaf table).
void status_inputs_current(StatusInputs* out, char* connection_text, size_t capacity);

// What decides the toolbar buttons' states.
struct CommandInputs {
    int32_t network_channel;
    int32_t connected;
    int32_t driver_selected;
    int32_t acquisition_state;
    int32_t watched;              // watch count above 0
    int32_t recording;            // record switch on
};

// Enabled flags of the toolbar buttons, by id, and the record button's text.
struct CommandStates {
    struct Button {
        int32_t id;
        int32_t enabled;
    } buttons[9];
    const char* record_text;      // "停止录制" while recording, else "录制"
};

void command_states_compute(const CommandInputs* in, CommandStates* out);
// The inputs as the running program has them.
void command_inputs_current(CommandInputs* out);
// A button's state in a computed set; -1 for an id that is not listed.
int32_t command_state_of(const CommandStates* states, int32_t id);
