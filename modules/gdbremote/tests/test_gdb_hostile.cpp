// Tests of the GDB-server driver against hostile and broken peers: a raw loopback server whose
// every reply is written byte for byte by the test (bad checksums, oversized and run-length
// overruns, garbage, frames that never end, console floods, stop replies out of turn, silence and
// mid-read closes), the liveness the status code reports, and gdbremote.ini as users write it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gdb_driver.h"
#include "gdb_test_log.h"
#include "../../../tests/data/loopback_port.h"
#include "../../../tests/data/scratch_dir.h"
#include "../../../tests/data/test_slack.h"

namespace {

// What the scripted peer does with one request: bytes to send (written raw), then maybe close.
struct PeerAnswer {
    std::string bytes;
    bool close = false;
};
typedef std::function<PeerAnswer(const std::string& request)> PeerScript;

std::string frame(const std::string& body, bool good_sum = true) {
    uint8_t sum = 0;
    for (unsigned char c : body) sum = (uint8_t)(sum + c);
    if (!good_sum) sum = (uint8_t)(sum + 1);
    char tail[4];
    std::snprintf(tail, sizeof tail, "#%02x", sum);
    return "$" + body + tail;
}

// The replies any well-behaved server gives to the handshake; nullptr-like empty for the rest.
PeerAnswer handshake_answer(const std::string& r) {
    if (r.rfind("qSupported", 0) == 0) return {frame("PacketSize=400"), false};
    if (r == "?") return {frame("T05"), false};
    if (r == "D") return {frame("OK"), false};
    return {frame(""), false};
}

// A raw GDB peer on 127.0.0.1: acknowledges every frame, hands each decoded request (or "\x03")
// to the script and writes its answer unchanged.
class RawPeer {
public:
    explicit RawPeer(PeerScript script) : script_(std::move(script)) {
        listener_ = loopback_listen_socket(&port_);
        thread_ = std::thread([this] { serve(); });
    }
    ~RawPeer() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        {
            std::lock_guard<std::mutex> g(lock_);
            if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
        }
        thread_.join();
    }
    int32_t port() const { return port_; }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> g(lock_);
        return requests_;
    }
    int32_t count(const std::string& prefix) {
        int32_t n = 0;
        for (auto& r : requests()) n += r.rfind(prefix, 0) == 0;
        return n;
    }

private:
    void serve() {
        while (!stop_) {
            int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) return;
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // the '+' and the reply go apart
            {
                std::lock_guard<std::mutex> g(lock_);
                client_ = fd;
            }
            talk(fd);
            std::lock_guard<std::mutex> g(lock_);
            client_ = -1;
            ::close(fd);
        }
    }
    void talk(int fd) {
        std::string in;
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            in.append(buf, (size_t)n);
            for (;;) {
                size_t at = 0;
                while (at < in.size() && in[at] != '$' && in[at] != '\x03') at++;
                if (at >= in.size()) {
                    in.clear();
                    break;
                }
                std::string request;
                if (in[at] == '\x03') {
                    request = "\x03";
                    in.erase(0, at + 1);
                } else {
                    size_t hash = in.find('#', at);
                    if (hash == std::string::npos || hash + 2 >= in.size()) break;
                    for (size_t i = at + 1; i < hash; i++)
                        request += in[i] == '}' ? (char)(in[++i] ^ 0x20) : in[i];
                    in.erase(0, hash + 3);
                    if (::send(fd, "+", 1, MSG_NOSIGNAL) != 1) return;
                }
                {
                    std::lock_guard<std::mutex> g(lock_);
                    requests_.push_back(request);
                }
                PeerAnswer a = script_(request);
                if (!a.bytes.empty() && ::send(fd, a.bytes.data(), a.bytes.size(), MSG_NOSIGNAL) < 0) return;
                if (a.close) return;
            }
        }
    }

    PeerScript script_;
    int listener_ = -1;
    int32_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex lock_;
    int client_ = -1;
    std::vector<std::string> requests_;
};

// A driver configured for one raw peer.
struct HostileRig {
    RawPeer peer;
    GdbDriver* driver = nullptr;

