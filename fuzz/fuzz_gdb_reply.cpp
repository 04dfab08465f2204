// libFuzzer entry for the GDB-server driver's reply handling: any bytes a server sends must be
// parsed or refused cleanly, never crash, hang or touch memory outside the buffers.
//
// The input is used twice: first as one received byte stream cut into frames, each body decoded
// and given to every reply parser; then as the whole conversation of a server behind a socket
// that a driver scans, connects to, reads from and writes to.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "gdb_driver.h"
#include "gdb_protocol.h"

namespace {

const uint8_t* g_data;
size_t g_size;
size_t g_pos;

// A transport whose peer "sends" the fuzzer's input in small pieces and then closes.
int32_t fake_startup() { return 0; }
void fake_cleanup() {}
NetSock fake_listen(const char*, int32_t, char*, size_t) { return NET_SOCK_NONE; }
NetSock fake_accept(NetSock, int32_t, char*, size_t) { return NET_SOCK_NONE; }
NetSock fake_connect(const char*, int32_t, int32_t, char*, size_t) { return 7; }
int32_t fake_send(NetSock, const void*, uint32_t size) { return (int32_t)size; }
int32_t fake_recv(NetSock, void* out, uint32_t size, int32_t) {
    if (g_pos >= g_size) return NET_IO_CLOSED;
    size_t n = g_size - g_pos;
    size_t piece = 1 + g_data[g_pos] % 61;  // vary the cut points with the input itself
    if (n > piece) n = piece;
    if (n > size) n = size;
    std::memcpy(out, g_data + g_pos, n);
    g_pos += n;
    return (int32_t)n;
}
void fake_shutdown(NetSock) {}
void fake_close(NetSock) {}
const NetTransport kFake = {fake_startup, fake_cleanup, fake_listen, fake_accept, fake_connect,
                            fake_send,    fake_recv,    fake_shutdown, fake_close};

int32_t quiet_log(int32_t, const char*, ...) { return 0; }

void parse_every_way(const uint8_t* body, size_t size) {
    static uint8_t decoded[GDB_PACKET_MAX + 16];
    int32_t n = gdb_decode_body(body, size, decoded, sizeof decoded);
    if (n < 0) return;
    int32_t code;
    char text[300];
    gdb_reply_is_error(decoded, (size_t)n, &code);
    gdb_reply_is_stop(decoded, (size_t)n, &code);
    gdb_reply_console(decoded, (size_t)n, text, sizeof text);
    GdbFeatures features;
    gdb_parse_supported(decoded, (size_t)n, &features);
    GdbMemoryMap map;
    gdb_parse_memory_map((const char*)decoded, (size_t)n, &map);
    for (int32_t i = 0; i < map.count; i++) {
        gdb_map_flash_region(&map, map.regions[i].start, 1);
        gdb_map_flash_covers(&map, map.regions[i].start, map.regions[i].length * 2 + 1);
    }
    gdb_parse_architecture((const char*)decoded, (size_t)n, text, sizeof text);
    static uint8_t bytes[GDB_PACKET_MAX];
    gdb_hex_to_bytes((const char*)decoded, (size_t)n, bytes, sizeof bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Frames of one stream.
    uint32_t offset = 0;
    while (offset < size) {
        GdbScan s = gdb_scan(data + offset, (uint32_t)(size - offset), 4096);
        if (s.kind == GDB_SCAN_NEED_MORE || s.consumed == 0) break;
        if (s.kind == GDB_SCAN_PACKET || s.kind == GDB_SCAN_BAD_SUM)
            parse_every_way(data + offset + s.body_offset, s.body_size);
        offset += s.consumed;
    }
    // A whole conversation with a driver.
    g_data = data;
    g_size = size;
    g_pos = 0;
    GdbConfig config = {};
    config.count = 1;
    GdbServerConfig* server = &config.servers[0];
    std::strcpy(server->name, "fuzz");
    std::strcpy(server->host, "127.0.0.1");
    server->port = 1;
    server->kind = size > 0 && (data[0] & 1) ? GDB_KIND_QEMU : GDB_KIND_OPENOCD;
    server->mode = size > 0 && (data[0] & 2) ? GDB_MODE_HALT : GDB_MODE_BACKGROUND;
    server->timeout_ms = 50;
    GdbDriver* driver = gdb_driver_create(&config, &kFake, quiet_log);
    if (!driver) return 0;
    ProbeInfo probes[16];
    ScanRequest scan = {probes, 16, 0};
    gdb_driver_command(driver, KX_DRV_SCAN, &scan, nullptr);
    ConnectRequest connect = {};
    connect.clock_khz = 1000;
    connect.probe_index = 0;
    if (gdb_driver_command(driver, KX_DRV_CONNECT, &connect, nullptr) == 0) {
        uint8_t buffer[256];
        MemoryRequest read = {0x20000000, sizeof buffer, 0, buffer};
        gdb_driver_command(driver, KX_DRV_READ, &read, nullptr);
        MemoryRequest write = {0x20000000, 8, 0, buffer};
        gdb_driver_command(driver, KX_DRV_WRITE, &write, nullptr);
        FlashRequest erase = {};
        gdb_driver_command(driver, KX_DRV_ERASE, &erase, nullptr);
        ProbeDetails details;
        gdb_driver_command(driver, KX_DRV_INFO, nullptr, &details);
    }
    gdb_driver_destroy(driver);
    return 0;
}
