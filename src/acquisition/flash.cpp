// flash.cpp - programming and erasing flash through the selected driver.
#include "acquisition/flash.h"

#include <cstdlib>
#include <cstring>

#include "acquisition/acquisition.h"
#include "acquisition/probe.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/text.h"
#include "modules/modules.h"

namespace {

const char* const kPresets[FLASH_PRESET_COUNT] = {
    "STM32F303RC", "STM32F103C8", "STM32G431RB", "STM32L031K6", "STM32F407VG", "STM32F411RE",
    "STM32H743ZI", "STM32F103RB", "Cortex-M4",   "Cortex-M3",   "Cortex-M0+"};

void status(const FlashUi* ui, const char* text) {
    if (ui && ui->set_status) ui->set_status(text);
}

bool ready_or_warn(const char* caption) {
    // The probe stays connected after a switch to the network channel, but the target the user
    // works on is then the peer's: programming or erasing the local chip is never what was meant.
    if (g_probe_state.network_channel) {
        platform()->message_box("网络通道下不能烧录或擦除：请先切换到仿真器通道", caption,
                                PLATFORM_MB_OK | PLATFORM_MB_ICONWARNING);
        return false;
    }
    if (driver_available() && g_probe_state.connected) return true;
    platform()->message_box("请先连接仿真器", caption, PLATFORM_MB_OK | PLATFORM_MB_ICONWARNING);
    return false;
}

// Stops a running acquisition; returns whether it ran, so the caller can start it again.
bool pause_acquisition() {
    if (acquisition_state() != ACQ_RUNNING) return false;
    acquisition_stop();
    return true;
}

void resume_acquisition(bool was_running, const FlashUi* ui) {
    if (was_running) acquisition_start();
    if (ui && ui->refresh_toolbar) ui->refresh_toolbar();
}

const char* device_or_default(const FlashRequest& r) { return r.device_name[0] ? r.device_name : "(连接默认)"; }

// The texts of one driver operation's report.
struct FlashReport {
    const char* caption;
    const char* ok_status;
    const char* ok_log;
    const char* ok_box;
    const char* fail_text;   // "%d": the driver's result
    const char* fail_log;    // "%d": the driver's result
};

// Calls the driver with acquisition paused, reports the outcome; 0 when the driver succeeded.
int run_driver_operation(int32_t code, FlashRequest* request, const FlashUi* ui, bool was_running,
                         const FlashReport& report) {
    int32_t rc = driver_command(code, request, nullptr);
    if (rc == 0) {
        status(ui, report.ok_status);
        log_printf(LOG_INFO, "%s", report.ok_log);
        platform()->message_box(report.ok_box, report.caption, PLATFORM_MB_OK | PLATFORM_MB_ICONINFORMATION);
    } else {
        char text[96];
        text_printf(text, sizeof text, report.fail_text, rc);
        status(ui, text);
        log_printf(LOG_ERROR, report.fail_log, rc);
        platform()->message_box(text, report.caption, PLATFORM_MB_OK | PLATFORM_MB_ICONERROR);
    }
    resume_acquisition(was_running, ui);
    return rc == 0 ? 0 : -1;
}

}  // namespace

const char* flash_device_preset(int32_t index) {
    return index >= 0 && index < FLASH_PRESET_COUNT ? kPresets[index] : nullptr;
}

uint32_t flash_parse_base(const char* text) {
    unsigned long long v = text ? strtoull(text, nullptr, 0) : 0;
    return v == 0 ? 0x08000000u : (uint32_t)v;
}

bool flash_path_is_bin(const char16_t* path) {
    if (!path) return false;
    const char16_t* dot = nullptr;
    for (const char16_t* p = path; *p; p++)
        if (*p == u'.') dot = p;
    if (!dot) return false;
    const char* want = ".bin";
    for (int i = 0; i < 4; i++) {
        char16_t c = dot[i];
        if (c >= u'A' && c <= u'Z') c = (char16_t)(c - u'A' + u'a');
        if (c != (char16_t)want[i]) return false;
    }
    return dot[4] == 0;
}

void flash_request_fill(const FlashForm* form, FlashRequest* request) {
    memset(request, 0, sizeof *request);
    text16_copy((char16_t*)request->path, 260, form->path);
    request->base_address = flash_parse_base(form->base_text);
    request->skip_erase = form->erase_first ? 0 : 1;
    request->verify = form->verify ? 1 : 0;
    request->reset_and_run = form->reset_and_run ? 1 : 0;
    text_copy(request->device_name, sizeof request->device_name, form->device);
}

int flash_program(const FlashForm* form, const FlashUi* ui) {
    FlashRequest request;
    flash_request_fill(form, &request);
    if (request.path[0] == 0) {
        platform()->message_box("请先选择 .elf / .out / .hex / .bin 文件", "烧录",
                                PLATFORM_MB_OK | PLATFORM_MB_ICONWARNING);
        return -1;
    }
    if (!ready_or_warn("烧录")) return -1;
    bool was_running = pause_acquisition();
    status(ui, "正在下载…");
    char path[1040];
    utf16_to_utf8((const char16_t*)request.path, path, sizeof path);
    log_printf(LOG_INFO, "烧录开始: %s @0x%08X device=%s", path, request.base_address, device_or_default(request));
    static const FlashReport kProgram = {"烧录", "下载成功", "烧录成功", "固件下载成功",
                                         "下载失败（rc=%d），请查看消息栏日志", "烧录失败 rc=%d"};
    return run_driver_operation(KX_DRV_PROGRAM, &request, ui, was_running, kProgram);
}

int flash_erase(const FlashForm* form, const FlashUi* ui) {
    FlashRequest request;
    flash_request_fill(form, &request);
    if (!ready_or_warn("擦除")) return -1;
    if (platform()->message_box("将整片擦除 Flash，确认继续？", "擦除",
                                PLATFORM_MB_YESNO | PLATFORM_MB_ICONWARNING) != PLATFORM_ID_YES)
        return -1;
    bool was_running = pause_acquisition();
    status(ui, "正在擦除…");
    log_printf(LOG_INFO, "整片擦除开始 device=%s", device_or_default(request));
    static const FlashReport kErase = {"擦除", "擦除成功", "整片擦除成功", "Flash 已擦除", "擦除失败（rc=%d）",
                                       "整片擦除失败 rc=%d"};
    return run_driver_operation(KX_DRV_ERASE, &request, ui, was_running, kErase);
}