    HostileRig(PeerScript script, int32_t mode = GDB_MODE_BACKGROUND, int32_t timeout_ms = 400)
        : peer(std::move(script)) {
        gdb_test_log_clear();
        GdbConfig config = {};
        GdbServerConfig* s = &config.servers[config.count++];
        std::snprintf(s->name, sizeof s->name, "raw");
        std::snprintf(s->host, sizeof s->host, "127.0.0.1");
        s->port = peer.port();
        s->kind = GDB_KIND_GENERIC;
        s->mode = mode;
        s->timeout_ms = timeout_ms;
        driver = gdb_driver_create(&config, net_transport_platform(), gdb_test_log_record);
    }
    ~HostileRig() { gdb_driver_destroy(driver); }
    int32_t connect() {
        ProbeInfo probes[16];
        ScanRequest scan = {probes, 16, 0};
        gdb_driver_command(driver, KX_DRV_SCAN, &scan, nullptr);
        if (scan.count != 1) return -999;
        ConnectRequest c = {};
        c.probe_index = 0;
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
};

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A hostile answer to every m request: the read of 16 bytes must fail (never report 16), within a
// few timeouts, without the driver touching memory past the buffer; afterwards a reconnect to a
// sane peer on the same port starts clean.
struct HostileCase {
    const char* what;
    std::function<PeerAnswer()> answer;
};

TEST(GdbHostile, BrokenReadRepliesFailTheReadWithinTheTimeoutAndNeverOverrun) {
    const std::string sixteen(32, '5');
    std::vector<HostileCase> cases = {
        {"run length past the request", [] { return PeerAnswer{frame("55*~*~"), false}; }},
        {"run length count below three", [] { return PeerAnswer{frame("55* "), false}; }},
        {"run length with nothing before it", [] { return PeerAnswer{frame("*%55"), false}; }},
        {"reply longer than the packet buffer", [] { return PeerAnswer{frame(std::string(40000, 'a')), false}; }},
        {"more bytes than asked", [&] { return PeerAnswer{frame(sixteen + "00"), false}; }},
        {"odd digit count", [&] { return PeerAnswer{frame(sixteen.substr(1)), false}; }},
        {"non-hex digits", [] { return PeerAnswer{frame(std::string(30, '5') + "zz"), false}; }},
        {"empty reply", [] { return PeerAnswer{frame(""), false}; }},
        {"a frame that never ends", [] { return PeerAnswer{"$" + std::string(70000, '7'), false}; }},
        {"garbage outside any frame", [] { return PeerAnswer{std::string(50000, 'x'), false}; }},
        {"every checksum wrong", [&] {
             std::string s;
             for (int i = 0; i < 8; i++) s += frame(sixteen, false);
             return PeerAnswer{s, false};
         }},
        {"a dangling escape", [] { return PeerAnswer{frame(std::string(31, '5') + "}"), false}; }},
        {"closing mid-reply", [] { return PeerAnswer{"$555555", true}; }},
        {"silence", [] { return PeerAnswer{"", false}; }},
    };
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<bool> hostile{true};
        HostileRig rig([&](const std::string& r) {
            if (r.rfind("m", 0) == 0) return hostile ? c.answer() : PeerAnswer{frame("0102030405060708090a0b0c0d0e0f10"), false};
            return handshake_answer(r);
        });
        ASSERT_EQ(rig.connect(), 0) << gdb_test_log_text();
        uint8_t buffer[16 + 8];
        std::memset(buffer, 0xA5, sizeof buffer);
        int64_t start = now_ms();
        int32_t n = rig.read(0x20000000, buffer, 16);
        EXPECT_LT(n, 0);
        EXPECT_LT(now_ms() - start, test_slack_ms(3 * 400 + 500));
        for (int i = 16; i < 24; i++) ASSERT_EQ(buffer[i], 0xA5) << "byte past the request written";
        hostile = false;
        if (rig.status() == 0) {
            ASSERT_EQ(rig.connect(), 0) << gdb_test_log_text();
        }
        ASSERT_EQ(rig.read(0x20000000, buffer, 16), 16) << gdb_test_log_text();
        EXPECT_EQ(buffer[0], 1);
        EXPECT_EQ(buffer[15], 0x10);
    }
}

