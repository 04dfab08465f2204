// Flash programming and erase: the request the driver gets, the refusals, the reports, and the
// acquisition that is paused around the operation.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "acquisition/flash.h"
#include "acquisition/probe.h"
#include "core/log.h"
#include "fake_driver.h"
#include "platform_recorder.h"
#include "vartable/leaf_table.h"

namespace {

std::mutex g_lock;
std::vector<std::string> g_log;
std::vector<std::string> g_status;

void capture(LogLevel level, const char16_t* text) {
    char utf8[1024];
    utf16_to_utf8(text, utf8, sizeof utf8);
    std::lock_guard<std::mutex> hold(g_lock);
    g_log.push_back(std::string(log_level_name(level)) + " " + utf8);
}

bool logged(const std::string& line) {
    std::lock_guard<std::mutex> hold(g_lock);
    for (const std::string& l : g_log)
        if (l == line) return true;
    return false;
}

FlashForm form(const char16_t* path) {
    FlashForm f = {};
    text16_copy(f.path, 260, path);
    text_copy(f.base_text, sizeof f.base_text, "0x08000000");
    text_copy(f.device, sizeof f.device, "STM32F303RC");
    f.erase_first = f.verify = f.reset_and_run = 1;
    return f;
}

// A form that stays alive for the call it is passed to.
const FlashForm* form_ptr(const char16_t* path) {
    static FlashForm keep;
    keep = form(path);
    return &keep;
}

const FlashUi kUi = {[](const char* t) { g_status.push_back(t); }, nullptr};

class Flash : public ::testing::Test {
protected:
    void SetUp() override {
        g_log.clear();
        g_status.clear();
        log_reset();
        log_set_sink(capture);
        leaf_table_reset();
        samples_reset();
        g_probe_state.connected = 1;
    }
    void TearDown() override {
        acquisition_stop();
        fake_modules_unload();
        g_probe_state.connected = 0;
        g_probe_state.network_channel = 0;
        log_reset();
        leaf_table_reset();
    }
    PlatformRecorder rec;
};

}  // namespace

TEST(FlashForm, BaseAddressAndBinDetection) {
    EXPECT_EQ(flash_parse_base("134217728"), flash_parse_base("0x8000000"));
    EXPECT_EQ(flash_parse_base("0x8000000"), 0x08000000u);
    EXPECT_EQ(flash_parse_base(""), 0x08000000u);
    EXPECT_EQ(flash_parse_base("abc"), 0x08000000u);
    EXPECT_EQ(flash_parse_base("0x08004000"), 0x08004000u);
    EXPECT_EQ(flash_parse_base("010"), 8u);  // a leading 0 is octal
    EXPECT_TRUE(flash_path_is_bin(u"C:\\fw\\app.BIN"));
    EXPECT_TRUE(flash_path_is_bin(u"app.bin"));
    EXPECT_FALSE(flash_path_is_bin(u"app.HEX"));
    EXPECT_FALSE(flash_path_is_bin(u"app.bin.elf"));
    EXPECT_FALSE(flash_path_is_bin(u"C:\\dir.bin\\app"));
    EXPECT_FALSE(flash_path_is_bin(u"app.binx"));
    EXPECT_STREQ(flash_device_preset(0), "STM32F303RC");
    EXPECT_STREQ(flash_device_preset(10), "Cortex-M0+");
    EXPECT_EQ(flash_device_preset(11), nullptr);
}

TEST(FlashForm, RequestFields) {
    FlashForm f = form(u"C:\\fw\\demo.elf");
    f.erase_first = 0;  // unchecking the full erase sends skip-erase 1
    f.verify = 0;
    FlashRequest r;
    flash_request_fill(&f, &r);
    EXPECT_EQ(std::u16string((const char16_t*)r.path), u"C:\\fw\\demo.elf");
    EXPECT_EQ(r.base_address, 0x08000000u);
    EXPECT_EQ(r.skip_erase, 1);
    EXPECT_EQ(r.verify, 0);
    EXPECT_EQ(r.reset_and_run, 1);
    EXPECT_STREQ(r.device_name, "STM32F303RC");
}

TEST_F(Flash, RefusalsNeedAFileAndAConnection) {
    fake_modules_load(true, false);
    EXPECT_EQ(flash_program(form_ptr(u""), &kUi), -1);
    ASSERT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(rec.boxes[0].text, "请先选择 .elf / .out / .hex / .bin 文件");
    EXPECT_EQ(rec.boxes[0].caption, "烧录");
    g_probe_state.connected = 0;
    EXPECT_EQ(flash_program(form_ptr(u"a.elf"), &kUi), -1);
    EXPECT_EQ(rec.boxes.back().text, "请先连接仿真器");
    EXPECT_EQ(flash_erase(form_ptr(u""), &kUi), -1);
    EXPECT_EQ(rec.boxes.back().caption, "擦除");
    EXPECT_TRUE(fake_target()->flash_codes.empty());
}

