// Tests of the GDB-server driver against the scripted server on loopback: handshake, reads and
// writes through every protocol edge, failures, halt mode, and flash programming.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fake_gdb_server.h"
#include "gdb_driver.h"
#include "gdb_test_log.h"
#include "../../../tests/data/loopback_port.h"
#include "../../../tests/data/scratch_dir.h"

namespace {

int32_t (*const record_log)(int32_t, const char*, ...) = gdb_test_log_record;

std::string log_text() { return gdb_test_log_text(); }

int32_t count_prefix(const std::vector<std::string>& requests, const char* prefix) {
    int32_t n = 0;
    for (auto& r : requests) n += r.compare(0, std::strlen(prefix), prefix) == 0;
    return n;
}

// A driver configured for one fake server (and optionally a dead port before it).
struct Rig {
    FakeGdbServer server;
    // Held for the rig's life: a port number assumed to be free (port 1, say) can have a listener
    // on another machine or a root-run service, and then the "dead" server would answer.
    LoopbackDeadPort dead;
    GdbDriver* driver = nullptr;

    explicit Rig(const FakeGdbOptions& options, int32_t kind = GDB_KIND_GENERIC, int32_t mode = GDB_MODE_BACKGROUND,
                 int32_t timeout_ms = 1000, bool dead_port_first = false)
        : server(options) {
        gdb_test_log_clear();
        GdbConfig config = {};
        if (dead_port_first) add(&config, dead.port, kind, mode, timeout_ms);
        add(&config, server.port(), kind, mode, timeout_ms);
        driver = gdb_driver_create(&config, net_transport_platform(), record_log);
    }
    ~Rig() { gdb_driver_destroy(driver); }

    static void add(GdbConfig* c, int32_t port, int32_t kind, int32_t mode, int32_t timeout_ms) {
        GdbServerConfig* s = &c->servers[c->count++];
        std::snprintf(s->name, sizeof s->name, "fake%d", (int)c->count);
        std::snprintf(s->host, sizeof s->host, "127.0.0.1");
        s->port = port;
        s->kind = kind;
        s->mode = mode;
        s->timeout_ms = timeout_ms;
    }

