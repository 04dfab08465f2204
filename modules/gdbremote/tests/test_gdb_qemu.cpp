// The GDB-server driver against a real gdbstub: qemu-system-arm running the demo firmware on an
// emulated Cortex-M4 (netduinoplus2), with gdb-multiarch as the independent witness of addresses
// and values. Skipped when either tool is missing.
#include <dirent.h>
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

#include "../../../tests/data/loopback_port.h"
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

// qemu-system-arm running the firmware, its gdbstub on a loopback port.
// The port is picked before QEMU binds it, so another test may take it in between: then QEMU
// exits, or (worse) the stranger's listener answers the poll below. Only a listener whose socket
// is one of QEMU's own descriptors counts; otherwise QEMU starts again on another port.
struct Qemu {
    pid_t pid = -1;
    int32_t port = 0;
    // first_port: the port of the first attempt (a test of the retry hands one that is taken).
    bool start(const char* elf, int32_t first_port = 0) {
        for (int attempt = 0; attempt < 5; attempt++) {
            port = attempt == 0 && first_port ? first_port : loopback_port_pick();
            if (!port) return false;
            if (!spawn(elf)) return false;
            if (wait_listening()) return true;
            stop();
        }
        return false;
    }
    bool spawn(const char* elf) {
        std::string gdb = "tcp:127.0.0.1:" + std::to_string(port);
        const char* argv[] = {"qemu-system-arm", "-M", "netduinoplus2", "-kernel", elf, "-nographic", "-monitor", "none",
                              "-serial", "none", "-gdb", gdb.c_str(), nullptr};
        return ::posix_spawnp(&pid, "qemu-system-arm", nullptr, nullptr, (char* const*)argv, environ) == 0;
    }
    // A busy machine can take seconds to bring QEMU up: waits (up to 20 s) for its own gdbstub to
    // listen; false when QEMU exited or someone else holds the port.
    bool wait_listening() {
        for (int i = 0; i < 400; i++) {
            unsigned long inode = listener_inode(port);
            if (inode) return owns_socket(pid, inode);
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // The inode of the socket listening on the port, 0 when none. Looked up in /proc rather than
    // by connecting: a connection to QEMU's gdbstub stops the emulated core.
    static unsigned long listener_inode(int32_t port) {
        unsigned long inode = 0;
        for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
            FILE* f = std::fopen(table, "r");
            if (!f) continue;
            char line[512];
            while (!inode && std::fgets(line, sizeof line, f)) {
                unsigned local_port = 0, state = 0;
                unsigned long node = 0;
                if (std::sscanf(line, " %*d: %*[0-9A-Fa-f]:%x %*[0-9A-Fa-f]:%*x %x %*x:%*x %*x:%*x %*x %*d %*d %lu",
                                &local_port, &state, &node) == 3 &&
                    state == 0x0A && (int32_t)local_port == port)
                    inode = node;
            }
            std::fclose(f);
            if (inode) break;
        }
        return inode;
    }
    // True when one of the process's descriptors is the socket with this inode.
    static bool owns_socket(pid_t pid, unsigned long inode) {
        std::string dir = "/proc/" + std::to_string(pid) + "/fd";
        std::string want = "socket:[" + std::to_string(inode) + "]";
        DIR* d = ::opendir(dir.c_str());
        if (!d) return false;
        bool found = false;
        while (dirent* e = ::readdir(d)) {
            char target[64] = {};
            std::string link = dir + "/" + e->d_name;
            ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && want == std::string(target, (size_t)n)) {
                found = true;
                break;
            }
        }
        ::closedir(d);
        return found;
    }
    void stop() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    ~Qemu() { stop(); }
};

