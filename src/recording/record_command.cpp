// record_command.cpp - the record switch, the record command with its save question, and the
// hand-over of the recording steps to the acquisition side.
#include <atomic>

#include "acquisition/acquisition.h"
#include "core/log.h"
#include "core/platform.h"
#include "recording/recording.h"

RecordingUiHooks g_recording_ui_hooks;

namespace {

std::atomic<int32_t> g_record_switch;

void refresh_toolbar() {
    if (g_recording_ui_hooks.refresh_toolbar) g_recording_ui_hooks.refresh_toolbar();
}

bool hook_switch_on() { return recording_switch_on(); }

void switch_on() {
    g_record_switch.store(1);
    log_printf(LOG_INFO, "录制已开启（可先于采集；数据写入临时缓存）");
    if (acquisition_state() == ACQ_RUNNING) {
        // A start opens the cache, so a running acquisition is started again.
        acquisition_stop();
        if (acquisition_start() != 0) {
            platform()->message_box("无法在采集中开启录制", "录制", PLATFORM_MB_OK | PLATFORM_MB_ICONERROR);
            g_record_switch.store(0);
        }
    }
    refresh_toolbar();
}

// Offers the finished recording for saving; the cache is cleared in every case.
void ask_and_save() {
    const Platform* p = platform();
    if (!recording_has_data()) {
        p->message_box("没有录制到数据。", "录制", PLATFORM_MB_OK | PLATFORM_MB_ICONINFORMATION);
        recording_clear();
        return;
    }
    int answer = p->message_box("是否保存录制的 log 数据？", "录制", PLATFORM_MB_YESNO | PLATFORM_MB_ICONQUESTION);
    if (answer != PLATFORM_ID_YES) {
        recording_clear();
        log_printf(LOG_INFO, "用户放弃保存录制数据");
        return;
    }
    char path[RECORDING_PATH_CAPACITY];
    path[0] = 0;
    if (g_recording_ui_hooks.choose_save_path && g_recording_ui_hooks.choose_save_path(path, sizeof path) == 1 &&
        path[0]) {
        if (recording_save_as(path) != 0) p->message_box("保存失败", "录制", PLATFORM_MB_OK | PLATFORM_MB_ICONERROR);
    }
    recording_clear();
}

void switch_off() {
    bool restart = false;
    if (acquisition_state() == ACQ_RUNNING) {
        acquisition_stop();  // the thread's end finishes the cache
        restart = true;
    }
    // Also covers a thread that did not end within the stop wait: finishing twice does nothing.
    recording_finish();
    g_record_switch.store(0);
    ask_and_save();
    if (restart) acquisition_start();
    refresh_toolbar();
}

}  // namespace

bool recording_switch_on() { return g_record_switch.load(std::memory_order_relaxed) != 0; }

void recording_command() {
    if (recording_switch_on()) switch_off();
    else switch_on();
}

void recording_offer_save_before_exit() {
    if (acquisition_state() == ACQ_RUNNING) acquisition_stop();
    recording_finish();
    g_record_switch.store(0);
    if (recording_has_data()) ask_and_save();
    else recording_clear();
}

void recording_shutdown() {
    g_record_switch.store(0);
    recording_clear();
}

void recording_install_hooks() {
    AcquisitionHooks& h = g_acquisition_hooks;
    h.recording_on = hook_switch_on;
    h.recording_append = recording_append;
    h.recording_clear = recording_clear_before_start;
    h.recording_open = recording_open;
    h.recording_finish = recording_finish;
}