TEST(GdbHostile, ConsoleFloodAndStopRepliesOutOfTurnDoNotShiftAnswers) {
    // Console text and a stop announcement arrive before every answer; a console flood that never
    // ends fails the read at the deadline instead of holding the lock forever.
    std::atomic<int> reads{0};
    std::atomic<bool> flood{false};
    HostileRig rig([&](const std::string& r) {
        if (r.rfind("m", 0) == 0) {
            int k = reads++;
            std::string out;
            if (flood) {
                for (int i = 0; i < 3000; i++) out += frame("O4f4f4f0a");
                return PeerAnswer{out, false};
            }
            out += frame("O4869210a");  // "Hi!\n"
            if (k % 2 == 0) out += frame("T05thread:01;");  // a stop nobody asked about
            char body[8];
            std::snprintf(body, sizeof body, "%02x%02x", k & 0xFF, 0xEE);
            return PeerAnswer{out + frame(body), false};
        }
        return handshake_answer(r);
    });
    ASSERT_EQ(rig.connect(), 0) << gdb_test_log_text();
    for (int i = 0; i < 6; i++) {
        uint8_t b[2] = {0, 0};
        ASSERT_EQ(rig.read(0x20000000, b, 2), 2) << "read " << i << "\n" << gdb_test_log_text();
        EXPECT_EQ(b[1], 0xEE);
    }
    flood = true;
    uint8_t b[2];
    int64_t start = now_ms();
    EXPECT_LT(rig.read(0x20000000, b, 2), 0);
    EXPECT_LT(now_ms() - start, test_slack_ms(2000));
    // 3000 console lines in a blink are summarised, not copied into the log one by one.
    std::string log = gdb_test_log_text();
    size_t lines = 0;
    for (size_t at = log.find("OOO"); at != std::string::npos; at = log.find("OOO", at + 1)) lines++;
    EXPECT_LE(lines, 40u);
    EXPECT_NE(log.find("已省略"), std::string::npos) << log.substr(0, 2000);
}

