// main_status.cpp - status-bar texts and toolbar button states from the program state.
#include "workspace/main_status.h"

#include "acquisition/acquisition.h"
#include "acquisition/probe.h"
#include "core/text.h"
#include "modules/modules.h"
#include "recording/recording.h"
#include "vartable/leaf_load.h"
#include "vartable/leaf_table.h"

void status_bar_texts(const StatusInputs* in, StatusTexts* out) {
    text_copy(out->parts[0], STATUS_TEXT_CAPACITY, in->connection_text ? in->connection_text : "未连接");
    if (in->elf_path && in->elf_path[0]) utf16_to_utf8(in->elf_path, out->parts[1], STATUS_TEXT_CAPACITY);
    else text_copy(out->parts[1], STATUS_TEXT_CAPACITY, "未加载 ELF");
    const char* state = "空闲";
    switch (in->acquisition_state) {
        case 0: state = "已停止"; break;
        case 1: state = "采集中"; break;
        case 2: state = "离线回放中"; break;
        default: break;
    }
    text_copy(out->parts[2], STATUS_TEXT_CAPACITY, state);
    text_printf(out->parts[3], STATUS_TEXT_CAPACITY, "观测 %d / 叶子 %d / 样本 %lld", (int)in->watched_count,
                (int)in->leaf_count, (long long)in->sample_count);
}

void status_inputs_current(StatusInputs* out, char* connection_text, size_t capacity) {
    probe_status_text(connection_text, capacity);
    out->connection_text = connection_text;
    out->elf_path = current_elf_path();
    out->acquisition_state = acquisition_state();
    out->watched_count = leaf_watched_count();
    out->leaf_count = leaf_count();
    out->sample_count = (int64_t)samples_published_count();
}

void command_states_compute(const CommandInputs* in, CommandStates* out) {
    const int32_t s = in->acquisition_state;
    const bool net = in->network_channel != 0;
    const bool conn = in->connected != 0;
    const bool drv = in->driver_selected != 0;
    const bool watched = in->watched != 0;
    const int32_t ids[9] = {2002, 2003, 2004, 2005, 2006, 2015, 2008, 2009, 2001};
    const bool on[9] = {
        net || (drv && !conn && s != 2),                                // connect
        net || conn,                                                    // disconnect
        net ? (watched && s != 1) : (conn && watched && s != 1 && s != 2),  // start
        net || s == 1,                                                  // stop
        s != 2,                                                         // record
        !net && drv && conn && s != 2,                                  // program flash
        s != 1 && s != 2,                                               // offline replay
        s == 2,                                                         // stop replay
        true,                                                           // open ELF
    };
    for (int i = 0; i < 9; i++) out->buttons[i] = {ids[i], on[i] ? 1 : 0};
    out->record_text = in->recording ? "停止录制" : "录制";
}

void command_inputs_current(CommandInputs* out) {
    out->network_channel = g_probe_state.network_channel != 0;
    out->connected = g_probe_state.connected != 0;
    out->driver_selected = selected_driver_index() >= 0;
    out->acquisition_state = acquisition_state();
    out->watched = leaf_watched_count() > 0;
    out->recording = recording_switch_on() ? 1 : 0;
}

int32_t command_state_of(const CommandStates* states, int32_t id) {
    for (const CommandStates::Button& b : states->buttons)
        if (b.id == id) return b.enabled;
    return -1;
}
