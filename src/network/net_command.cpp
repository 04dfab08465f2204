// net_command.cpp - issuing network commands with their log lines, and the user commands.
#include "network/net_command.h"

#include <cstring>

#include "core/app.h"
#include "core/log.h"
#include "core/text.h"
#include "modules/modules.h"
#include "network/net_key.h"
#include "vartable/leaf_table.h"

NetUiHooks g_net_ui_hooks;

namespace {

// The log text of the commands that carry no record.
const char* action_text(int32_t code) {
    switch (code) {
        case KX_NET_STOP: return "已停止";
        case KX_NET_UPLOAD_TABLE: return "上传 ELF 变量表";
        case KX_NET_REQUEST_TABLE: return "请求远端 ELF 变量表";
        case KX_NET_SEND_WATCH_LIST: return "发送监视列表";
        case KX_NET_REQUEST_HISTORY: return "请求远端采集历史";
        case KX_NET_STOP_SENDING: return "停止下达（空监视列表）";
        default: return "动作";
    }
}

}  // namespace

int32_t net_command(int32_t code, const char* text, int32_t port) {
    if (!network_available()) {
        log_printf(LOG_ERROR, "网络: 未加载 network 模块");
        return -1;
    }
    // A peer's table may have arrived while the main thread was busy (the start-up waits block
    // it): apply it now so that the names it brought can be ticked and sent right away. Other
    // threads leave the queue to the main thread.
    leaf_remote_apply_pending();
    if (code == KX_NET_LISTEN || code == KX_NET_CONNECT) {
        // The key travels with every listen and connect (the module refuses a listener on a
        // non-loopback address without one); it never reaches the log.
        NetKey key = {};
        net_key_copy(key.key, sizeof key.key);
        network_command_raw(KX_NET_SET_KEY, &key, nullptr);
        std::memset(&key, 0, sizeof key);
        NetEndpoint ep = {};
        text_copy(ep.address, sizeof ep.address, text ? text : "");
        ep.port = port;
        int32_t rc = network_command_raw(code, &ep, nullptr);
        log_printf(LOG_INFO, "网络: %s %s:%d rc=%d", code == KX_NET_LISTEN ? "监听" : "连接", ep.address, (int)port,
                   (int)rc);
        return rc;
    }
    if (code == KX_NET_WRITE) {
        NetWrite w = {};
        text_copy(w.leaf_name, sizeof w.leaf_name, text && text[0] ? text : g_app_options.net_write_name);
        text_copy(w.value_text, sizeof w.value_text, g_app_options.net_write_value);
        int32_t rc = network_command_raw(code, &w, nullptr);
        log_printf(LOG_INFO, "网络: 写变量 %s=%s rc=%d", w.leaf_name, w.value_text, (int)rc);
        return rc;
    }
    int32_t rc = network_command_raw(code, nullptr, nullptr);
    log_printf(LOG_INFO, "网络: %s", action_text(code));
    return rc;
}

void net_user_command(int32_t code) {
    char16_t address16[NET_ADDRESS_FIELD_MAX + 1] = {};
    char16_t port16[NET_PORT_FIELD_MAX + 1] = {};
    if (!g_net_ui_hooks.read_address_field || g_net_ui_hooks.read_address_field(address16, sizeof address16 / 2) != 0)
        address16[0] = 0;
    int32_t port = NET_DEFAULT_PORT;
    if (g_net_ui_hooks.read_port_field && g_net_ui_hooks.read_port_field(port16, sizeof port16 / 2) == 0)
        port = text16_to_int(port16);
    if ((code == KX_NET_LISTEN || code == KX_NET_CONNECT) && (port < 1 || port > 65535)) {
        // An emptied field reads as 0: a listener on a port the system picks, which no peer knows.
        char port8[3 * NET_PORT_FIELD_MAX + 1];
        utf16_to_utf8(port16, port8, sizeof port8);
        log_printf(LOG_ERROR, "网络: 端口无效: \"%s\"（应为 1-65535），未%s", port8,
                   code == KX_NET_LISTEN ? "监听" : "连接");
        return;
    }
    char address[NET_ADDRESS_FIELD_MAX + 1];
    utf16_to_utf8(address16, address, sizeof address);
    net_command(code, address, port);
}

int32_t net_command_code_for_id(int id) {
    switch (id) {
        case 2802: case 2112: return KX_NET_LISTEN;         // "监听": menu and toolbar
        case 2803: return KX_NET_CONNECT;                  // "连接" in the menu
        case 2804: return KX_NET_STOP;                     // "断开" in the menu
        case 2805: return KX_NET_SEND_WATCH_LIST;          // "同步采集（下达监视列表）"
        case 2806: return KX_NET_STOP_SENDING;             // "停止下达"
        case 2807: return KX_NET_REQUEST_HISTORY;          // "下载记录"
        case 2808: case 2115: return KX_NET_UPLOAD_TABLE;  // "上传ELF变量表" / "上传ELF"
        case 2809: case 2116: return KX_NET_REQUEST_TABLE; // "下载ELF变量表" / "下载ELF"
        default: return 0;
    }
}