// Polls done() every 20 ms until it holds or ms pass.
template <class Done>
bool poll_until(int ms, Done done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The QEMU tools and firmware image, or why the test cannot run.
const char* qemu_missing() {
    if (run_text("command -v qemu-system-arm").empty() || run_text("command -v gdb-multiarch").empty())
        return "qemu-system-arm or gdb-multiarch missing";
#ifndef KX_DEMO_QEMU_ELF
    return "no firmware image for QEMU in this build";
#else
    return nullptr;
#endif
}

uint32_t le32(const uint8_t* b) { return b[0] | b[1] << 8 | b[2] << 16 | (uint32_t)b[3] << 24; }

// Another test's listener on the picked port answers the poll for QEMU's gdbstub: it must not be
// taken for QEMU's, and QEMU must end up on a port of its own.
TEST(GdbQemu, AStrangersListenerOnThePortIsNotMistakenForTheGdbstub) {
    if (const char* why = qemu_missing()) GTEST_SKIP() << why;
#ifdef KX_DEMO_QEMU_ELF
    int32_t taken = 0;
    int stranger = loopback_listen_socket(&taken);
    ASSERT_GE(stranger, 0);
    EXPECT_FALSE(Qemu::owns_socket(::getppid(), Qemu::listener_inode(taken)));
    EXPECT_TRUE(Qemu::owns_socket(::getpid(), Qemu::listener_inode(taken)));
    Qemu qemu;
    ASSERT_TRUE(qemu.start(KX_DEMO_QEMU_ELF, taken));
    EXPECT_NE(qemu.port, taken);
    EXPECT_TRUE(Qemu::owns_socket(qemu.pid, Qemu::listener_inode(qemu.port)));
    ::close(stranger);
#endif
}

TEST(GdbQemu, HaltModeReadsAndWritesWhatGdbSeesAndLeavesTheFirmwareRunning) {
    if (const char* why = qemu_missing()) GTEST_SKIP() << why;
#ifdef KX_DEMO_QEMU_ELF
    const char* elf = KX_DEMO_QEMU_ELF;
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
    // The tick moves on between reads; a loaded machine may run the emulated core slowly.
    EXPECT_TRUE(poll_until(20000, [&] {
        return gdb_driver_command(d, KX_DRV_READ, &r, nullptr) == 4 && le32(b) > first;
    })) << "the firmware does not run between reads";
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
    // Back-to-back reads, as the acquisition makes them: every one succeeds and the tick never runs
    // backwards. The rate is printed for information; speed is the benchmarks' business.
    r = {tick, 4, 0, b};
    auto began = std::chrono::steady_clock::now();
    uint32_t last = 0;
    for (int i = 0; i < 50; i++) {
        ASSERT_EQ(gdb_driver_command(d, KX_DRV_READ, &r, nullptr), 4) << "read " << i << gdb_test_log_text();
        EXPECT_GE(le32(b), last) << "read " << i;
        last = le32(b);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("[ QEMU     ] halt mode: %.0f reads of 4 bytes per second\n", 50 / (seconds > 0 ? seconds : 1e-9));
    gdb_driver_command(d, KX_DRV_DISCONNECT, nullptr, nullptr);
    gdb_driver_destroy(d);

    // gdb, attaching after the driver left, sees the written setpoint and a firmware that ran on.
    // QEMU may not have noticed the driver's disconnect yet, and the core may not have ticked since
    // the last read: gdb attaches again until both show.
    std::string seen;
    poll_until(20000, [&] {
        seen = run_text(std::string("gdb-multiarch -nx -batch -ex 'target remote 127.0.0.1:") +
                        std::to_string(qemu.port) + "' -ex 'print g_motor.speed_setpoint_rpm' -ex 'print g_tick_ms' " +
                        "-ex detach " + elf + " 2>&1");
        return !gdb_value(seen, 1).empty() && std::strtoul(gdb_value(seen, 2).c_str(), nullptr, 10) > last;
    });
    EXPECT_EQ(gdb_value(seen, 1), "777.25") << seen;
    EXPECT_GT(std::strtoul(gdb_value(seen, 2).c_str(), nullptr, 10), (unsigned long)last) << seen;
#endif
}

}  // namespace