    int32_t scan(ProbeInfo* probes = nullptr) {
        ProbeInfo local[16];
        ScanRequest r = {probes ? probes : local, 16, 0};
        gdb_driver_command(driver, KX_DRV_SCAN, &r, nullptr);
        return r.count;
    }
    int32_t connect(int32_t index = 0) {
        ConnectRequest c = {};
        c.clock_khz = 4000;
        c.probe_index = index;
        return gdb_driver_command(driver, KX_DRV_CONNECT, &c, nullptr);
    }
    int32_t status() {
        int32_t on = -1;
        gdb_driver_command(driver, KX_DRV_STATUS, nullptr, &on);
        return on;
    }
    int32_t read(uint64_t address, void* buffer, uint32_t length) {
        MemoryRequest r = {address, length, 0, buffer};
        return gdb_driver_command(driver, KX_DRV_READ, &r, nullptr);
    }
    int32_t write(uint64_t address, const void* data, uint32_t length) {
        MemoryRequest r = {address, length, 0, const_cast<void*>(data)};
        return gdb_driver_command(driver, KX_DRV_WRITE, &r, nullptr);
    }
    void fill_ram(uint32_t size) {
        std::vector<uint8_t> pattern(size);
        for (uint32_t i = 0; i < size; i++) pattern[i] = (uint8_t)(i * 7 + (i >> 8));
        server.set_ram(0, pattern.data(), size);
    }
};

void expect_ram_read(Rig& rig, uint32_t offset, uint32_t length) {
    std::vector<uint8_t> buffer(length, 0xEE);
    ASSERT_EQ(rig.read(FakeGdbServer::kRamBase + offset, buffer.data(), length), (int32_t)length) << log_text();
    for (uint32_t i = 0; i < length; i++) ASSERT_EQ(buffer[i], rig.server.ram(offset + i)) << "byte " << i;
}

TEST(GdbDriver, ConnectsNegotiatesNoAckAndReportsTheServer) {
    Rig rig(FakeGdbOptions{}, GDB_KIND_OPENOCD, GDB_MODE_BACKGROUND, 1000, true);
    ProbeInfo probes[16];
    ASSERT_EQ(rig.scan(probes), 1);  // the dead port is not listed
    EXPECT_EQ(std::string(probes[0].serial), "127.0.0.1:" + std::to_string(rig.server.port()));
    EXPECT_NE(std::string(probes[0].product).find("Fake 1.0"), std::string::npos) << probes[0].product;
    ASSERT_EQ(rig.connect(), 0) << log_text();
    EXPECT_EQ(rig.status(), 1);
    ProbeDetails details;
    gdb_driver_command(rig.driver, KX_DRV_INFO, nullptr, &details);
    EXPECT_EQ(std::string(details.description), "GDB server 127.0.0.1:" + std::to_string(rig.server.port()));
    EXPECT_STREQ(details.target_name, "arm");
    EXPECT_EQ(details.hardware_version, 0);
    auto requests = rig.server.requests();
    EXPECT_EQ(count_prefix(requests, "QStartNoAckMode"), 1);
    EXPECT_EQ(count_prefix(requests, "qRcmd,"), 3);  // version during the scan, targets and adapter speed at connect
    // Background mode: attached without a single continue or interrupt.
    EXPECT_EQ(count_prefix(requests, "c"), 0);
    EXPECT_EQ(count_prefix(requests, "\x03"), 0);
    EXPECT_NE(log_text().find("读取模式 background"), std::string::npos) << log_text();
    EXPECT_NE(log_text().find("no-ack"), std::string::npos);
    rig.fill_ram(256);
    expect_ram_read(rig, 0, 256);
    SpeedTable speeds;
    EXPECT_EQ(gdb_driver_command(rig.driver, KX_DRV_SPEEDS, nullptr, &speeds), 0);
    EXPECT_GE(speeds.swd_count, 1);
    EXPECT_LE(speeds.swd_count, 16);
}

TEST(GdbDriver, ChecksumErrorsAreRetransmittedInBothDirections) {
    FakeGdbOptions o;
    o.offer_no_ack = false;   // retransmission needs acknowledgements
    o.corrupt_replies = 3;    // the server's first replies arrive damaged
    o.nack_requests = 2;      // and it rejects the driver's first requests
    Rig rig(o);
    ASSERT_EQ(rig.scan(), 1);
    ASSERT_EQ(rig.connect(), 0) << log_text();
    rig.fill_ram(64);
    expect_ram_read(rig, 8, 40);
    EXPECT_EQ(count_prefix(rig.server.requests(), "QStartNoAckMode"), 0);
}

TEST(GdbDriver, SplitRunLengthEscapedAndConsoleRepliesAssembleExactly) {
    FakeGdbOptions split;
    split.packet_size = 0x100;     // at most (0x100 - 32) / 2 = 112 bytes per request
    split.max_read_bytes = 45;     // and the server answers even less
    split.console_on_read = true;  // console text between the replies
    Rig a(split);
    ASSERT_EQ(a.scan(), 1);
    ASSERT_EQ(a.connect(), 0);
    a.fill_ram(4096);
    expect_ram_read(a, 0, 4096);
    EXPECT_GE(count_prefix(a.server.requests(), "m"), 4096 / 45);
    EXPECT_NE(log_text().find("GDB Server: reading"), std::string::npos);

    FakeGdbOptions rle;
    rle.run_length = true;
    Rig b(rle);
    ASSERT_EQ(b.scan(), 1);
    ASSERT_EQ(b.connect(), 0);
    std::vector<uint8_t> runs(600, 0);
    for (uint32_t i = 300; i < 600; i++) runs[i] = i < 450 ? 0x11 : (uint8_t)i;
    b.server.set_ram(0, runs.data(), 600);
    expect_ram_read(b, 0, 600);

    FakeGdbOptions escaped;
    escaped.escape_replies = true;
    Rig c(escaped);
    ASSERT_EQ(c.scan(), 1);
    ASSERT_EQ(c.connect(), 0);
    c.fill_ram(512);
    expect_ram_read(c, 0, 512);
}

TEST(GdbDriver, WritesUseBinaryOrHexAndReadBack) {
    Rig rig(FakeGdbOptions{});
    ASSERT_EQ(rig.scan(), 1);
    ASSERT_EQ(rig.connect(), 0);
    uint8_t data[300];
    for (int i = 0; i < 300; i++) data[i] = (uint8_t)"$#}*x"[i % 5];  // every byte that needs escaping
    ASSERT_EQ(rig.write(FakeGdbServer::kRamBase + 16, data, sizeof data), 0) << log_text();
    for (int i = 0; i < 300; i++) ASSERT_EQ(rig.server.ram(16 + i), data[i]) << i;
    EXPECT_GE(count_prefix(rig.server.requests(), "X"), 2);  // the probe, then the data
    // A write the target refuses is reported, and the link stays up.
    EXPECT_EQ(rig.write(0x40000000, data, 4), GDB_ERR_TARGET);
    EXPECT_EQ(rig.status(), 1);
}

TEST(GdbDriver, TargetErrorsFailOnlyThatRequest) {
    Rig rig(FakeGdbOptions{});
    ASSERT_EQ(rig.scan(), 1);
    ASSERT_EQ(rig.connect(), 0);
    uint8_t buffer[16];
    EXPECT_EQ(rig.read(0x30000000, buffer, sizeof buffer), GDB_ERR_TARGET);  // "E14"
    EXPECT_EQ(rig.status(), 1);
    rig.fill_ram(16);
    expect_ram_read(rig, 0, 16);
}

TEST(GdbDriver, ServerClosingMidReplyFailsTheReadAndReconnectStartsClean) {
    Rig rig(FakeGdbOptions{});
    ASSERT_EQ(rig.scan(), 1);
    ASSERT_EQ(rig.connect(), 0) << log_text();
    rig.server.close_on_next_request();
    uint8_t buffer[64];
    EXPECT_LT(rig.read(FakeGdbServer::kRamBase, buffer, sizeof buffer), 0);
    EXPECT_EQ(rig.status(), 0);
    EXPECT_EQ(rig.read(FakeGdbServer::kRamBase, buffer, sizeof buffer), GDB_ERR_NOT_CONNECTED);
    EXPECT_NE(log_text().find("连接已断开"), std::string::npos) << log_text();
    // A new connection is served normally, with nothing of the old one left over.
    ASSERT_EQ(rig.scan(), 1);
    ASSERT_EQ(rig.connect(), 0) << log_text();
    rig.fill_ram(64);
    expect_ram_read(rig, 0, 64);
}

TEST(GdbDriver, EndlessReplyIsRefusedWithoutOverrunningAnything) {
    FakeGdbOptions o;
    o.endless_reads = true;
    Rig rig(o);
    ASSERT_EQ(rig.scan(), 1);
    ASSERT_EQ(rig.connect(), 0);
    uint8_t buffer[64];
    EXPECT_EQ(rig.read(FakeGdbServer::kRamBase, buffer, sizeof buffer), GDB_ERR_PROTOCOL);
    EXPECT_EQ(rig.status(), 0);
}

TEST(GdbDriver, SilentServerTimesOutInsteadOfHanging) {
    FakeGdbOptions o;
    o.silent = true;
    Rig rig(o, GDB_KIND_GENERIC, GDB_MODE_BACKGROUND, 200);
    ASSERT_EQ(rig.scan(), 1);  // it accepts connections, which is all a scan asks
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.connect(), GDB_ERR_TIMEOUT);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::seconds(5));  // one exchange's timeout, not forever
    EXPECT_EQ(rig.status(), 0);
    EXPECT_NE(log_text().find("超时"), std::string::npos) << log_text();
}