// The network channel keeps the probe connected, but its target is the peer's: the menu's
// "烧录 / 擦除" (enabled whatever the channel) must not program or erase the local probe's chip.
TEST_F(Flash, NetworkChannelNeverProgramsOrErasesTheLocalProbe) {
    fake_modules_load(true, false);
    g_probe_state.network_channel = 1;
    EXPECT_EQ(flash_program(form_ptr(u"C:\\fw\\demo.elf"), &kUi), -1);
    EXPECT_EQ(rec.boxes.back().caption, "烧录");
    rec.box_answers = {PLATFORM_ID_YES, PLATFORM_ID_YES};
    EXPECT_EQ(flash_erase(form_ptr(u""), &kUi), -1);
    EXPECT_EQ(rec.boxes.back().caption, "擦除");
    EXPECT_EQ(rec.boxes.back().text, "网络通道下不能烧录或擦除：请先切换到仿真器通道");
    EXPECT_TRUE(fake_target()->flash_codes.empty());
    g_probe_state.network_channel = 0;  // back on the probe's channel: the same request programs
    ASSERT_EQ(flash_program(form_ptr(u"C:\\fw\\demo.elf"), &kUi), 0);
    EXPECT_EQ(fake_target()->flash_codes, std::vector<int32_t>{KX_DRV_PROGRAM});
}

TEST_F(Flash, ProgramReportsSuccessAndFailure) {
    fake_modules_load(true, false);
    FlashForm f = form(u"C:\\fw\\demo.elf");
    f.device[0] = 0;
    ASSERT_EQ(flash_program(&f, &kUi), 0);
    EXPECT_EQ(fake_target()->flash_codes, std::vector<int32_t>{KX_DRV_PROGRAM});
    EXPECT_TRUE(logged("INFO 烧录开始: C:\\fw\\demo.elf @0x08000000 device=(连接默认)"));
    EXPECT_TRUE(logged("INFO 烧录成功"));
    EXPECT_EQ(rec.boxes.back().text, "固件下载成功");
    EXPECT_EQ(g_status, (std::vector<std::string>{"正在下载…", "下载成功"}));

    fake_target()->flash_result = 7;
    EXPECT_EQ(flash_program(&f, &kUi), -1);
    EXPECT_EQ(rec.boxes.back().text, "下载失败（rc=7），请查看消息栏日志");
    EXPECT_EQ(g_status.back(), "下载失败（rc=7），请查看消息栏日志");
    EXPECT_TRUE(logged("ERROR 烧录失败 rc=7"));
}

TEST_F(Flash, EraseAsksFirst) {
    fake_modules_load(true, false);
    rec.box_answers = {PLATFORM_ID_NO};
    EXPECT_EQ(flash_erase(form_ptr(u""), &kUi), -1);
    EXPECT_EQ(rec.boxes.back().text, "将整片擦除 Flash，确认继续？");
    EXPECT_TRUE(fake_target()->flash_codes.empty());
    rec.box_answers = {PLATFORM_ID_YES};
    ASSERT_EQ(flash_erase(form_ptr(u""), &kUi), 0);
    EXPECT_EQ(fake_target()->flash_codes, std::vector<int32_t>{KX_DRV_ERASE});
    EXPECT_TRUE(logged("INFO 整片擦除开始 device=STM32F303RC"));
    EXPECT_TRUE(logged("INFO 整片擦除成功"));
    EXPECT_EQ(rec.boxes.back().text, "Flash 已擦除");
    fake_target()->flash_result = 2;
    rec.box_answers = {PLATFORM_ID_YES};
    EXPECT_EQ(flash_erase(form_ptr(u""), &kUi), -1);
    EXPECT_TRUE(logged("ERROR 整片擦除失败 rc=2"));
    EXPECT_EQ(rec.boxes.back().text, "擦除失败（rc=2）");
}

TEST_F(Flash, RunningAcquisitionIsPausedAndRestarted) {
    fake_modules_load(true, false);
    leaf_add("v", 0x20000000, 4, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_set_watched(0, 1);
    ASSERT_EQ(acquisition_start(), 0);
    ASSERT_EQ(flash_program(form_ptr(u"demo.hex"), &kUi), 0);
    EXPECT_EQ(acquisition_state(), ACQ_RUNNING);
    std::lock_guard<std::mutex> hold(g_lock);
    int started = 0, stopped = 0;
    size_t program_at = 0, stop_at = 0, restart_at = 0;
    for (size_t i = 0; i < g_log.size(); i++) {
        if (g_log[i].rfind("INFO 采集已开始", 0) == 0 && ++started == 2) restart_at = i;
        if (g_log[i] == "INFO 采集已停止" && ++stopped == 1) stop_at = i;
        if (g_log[i].rfind("INFO 烧录开始", 0) == 0) program_at = i;
    }
    EXPECT_LT(stop_at, program_at);
    EXPECT_LT(program_at, restart_at);
}
