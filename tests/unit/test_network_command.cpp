// Network commands of the host: the missing-module error, the records and log lines of listen,
// connect and write, the action texts, the toolbar fields of the user commands, the menu and
// toolbar ids, remote leaves queued by the module's thread, and the remote list following an
// address change of a remote leaf.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/app.h"
#include "core/log.h"
#include "core/text.h"
#include "fake_driver.h"
#include "modules/host_backend_core.h"
#include "modules/modules.h"
#include "network/net_command.h"
#include "network/net_key.h"
#include "platform_recorder.h"
#include "vartable/leaf_table.h"

namespace {

std::vector<std::string> g_lines;

void record_log(LogLevel level, const char16_t* text) {
    char utf8[1200];
    utf16_to_utf8(text, utf8, sizeof utf8);
    g_lines.push_back(std::string(log_level_name(level)) + " " + utf8);
}

std::u16string g_address_field = u"127.0.0.1";
std::u16string g_port_field = u"10000";
bool g_port_field_exists = true;

int read_address(char16_t* out, size_t capacity) {
    text16_copy(out, capacity, g_address_field.c_str());
    return 0;
}
int read_port(char16_t* out, size_t capacity) {
    if (!g_port_field_exists) return -1;
    text16_copy(out, capacity, g_port_field.c_str());
    return 0;
}

class NetCommand : public ::testing::Test {
protected:
    void SetUp() override {
        g_lines.clear();
        g_address_field = u"127.0.0.1";
        g_port_field = u"10000";
        g_port_field_exists = true;
        g_net_ui_hooks = NetUiHooks{read_address, read_port};
        command_line_clear(&g_app_options);
        leaf_table_reset();
        net_key_reset();
        log_set_sink(record_log);
    }
    void TearDown() override {
        log_set_sink(nullptr);
        fake_modules_unload();
        g_net_ui_hooks = NetUiHooks{};
        leaf_table_reset();
        net_key_reset();
    }
    PlatformRecorder recorder;
};

TEST_F(NetCommand, WithoutANetworkModuleEveryCommandOnlyLogsTheError) {
    fake_modules_load(true, false);
    g_lines.clear();
    net_user_command(KX_NET_LISTEN);
    EXPECT_EQ(net_command(KX_NET_WRITE, "x", 0), -1);
    EXPECT_EQ(net_command(KX_NET_SEND_WATCH_LIST, "", 0), -1);
    EXPECT_EQ(g_lines, (std::vector<std::string>(3, "ERROR 网络: 未加载 network 模块")));
}

TEST_F(NetCommand, ListenWithTheDefaultFieldsAndConnectLogTheModulesResult) {
    fake_modules_load(false, true);
    g_lines.clear();
    fake_target()->net_result = 0;
    net_user_command(KX_NET_LISTEN);
    fake_target()->net_result = -1;
    g_address_field = u"10.1.2.3";
    g_port_field = u" 4242abc";  // the platform conversion reads leading digits after blanks
    net_user_command(KX_NET_CONNECT);
    g_port_field_exists = false;  // no port field: the default port
    net_user_command(KX_NET_CONNECT);
    // Each listen and connect hands the module the current key first (none here).
    EXPECT_EQ(fake_target()->net_codes, (std::vector<int32_t>{30, 20, 30, 21, 30, 21}));
    EXPECT_STREQ(fake_target()->last_net_key.key, "");
    EXPECT_EQ(g_lines, (std::vector<std::string>{"INFO 网络: 监听 127.0.0.1:10000 rc=0",
                                                 "INFO 网络: 连接 10.1.2.3:4242 rc=-1",
                                                 "INFO 网络: 连接 10.1.2.3:10000 rc=-1"}));
}

TEST_F(NetCommand, AToolbarPortOutsideThePortRangeIsRefusedNotPort0) {
    fake_modules_load(false, true);
    g_lines.clear();
    for (const char16_t* bad : {u"", u"0", u"65536", u"abc", u"-1"}) {
        g_port_field = bad;
        net_user_command(KX_NET_LISTEN);
    }
    g_port_field = u"";
    net_user_command(KX_NET_CONNECT);
    // Commands that carry no port go on whatever the field holds.
    net_user_command(KX_NET_STOP);
    g_port_field = u"65535";
    net_user_command(KX_NET_LISTEN);
    EXPECT_EQ(fake_target()->net_codes, (std::vector<int32_t>{22, 30, 20}));
    EXPECT_EQ(g_lines, (std::vector<std::string>{
                           "ERROR 网络: 端口无效: \"\"（应为 1-65535），未监听",
                           "ERROR 网络: 端口无效: \"0\"（应为 1-65535），未监听",
                           "ERROR 网络: 端口无效: \"65536\"（应为 1-65535），未监听",
                           "ERROR 网络: 端口无效: \"abc\"（应为 1-65535），未监听",
                           "ERROR 网络: 端口无效: \"-1\"（应为 1-65535），未监听",
                           "ERROR 网络: 端口无效: \"\"（应为 1-65535），未连接",
                           "INFO 网络: 已停止",
                           "INFO 网络: 监听 127.0.0.1:65535 rc=0",
                       }));
}

TEST_F(NetCommand, TheKeyGoesToTheModuleButNeverToTheLog) {
    fake_modules_load(false, true);
    net_key_set_from_layout("layout-key");
    net_command(KX_NET_LISTEN, "0.0.0.0", 10000);
    EXPECT_STREQ(fake_target()->last_net_key.key, "layout-key");
    net_key_set("密钥 from the dialog");
    net_key_set_from_layout("older layout key");  // a user's key wins over the layout's
    net_command(KX_NET_CONNECT, "127.0.0.1", 10000);
    EXPECT_STREQ(fake_target()->last_net_key.key, "密钥 from the dialog");
    for (const std::string& line : g_lines) {
        EXPECT_EQ(line.find("密钥 from"), std::string::npos) << line;
        EXPECT_EQ(line.find("layout-key"), std::string::npos) << line;
    }
}

TEST_F(NetCommand, AddressIsCutTo63Bytes) {
    fake_modules_load(false, true);
    g_lines.clear();
    std::string long_host(100, 'h');
    net_command(KX_NET_CONNECT, long_host.c_str(), 1);
    EXPECT_EQ(g_lines.back(), "INFO 网络: 连接 " + std::string(63, 'h') + ":1 rc=0");
}

TEST_F(NetCommand, WriteTakesTheNameOrTheOptionAndAlwaysTheOptionsValue) {
    fake_modules_load(false, true);
    text_copy(g_app_options.net_write_name, sizeof g_app_options.net_write_name, "g_motor.speed_setpoint_rpm");
    text_copy(g_app_options.net_write_value, sizeof g_app_options.net_write_value, "2250");
    g_lines.clear();
    EXPECT_EQ(net_command(KX_NET_WRITE, "", 0), 0);
    EXPECT_STREQ(fake_target()->last_net_write.leaf_name, "g_motor.speed_setpoint_rpm");
    EXPECT_STREQ(fake_target()->last_net_write.value_text, "2250");
    fake_target()->net_result = -1;
    EXPECT_EQ(net_command(KX_NET_WRITE, "g_tick_ms", 0), -1);
    EXPECT_STREQ(fake_target()->last_net_write.leaf_name, "g_tick_ms");
    EXPECT_STREQ(fake_target()->last_net_write.value_text, "2250");
    EXPECT_EQ(g_lines, (std::vector<std::string>{"INFO 网络: 写变量 g_motor.speed_setpoint_rpm=2250 rc=0",
                                                 "INFO 网络: 写变量 g_tick_ms=2250 rc=-1"}));
}

TEST_F(NetCommand, RecordlessCommandsLogTheirAction) {
    fake_modules_load(false, true);
    g_lines.clear();
    for (int32_t code : {22, 23, 25, 26, 28, 29, 24, 99}) net_command(code, nullptr, 0);
    EXPECT_EQ(fake_target()->net_codes, (std::vector<int32_t>{22, 23, 25, 26, 28, 29, 24, 99}));
    EXPECT_EQ(g_lines, (std::vector<std::string>{
                           "INFO 网络: 已停止", "INFO 网络: 上传 ELF 变量表", "INFO 网络: 请求远端 ELF 变量表",
                           "INFO 网络: 发送监视列表", "INFO 网络: 请求远端采集历史",
                           "INFO 网络: 停止下达（空监视列表）", "INFO 网络: 动作", "INFO 网络: 动作"}));
}

TEST_F(NetCommand, MenuAndToolbarIds) {
    EXPECT_EQ(net_command_code_for_id(2802), 20);
    EXPECT_EQ(net_command_code_for_id(2112), 20);
    EXPECT_EQ(net_command_code_for_id(2803), 21);
    EXPECT_EQ(net_command_code_for_id(2804), 22);
    EXPECT_EQ(net_command_code_for_id(2805), 26);
    EXPECT_EQ(net_command_code_for_id(2806), 29);
    EXPECT_EQ(net_command_code_for_id(2807), 28);
    EXPECT_EQ(net_command_code_for_id(2808), 23);
    EXPECT_EQ(net_command_code_for_id(2115), 23);
    EXPECT_EQ(net_command_code_for_id(2809), 25);
    EXPECT_EQ(net_command_code_for_id(2116), 25);
    EXPECT_EQ(net_command_code_for_id(2801), 0);  // the configuration dialog is no command
    EXPECT_EQ(net_command_code_for_id(2002), 0);
}

TEST_F(NetCommand, RemoteLeavesQueuedByTheModuleThreadAreThereForTheNextCommand) {
    fake_modules_load(false, true);
    std::thread module_thread([] { leaf_add_remote("peer.speed", 0x20000040, 4); });
    module_thread.join();
    EXPECT_EQ(leaf_find("peer.speed"), -1);  // still queued for the main thread
    net_command(KX_NET_UPLOAD_TABLE, "", 0);
    EXPECT_EQ(leaf_find("peer.speed"), 0);

    // Off the main thread a command leaves the queue alone.
    std::thread([] { leaf_add_remote("peer.other", 0x20000044, 4); }).join();
    std::thread([] { net_command(KX_NET_STOP_SENDING, "", 0); }).join();
    EXPECT_EQ(leaf_remote_pending_count(), 1);
}

TEST_F(NetCommand, AddressChangeOfARemoteLeafAlsoMovesItsRemoteListEntry) {
    host_backend_install_core();
    host_api_fill();
    const HostApi* api = host_api();
    EXPECT_EQ(api->host_upsert_remote_leaf("peer.speed", 0x20000040, 4), 1);
    EXPECT_EQ(api->host_upsert_remote_leaf("peer.speed", 0x20000080, 4), 2);
    EXPECT_EQ(leaf_at(leaf_find("peer.speed"))->address, 0x20000080u);
    RemoteVar entry;
    ASSERT_EQ(remote_var_at(remote_var_find("peer.speed"), &entry), 0);
    EXPECT_EQ(entry.address, 0x20000080u);  // a rebuild re-applies the new address, not the first one
}

TEST_F(NetCommand, SyncLineFromTheModuleThreadCountsTheQueuedAdditions) {
    host_backend_install_core();
    host_api_fill();
    const HostApi* api = host_api();
    api->host_upsert_remote_leaf("peer.a", 0x20000040, 4);  // main thread: in the table at once
    g_lines.clear();
    std::thread([api] {
        api->host_upsert_remote_leaf("peer.b", 0x20000044, 4);
        api->host_upsert_remote_leaf("peer.c", 0x20000048, 4);
        api->host_remote_sync_done(2, 0);
    }).join();
    EXPECT_EQ(leaf_count(), 1);  // the two wait for the main thread
    EXPECT_EQ(recorder.posts_snapshot().back().msg, (unsigned)KX_MSG_LEAF_TABLE_CHANGED);
    ASSERT_FALSE(g_lines.empty());
    EXPECT_EQ(g_lines.back(), "INFO 网络变量同步: 新增 2 个，更新地址 0 个，当前叶表 3");
    leaf_remote_apply_pending();
    EXPECT_EQ(leaf_count(), 3);
}

}  // namespace