TEST(GdbDriver, HaltModeStopsOnlyAroundEachRequestAndLeavesTheTargetRunning) {
    FakeGdbOptions o;
    o.stop_on_any_byte = true;  // QEMU-like: only a stopped target answers
    Rig rig(o, GDB_KIND_QEMU, GDB_MODE_HALT);
    ProbeInfo probes[16];
    ASSERT_EQ(rig.scan(probes), 1);
    // The stop announced at the connection does not shift the answers: the version is the
    // answer to the version request.
    EXPECT_NE(std::string(probes[0].product).find("qemu: Fake 1.0"), std::string::npos) << probes[0].product;
    ASSERT_EQ(rig.connect(), 0) << log_text();
    ProbeDetails details;
    gdb_driver_command(rig.driver, KX_DRV_INFO, nullptr, &details);
    EXPECT_STREQ(details.target_name, "arm");
    EXPECT_TRUE(rig.server.wait_running());  // the attach stopped it; the driver let it go on
    EXPECT_NE(log_text().find("WARN GDB Server: halt 读取模式"), std::string::npos) << log_text();
    rig.fill_ram(128);
    for (int i = 0; i < 5; i++) expect_ram_read(rig, 0, 128);
    uint32_t value = 0x12345678;
    ASSERT_EQ(rig.write(FakeGdbServer::kRamBase + 4, &value, 4), 0);
    EXPECT_EQ(rig.server.ram(4), 0x78);
    EXPECT_TRUE(rig.server.wait_running());
    auto requests = rig.server.requests();
    // One continue after the attach, then one interrupt and one continue per request.
    EXPECT_EQ(count_prefix(requests, "\x03") + 1, count_prefix(requests, "c"));
    EXPECT_GE(count_prefix(requests, "\x03"), 6);
    gdb_driver_command(rig.driver, KX_DRV_DISCONNECT, nullptr, nullptr);
    EXPECT_TRUE(rig.server.wait_running());
    EXPECT_EQ(rig.status(), 0);
    EXPECT_EQ(log_text().find("ERROR"), std::string::npos) << log_text();
}

