// The GDB-server driver against a real gdbstub: qemu-system-arm running the demo firmware on an
// emulated Cortex-M4 (netduinoplus2), with gdb-multiarch as the independent witness of addresses
// and values. Skipped when either tool is missing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "gdb_driver.h"
#include "gdb_test_log.h"
#include "net_transport.h"

extern char** environ;

namespace {

std::string run_text(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
    return out;
}

// "$N = value" of a gdb -batch print; empty when absent.
std::string gdb_value(const std::string& output, int index) {
    std::string key = "$" + std::to_string(index) + " = ";
    size_t at = output.find(key);
    if (at == std::string::npos) return "";
    size_t end = output.find('\n', at);
    return output.substr(at + key.size(), end - at - key.size());
}

int32_t free_loopback_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    int32_t port = 0;
    if (::bind(fd, (sockaddr*)&a, sizeof a) == 0 && ::getsockname(fd, (sockaddr*)&a, &n) == 0) port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// qemu-system-arm running the firmware, its gdbstub on a loopback port.
struct Qemu {
    pid_t pid = -1;
    int32_t port = 0;
    bool start(const char* elf) {
        port = free_loopback_port();
        if (!port) return false;
        std::string gdb = "tcp:127.0.0.1:" + std::to_string(port);
        const char* argv[] = {"qemu-system-arm", "-M", "netduinoplus2", "-kernel", elf, "-nographic", "-monitor", "none",
                              "-serial", "none", "-gdb", gdb.c_str(), nullptr};
        if (::posix_spawnp(&pid, "qemu-system-arm", nullptr, nullptr, (char* const*)argv, environ) != 0) return false;
        // A busy machine can take seconds to bring QEMU up: wait for its gdbstub to listen.
        for (int i = 0; i < 400; i++) {
            if (listening(port)) return true;
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // True once something listens on the port. Looked up in /proc rather than by connecting:
    // a connection to QEMU's gdbstub stops the emulated core.
    static bool listening(int32_t port) {
        for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
            FILE* f = std::fopen(table, "r");
            if (!f) continue;
            char line[512];
            bool found = false;
            while (!found && std::fgets(line, sizeof line, f)) {
                unsigned local_port = 0, state = 0;
                if (std::sscanf(line, " %*d: %*[0-9A-Fa-f]:%x %*[0-9A-Fa-f]:%*x %x", &local_port, &state) == 2)
                    found = state == 0x0A && (int32_t)local_port == port;
            }
            std::fclose(f);
            if (found) return true;
        }
        return false;
    }
    ~Qemu() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

uint32_t le32(const uint8_t* b) { return b[0] | b[1] << 8 | b[2] << 16 | (uint32_t)b[3] << 24; }

TEST(GdbQemu, HaltModeReadsAndWritesWhatGdbSeesAndLeavesTheFirmwareRunning) {
#ifndef KX_DEMO_QEMU_ELF
    GTEST_SKIP() << "no firmware image for QEMU in this build";
#else
    const char* elf = KX_DEMO_QEMU_ELF;
    if (run_text("command -v qemu-system-arm").empty() || run_text("command -v gdb-multiarch").empty())
        GTEST_SKIP() << "qemu-system-arm or gdb-multiarch missing";
    // Addresses from gdb's own reading of the ELF, not from Kestrelix's.
    std::string where = run_text(std::string("gdb-multiarch -nx -batch -ex 'print/x &g_tick_ms' -ex "
                                             "'print/x &g_motor.speed_setpoint_rpm' -ex 'print/x &g_build_tag' ") +
                                 elf + " 2>/dev/null");
    uint32_t tick = (uint32_t)std::strtoul(gdb_value(where, 1).c_str(), nullptr, 16);
    uint32_t setpoint = (uint32_t)std::strtoul(gdb_value(where, 2).c_str(), nullptr, 16);
    uint32_t tag = (uint32_t)std::strtoul(gdb_value(where, 3).c_str(), nullptr, 16);
    ASSERT_NE(tick, 0u) << where;
    Qemu qemu;
    ASSERT_TRUE(qemu.start(elf));

    gdb_test_log_clear();
    GdbConfig config = {};
    GdbServerConfig* s = &config.servers[config.count++];
    std::snprintf(s->name, sizeof s->name, "qemu");
    std::snprintf(s->host, sizeof s->host, "127.0.0.1");
    s->port = qemu.port;
    s->kind = GDB_KIND_QEMU;
    s->mode = GDB_MODE_HALT;
    s->timeout_ms = 2000;
    GdbDriver* d = gdb_driver_create(&config, net_transport_platform(), gdb_test_log_record);
    ProbeInfo probes[16];
    ScanRequest scan = {probes, 16, 0};
    gdb_driver_command(d, KX_DRV_SCAN, &scan, nullptr);
    ASSERT_EQ(scan.count, 1) << gdb_test_log_text();
    ConnectRequest c = {};
    c.probe_index = 0;
    ASSERT_EQ(gdb_driver_command(d, KX_DRV_CONNECT, &c, nullptr), 0) << gdb_test_log_text();

    uint8_t b[24] = {};
    MemoryRequest r = {tick, 4, 0, b};
    ASSERT_EQ(gdb_driver_command(d, KX_DRV_READ, &r, nullptr), 4) << gdb_test_log_text();
    uint32_t first = le32(b);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(gdb_driver_command(d, KX_DRV_READ, &r, nullptr), 4);
    uint32_t second = le32(b);
    EXPECT_GT(second, first) << "the firmware does not run between reads";
    r = {tag, 19, 0, b};
    ASSERT_EQ(gdb_driver_command(d, KX_DRV_READ, &r, nullptr), 19);
    EXPECT_STREQ((const char*)b, "kestrelix-demo-1.0");
    float value = 777.25f;
    r = {setpoint, 4, 0, &value};
    ASSERT_EQ(gdb_driver_command(d, KX_DRV_WRITE, &r, nullptr), 0) << gdb_test_log_text();
    int32_t on = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    gdb_driver_command(d, KX_DRV_STATUS, nullptr, &on);  // quiet for a while: asks QEMU around a stop
    EXPECT_EQ(on, 1) << gdb_test_log_text();
    // Reads for one second, as the acquisition would (the figure is informative, not a limit).
    r = {tick, 4, 0, b};
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    int32_t reads = 0;
    while (std::chrono::steady_clock::now() < until && gdb_driver_command(d, KX_DRV_READ, &r, nullptr) == 4) reads++;
    std::printf("[ QEMU     ] halt mode: %d reads of 4 bytes per second\n", (int)reads);
    EXPECT_GT(reads, 10) << gdb_test_log_text();
    ASSERT_EQ(gdb_driver_command(d, KX_DRV_READ, &r, nullptr), 4);
    uint32_t last = le32(b);
    gdb_driver_command(d, KX_DRV_DISCONNECT, nullptr, nullptr);
    gdb_driver_destroy(d);

    // gdb, attaching after the driver left, sees the written setpoint and a firmware that ran on.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string seen = run_text(std::string("gdb-multiarch -nx -batch -ex 'target remote 127.0.0.1:") +
                                std::to_string(qemu.port) + "' -ex 'print g_motor.speed_setpoint_rpm' -ex 'print g_tick_ms' " +
                                "-ex detach " + elf + " 2>&1");
    EXPECT_EQ(gdb_value(seen, 1), "777.25") << seen;
    EXPECT_GT(std::strtoul(gdb_value(seen, 2).c_str(), nullptr, 10), (unsigned long)last) << seen;
#endif
}

}  // namespace