TEST(GdbHostile, StatusReportsAServerThatStoppedAnsweringOrLostItsTarget) {
    // A peer that keeps the connection open but stops answering is not "connected": status must
    // find that out by itself (the acquisition relies on it), while a healthy peer is not asked
    // once per status call.
    std::atomic<int> state{0};  // 0 healthy, 1 silent, 2 target gone
    HostileRig rig([&](const std::string& r) {
        if (state == 1) return PeerAnswer{"", false};
        if (r == "?" && state == 2) return PeerAnswer{frame("W00"), false};
        if (r.rfind("m", 0) == 0) return PeerAnswer{frame("abcd"), false};
        return handshake_answer(r);
    });
    ASSERT_EQ(rig.connect(), 0) << gdb_test_log_text();
    uint8_t b[2];
    ASSERT_EQ(rig.read(0x20000000, b, 2), 2);
    size_t before = rig.peer.requests().size();
    for (int i = 0; i < 50; i++) ASSERT_EQ(rig.status(), 1);
    EXPECT_LE(rig.peer.requests().size(), before + 1) << "status asks the server on every call";

    state = 1;
    int64_t start = now_ms();
    int32_t on = 1;
    while (on == 1 && now_ms() - start < test_slack_ms(2000) + 3000) {
        on = rig.status();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(on, 0) << "a silent server still reported as connected";
    EXPECT_LT(now_ms() - start, test_slack_ms(2000));
    EXPECT_NE(gdb_test_log_text().find("检查连接失败"), std::string::npos) << gdb_test_log_text();

    state = 0;
    ASSERT_EQ(rig.connect(), 0) << gdb_test_log_text();
    EXPECT_EQ(rig.status(), 1);
    state = 2;
    start = now_ms();
    on = 1;
    while (on == 1 && now_ms() - start < test_slack_ms(2000) + 3000) {
        on = rig.status();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(on, 0) << "a server without its target still reported as connected";
    EXPECT_NE(gdb_test_log_text().find("目标已不在"), std::string::npos) << gdb_test_log_text();
    EXPECT_LT(now_ms() - start, test_slack_ms(2000));
}

TEST(GdbHostile, HaltModeStatusChecksTheServerAroundABriefStop) {
    // A halt-mode server answers only while stopped: the liveness check interrupts and lets the
    // target run again, like a read.
    std::atomic<bool> running{false};
    std::atomic<bool> dead{false};
    HostileRig rig(
        [&](const std::string& r) {
            if (dead) return PeerAnswer{"", false};
            if (r == "\x03") {
                bool was = running.exchange(false);
                return PeerAnswer{was ? frame("T02") : "", false};
            }
            if (r == "c") {
                running = true;
                return PeerAnswer{"", false};
            }
            if (r.rfind("m", 0) == 0) return PeerAnswer{frame("abcd"), false};
            return handshake_answer(r);
        },
        GDB_MODE_HALT, 300);
    ASSERT_EQ(rig.connect(), 0) << gdb_test_log_text();
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(rig.status(), 1) << gdb_test_log_text();
    for (int i = 0; i < 500 && !running; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(running) << "the status check left the target stopped";
    dead = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(rig.status(), 0);
}

TEST(GdbHostile, IniKeysAndKindsAreReadAsUsersWriteThem) {
    // Windows ini files are case-insensitive and often carry trailing comments after values.
    const char* text =
        "[Board]\r\n"
        "Host = 127.0.0.1\r\n"
        "Port=3333   ; OpenOCD default\r\n"
        "Kind=OpenOCD\r\n"
        "Mode=Halt\r\n"
        "[Second]\n"
        "port=abc\n"
        "port=2331\n"
        "kind=segger\n"
        "timeout_ms=10\n"
        "[NoPort]\n"
        "kind=qemu\n";
    GdbConfig config;
    gdb_test_log_clear();
    ASSERT_EQ(gdb_config_parse(&config, text, gdb_test_log_record), 2) << gdb_test_log_text();
    EXPECT_EQ(config.servers[0].port, 3333);
    EXPECT_EQ(config.servers[0].kind, GDB_KIND_OPENOCD);
    EXPECT_EQ(config.servers[0].mode, GDB_MODE_HALT);
    EXPECT_EQ(config.servers[1].port, 2331);
    EXPECT_EQ(config.servers[1].kind, GDB_KIND_GENERIC);
    EXPECT_EQ(config.servers[1].timeout_ms, 1000);
    std::string log = gdb_test_log_text();
    EXPECT_NE(log.find("第 7 行"), std::string::npos) << log;   // port=abc
    EXPECT_NE(log.find("第 9 行"), std::string::npos) << log;   // kind=segger
    EXPECT_NE(log.find("第 10 行"), std::string::npos) << log;  // timeout_ms=10
    EXPECT_NE(log.find("NoPort"), std::string::npos) << log;
    // Servers beyond the capacity are named in the log, not dropped in silence.
    std::string many;
    for (int i = 0; i < GDB_SERVERS_MAX + 2; i++) many += "[s" + std::to_string(i) + "]\nport=" + std::to_string(4000 + i) + "\n";
    gdb_test_log_clear();
    EXPECT_EQ(gdb_config_parse(&config, many.c_str(), gdb_test_log_record), GDB_SERVERS_MAX);
    EXPECT_NE(gdb_test_log_text().find("[s17]"), std::string::npos) << gdb_test_log_text();
}

// A flash target behind a raw peer whose memory map splits flash into sector groups of different
// sizes, as servers describe parts with 16 KB, 64 KB and 128 KB sectors: one region per group.
struct SectorFlash {
    static constexpr uint32_t kBase = 0x08000000, kSize = 0x40000;
    std::mutex lock;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kSize, 0xFF);
    uint32_t drop_write_at = 0;  // a vFlashWrite at this address answers OK and writes nothing
    std::string map =
        "<?xml version=\"1.0\"?>\n<memory-map>\n"
        "<memory type=\"flash\" start=\"0x08000000\" length=\"0x10000\">\n"
        "  <property name=\"blocksize\">0x4000</property>\n</memory>\n"
        "<memory type=\"flash\" start=\"0x08010000\" length=\"0x10000\">\n"
        "  <property name=\"blocksize\">0x10000</property>\n</memory>\n"
        "<memory type=\"flash\" start=\"0x08020000\" length=\"0x20000\">\n"
        "  <property name=\"blocksize\">0x20000</property>\n</memory>\n"
        "<memory type=\"ram\" start=\"0x20000000\" length=\"0x20000\"/>\n</memory-map>\n";

    PeerAnswer answer(const std::string& r) {
        std::lock_guard<std::mutex> g(lock);
        if (r.rfind("qSupported", 0) == 0) return {frame("PacketSize=1000;qXfer:memory-map:read+"), false};
        if (r.rfind("qXfer:memory-map:read::", 0) == 0) {
            // Served in pieces of at most 100 bytes whatever was asked, as a small server would.
            size_t offset = std::strtoul(r.c_str() + 23, nullptr, 16);
            if (offset >= map.size()) return {frame("l"), false};
            std::string part = map.substr(offset, 100);
            return {frame((offset + part.size() >= map.size() ? "l" : "m") + part), false};
        }
        if (r.rfind("vFlashErase:", 0) == 0) {
            char* end = nullptr;
            uint32_t a = (uint32_t)std::strtoul(r.c_str() + 12, &end, 16);
            uint32_t n = (uint32_t)std::strtoul(end + 1, nullptr, 16);
            if (a < kBase || a + n > kBase + kSize) return {frame("E01"), false};
            std::fill(bytes.begin() + (a - kBase), bytes.begin() + (a - kBase + n), 0xFF);
            return {frame("OK"), false};
        }
        if (r.rfind("vFlashWrite:", 0) == 0) {
            size_t colon = r.find(':', 12);
            uint32_t a = (uint32_t)std::strtoul(r.c_str() + 12, nullptr, 16);
            std::string data = r.substr(colon + 1);
            if (a < kBase || a + data.size() > kBase + kSize) return {frame("E02"), false};
            if (a == drop_write_at) return {frame("OK"), false};
            for (size_t i = 0; i < data.size(); i++) bytes[a - kBase + i] &= (uint8_t)data[i];
            return {frame("OK"), false};
        }
        if (r == "vFlashDone") return {frame("OK"), false};
        if (r.rfind("m", 0) == 0) {
            char* end = nullptr;
            uint32_t a = (uint32_t)std::strtoul(r.c_str() + 1, &end, 16);
            uint32_t n = (uint32_t)std::strtoul(end + 1, nullptr, 16);
            if (a < kBase || a + n > kBase + kSize) return {frame("E03"), false};
            std::string hex;
            char two[3];
            for (uint32_t i = 0; i < n; i++) {
                std::snprintf(two, sizeof two, "%02x", bytes[a - kBase + i]);
                hex += two;
            }
            return {frame(hex), false};
        }
        return handshake_answer(r);
    }
};

FlashRequest bin_request(const std::string& path, uint32_t base, int32_t skip_erase) {
    FlashRequest f = {};
    for (size_t i = 0; i < path.size() && i < 259; i++) f.path[i] = (uint16_t)(unsigned char)path[i];
    f.base_address = base;
    f.skip_erase = skip_erase;
    f.verify = 1;
    return f;
}

TEST(GdbHostile, ImagesSpanningSectorGroupsProgramAndAWriteTheServerDroppedIsCaught) {
    SectorFlash flash;
    HostileRig rig([&](const std::string& r) { return flash.answer(r); });
    ASSERT_EQ(rig.connect(), 0) << gdb_test_log_text();
    // 0x10000 + 0x1000 bytes from the start of flash: the first sector group and one 64 KB sector.
    std::vector<uint8_t> image(0x11000);
    for (size_t i = 0; i < image.size(); i++) image[i] = (uint8_t)(i * 37 + (i >> 9));
    ScratchFolder scratch("kx_gdb_sectors");
    std::string image_path = (scratch.path / "image.bin").string();
    const char* path = image_path.c_str();
    int fd = ::open(path, O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, image.data(), image.size()), (ssize_t)image.size());
    ::close(fd);
    FlashRequest request = bin_request(path, SectorFlash::kBase, 1);
    EXPECT_EQ(gdb_driver_command(rig.driver, KX_DRV_PROGRAM, &request, nullptr), 0) << gdb_test_log_text();
    {
        std::lock_guard<std::mutex> g(flash.lock);
        EXPECT_EQ(0, std::memcmp(flash.bytes.data(), image.data(), image.size()));
    }
    std::vector<std::string> erases;
    for (auto& r : rig.peer.requests())
        if (r.rfind("vFlashErase:", 0) == 0) erases.push_back(r);
    EXPECT_EQ(erases, std::vector<std::string>({"vFlashErase:8000000,10000", "vFlashErase:8010000,10000"}));

    // A chunk the server acknowledged but never wrote: the verify must turn success into failure.
    flash.drop_write_at = SectorFlash::kBase + 0x8000 - 0x8000 % ((0x1000 - 64) / 2);
    request.skip_erase = 0;
    EXPECT_EQ(gdb_driver_command(rig.driver, KX_DRV_PROGRAM, &request, nullptr), GDB_ERR_VERIFY) << gdb_test_log_text();
    EXPECT_NE(gdb_test_log_text().find("校验失败"), std::string::npos);
    std::remove(path);
}

std::string hex_of(const std::string& text) {
    std::string out;
    char two[3];
    for (unsigned char c : text) {
        std::snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

TEST(GdbHostile, OpenOcdTargetNameComesFromItsTargetListNotTheArchitecture) {
    const std::string table =
        "    TargetName         Type       Endian TapName            State       \n"
        "--  ------------------ ---------- ------ ------------------ ------------\n"
        " 0  stm32h7x.cpu0      cortex_m   little stm32h7x.cpu       running\n"
        " 1* stm32h7x.cpu1      cortex_m   little stm32h7x.cpu       running\n";
    std::atomic<bool> answers{true};
    HostileRig rig([&](const std::string& r) {
        if (r.rfind("qSupported", 0) == 0) return PeerAnswer{frame("PacketSize=1000;qXfer:features:read+"), false};
        if (r.rfind("qXfer:features:read:target.xml:", 0) == 0)
            return PeerAnswer{frame("l<target><architecture>arm</architecture></target>"), false};
        if (r == "qRcmd," + hex_of("targets")) {
            if (!answers) return PeerAnswer{frame(""), false};
            // The table arrives as console output in two pieces, then OK.
            return PeerAnswer{frame("O" + hex_of(table.substr(0, 100))) + frame("O" + hex_of(table.substr(100))) + frame("OK"),
                              false};
        }
        return handshake_answer(r);
    });
    GdbServerConfig* s = &rig.driver->config.servers[0];
    s->kind = GDB_KIND_OPENOCD;
    ASSERT_EQ(rig.connect(), 0) << gdb_test_log_text();
    ProbeDetails details;
    gdb_driver_command(rig.driver, KX_DRV_INFO, nullptr, &details);
    EXPECT_STREQ(details.target_name, "stm32h7x.cpu1");
    EXPECT_EQ(gdb_test_log_text().find("TargetName"), std::string::npos) << "the table went to the log";
    // A server without the command keeps the architecture.
    answers = false;
    ASSERT_EQ(rig.connect(), 0) << gdb_test_log_text();
    gdb_driver_command(rig.driver, KX_DRV_INFO, nullptr, &details);
    EXPECT_STREQ(details.target_name, "arm");
}

TEST(GdbHostile, BackgroundAttachTellsARunningTargetFromAStoppedOne) {
    // "?" answers S00 (no signal) while the core runs and S02 after the attach halted it: only the
    // halted one is continued with resume_on_attach, and only it is logged as kept stopped.
    for (const char* reply : {"S00", "S02"}) {
        SCOPED_TRACE(reply);
        for (int32_t resume : {0, 1}) {
            HostileRig rig([&](const std::string& r) {
                if (r == "?") return PeerAnswer{frame(reply), false};
                return handshake_answer(r);
            });
            rig.driver->config.servers[0].resume_on_attach = resume;
            ASSERT_EQ(rig.connect(), 0) << gdb_test_log_text();
            bool halted = std::string(reply) == "S02";
            // A continue has no reply: wait for it where one is due (up to 10 s on a loaded machine),
            // and give a wrong one a moment to show where none is.
            const int polls = halted && resume ? 1000 : (int)test_slack_ms(500) / 10;
            for (int i = 0; i < polls && rig.peer.count("c") == 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_EQ(rig.peer.count("c"), halted && resume ? 1 : 0);
            EXPECT_EQ(gdb_test_log_text().find("目标保持暂停") != std::string::npos, halted && !resume) << gdb_test_log_text();
        }
    }
}

}  // namespace