TEST(GdbDriver, BackgroundModeSurvivesAServerThatStopsTheTargetOnEveryByte) {
    FakeGdbOptions o;
    o.stop_on_any_byte = true;
    Rig rig(o, GDB_KIND_GENERIC, GDB_MODE_BACKGROUND, 400);
    ASSERT_EQ(rig.scan(), 1);
    ASSERT_EQ(rig.connect(), 0) << log_text();
    rig.fill_ram(32);
    expect_ram_read(rig, 0, 32);
    expect_ram_read(rig, 0, 32);
    EXPECT_FALSE(rig.server.running());  // the driver sends no continue in background mode
}

// A .bin image in a folder of its own, removed with the object even when an assertion ends the
// test early.
struct TempBin {
    ScratchFolder folder{"kx_gdb_flash"};
    std::string path;
    explicit TempBin(const std::vector<uint8_t>& data) : path((folder.path / "image.bin").string()) {
        FILE* f = fopen(path.c_str(), "wb");
        if (!f) return;
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
};

FlashRequest flash_request(const std::string& path, uint32_t base, bool skip_erase) {
    FlashRequest r = {};
    for (size_t i = 0; i < path.size() && i < 259; i++) r.path[i] = (uint16_t)(uint8_t)path[i];
    r.base_address = base;
    r.skip_erase = skip_erase ? 1 : 0;
    r.verify = 1;
    r.reset_and_run = 1;
    return r;
}

TEST(GdbDriver, ProgramsThroughTheMemoryMapByteForByte) {
    FakeGdbOptions o;
    o.packet_size = 0x400;
    Rig rig(o, GDB_KIND_OPENOCD);
    ASSERT_EQ(rig.scan(), 1);
    ASSERT_EQ(rig.connect(), 0);
    std::vector<uint8_t> image(0x5000 + 13);
    for (size_t i = 0; i < image.size(); i++) image[i] = (uint8_t)((i * 131) ^ (i >> 7));
    image[5] = '$', image[6] = '#', image[7] = '}', image[8] = '*';
    TempBin bin(image);
    FlashRequest request = flash_request(bin.path, 0x08004000, true);
    ASSERT_EQ(gdb_driver_command(rig.driver, KX_DRV_PROGRAM, &request, nullptr), 0) << log_text();
    // Only the blocks under the image were erased (0x4000-byte blocks from 0x08004000).
    auto requests = rig.server.requests();
    std::vector<std::string> erases, writes;
    std::string written;
    for (auto& r : requests) {
        if (r.compare(0, 12, "vFlashErase:") == 0) erases.push_back(r);
        if (r.compare(0, 12, "vFlashWrite:") == 0) {
            size_t colon = r.find(':', 12);
            uint64_t address = std::stoull(r.substr(12, colon - 12), nullptr, 16);
            EXPECT_EQ(address, 0x08004000u + written.size()) << "writes are in order and contiguous";
            written += r.substr(colon + 1);
            EXPECT_LE(r.size() * 2, 0x400u + 64);
        }
    }
    ASSERT_EQ(erases, std::vector<std::string>({"vFlashErase:8004000,8000"}));
    EXPECT_EQ(written, std::string(image.begin(), image.end()));
    EXPECT_EQ(count_prefix(requests, "vFlashDone"), 1);
    EXPECT_EQ(0, std::memcmp(rig.server.flash().data() + 0x4000, image.data(), image.size()));
    EXPECT_EQ(rig.server.flash()[0x3FFF], 0xFF);
    EXPECT_GE(count_prefix(requests, "m8004000,"), 1);  // the read-back verify
    // The order is erase, writes, done, verify, reset.
    size_t done_at = 0, reset_at = 0;
    for (size_t i = 0; i < requests.size(); i++) {
        if (requests[i] == "vFlashDone") done_at = i;
        if (requests[i] == "qRcmd,72657365742072756e") reset_at = i;  // "reset run"
    }
    EXPECT_GT(reset_at, done_at);
    // A whole-chip erase covers every flash region of the map, and programming over dirty flash
    // without erasing is caught by the verify.
    FlashRequest erase = flash_request("", 0, false);
    ASSERT_EQ(gdb_driver_command(rig.driver, KX_DRV_ERASE, &erase, nullptr), 0);
    EXPECT_EQ(rig.server.requests().back(), "vFlashDone");
    EXPECT_EQ(count_prefix(rig.server.requests(), "vFlashErase:8000000,10000"), 1);
    std::vector<uint8_t> erased = rig.server.flash();
    for (uint32_t i = 0; i < FakeGdbServer::kFlashSize; i++) ASSERT_EQ(erased[i], 0xFF);
    ASSERT_EQ(gdb_driver_command(rig.driver, KX_DRV_PROGRAM, &request, nullptr), 0);
    std::vector<uint8_t> other(image.size(), 0x0F);
    TempBin other_bin(other);
    FlashRequest dirty = flash_request(other_bin.path, 0x08004000, true);
    dirty.skip_erase = 1;
    // skip_erase still erases the blocks it writes, so this succeeds; a write outside the blocks
    // it erases would not be possible.
    EXPECT_EQ(gdb_driver_command(rig.driver, KX_DRV_PROGRAM, &dirty, nullptr), 0);
    EXPECT_EQ(rig.server.flash()[0x4000], 0x0F);
}

TEST(GdbDriver, FlashWithoutAMapOrOutsideItFailsWithoutWriting) {
    FakeGdbOptions o;
    o.memory_map = false;
    Rig rig(o, GDB_KIND_QEMU, GDB_MODE_HALT);
    ASSERT_EQ(rig.scan(), 1);
    ASSERT_EQ(rig.connect(), 0);
    TempBin bin(std::vector<uint8_t>(64, 0x55));
    FlashRequest request = flash_request(bin.path, 0x08000000, false);
    EXPECT_EQ(gdb_driver_command(rig.driver, KX_DRV_PROGRAM, &request, nullptr), GDB_ERR_NO_MAP);
    EXPECT_EQ(gdb_driver_command(rig.driver, KX_DRV_ERASE, &request, nullptr), GDB_ERR_NO_MAP);
    EXPECT_EQ(count_prefix(rig.server.requests(), "vFlash"), 0);
    EXPECT_EQ(rig.server.flash()[0], 0xFF);
    EXPECT_NE(log_text().find("存储映射"), std::string::npos) << log_text();
    EXPECT_EQ(rig.status(), 1);  // a refused operation keeps the connection
    EXPECT_TRUE(rig.server.wait_running());

    Rig mapped(FakeGdbOptions{});
    ASSERT_EQ(mapped.scan(), 1);
    ASSERT_EQ(mapped.connect(), 0);
    FlashRequest outside = flash_request(bin.path, 0x08010000 - 32, true);  // runs past the flash end
    EXPECT_EQ(gdb_driver_command(mapped.driver, KX_DRV_PROGRAM, &outside, nullptr), GDB_ERR_RANGE);
    FlashRequest missing = flash_request("/nonexistent/fw.bin", 0x08000000, true);
    EXPECT_EQ(gdb_driver_command(mapped.driver, KX_DRV_PROGRAM, &missing, nullptr), GDB_ERR_FILE);
    EXPECT_EQ(count_prefix(mapped.server.requests(), "vFlash"), 0);
}

TEST(GdbDriver, RequestsWithoutAConnectionAreRefused) {
    Rig rig(FakeGdbOptions{});
    uint8_t buffer[4];
    EXPECT_EQ(rig.read(FakeGdbServer::kRamBase, buffer, 4), GDB_ERR_NOT_CONNECTED);
    EXPECT_EQ(rig.connect(0), GDB_ERR_NO_SERVER);  // nothing scanned yet
    ASSERT_EQ(rig.scan(), 1);
    EXPECT_EQ(rig.connect(5), GDB_ERR_NO_SERVER);
    MemoryRequest empty = {FakeGdbServer::kRamBase, 0, 0, buffer};
    EXPECT_EQ(gdb_driver_command(rig.driver, KX_DRV_READ, &empty, nullptr), GDB_ERR_ARGUMENT);
}

}  // namespace
