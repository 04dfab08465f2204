// gdb_driver.h - the GDB-server driver: its configuration (gdbremote.ini), the driver operations
// of kestrelix_module.h carried out over the GDB remote protocol, and flash programming through
// the server's memory map.
//
// All of it is portable; gdb_module_win32.cpp binds it to the module interface, and the native
// tests drive it against scripted servers on loopback.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "gdb_link.h"
#include "kestrelix_module.h"

// What kind of server sits behind a port: decides the read mode's default and the monitor
// commands the driver may use.
enum GdbServerKind : int32_t {
    GDB_KIND_OPENOCD = 0,
    GDB_KIND_PYOCD = 1,
    GDB_KIND_JLINK = 2,
    GDB_KIND_STLINK = 3,
    GDB_KIND_BMP = 4,
    GDB_KIND_QEMU = 5,
    GDB_KIND_GENERIC = 6,
};

// How reads reach a running target.
enum GdbReadMode : int32_t {
    GDB_MODE_BACKGROUND = 0,  // read while the target runs (the server allows it)
    GDB_MODE_HALT = 1,        // interrupt, transfer, continue around every request
};

constexpr int32_t GDB_SERVERS_MAX = 16;

// One server of gdbremote.ini (or of the built-in list of well-known ports).
struct GdbServerConfig {
    char name[64];
    char host[64];
    int32_t port;
    int32_t kind;              // GdbServerKind
    int32_t mode;              // GdbReadMode
    int32_t resume_on_attach;  // background mode: continue a target the attach halted
    int32_t timeout_ms;        // every exchange
};

// The servers the driver offers.
struct GdbConfig {
    int32_t count;
    GdbServerConfig servers[GDB_SERVERS_MAX];
};

// Logging callback: printf-style, KX_LOG_* levels.
typedef int32_t (*GdbLogFn)(int32_t level, const char* format, ...) KX_MODULE_PRINTF(2, 3);

const char* gdb_kind_name(int32_t kind);
// Kind from its ini name; -1 when unknown.
int32_t gdb_kind_from_name(const char* name);
int32_t gdb_kind_default_mode(int32_t kind);
// The well-known local ports: 3333 (OpenOCD, pyOCD), 2331 (J-Link), 61234 (ST-LINK), 1234 (QEMU).
void gdb_config_defaults(GdbConfig* config);
// Parses gdbremote.ini text: one [section] per server with name, host, port, kind, mode,
// resume_on_attach and timeout_ms. A malformed line is skipped with a WARN naming it. Returns the
// number of servers (0 = none usable: the caller keeps the defaults).
int32_t gdb_config_parse(GdbConfig* config, const char* text, GdbLogFn log);

// Bounds of one driver instance.
constexpr int32_t GDB_SCAN_CONNECT_MS = 300;
// Status trusts a server heard from this recently; a quieter one is asked again. The host asks for
// the status once per acquisition cycle, so the reads themselves keep a running link proven.
constexpr int32_t GDB_STATUS_QUIET_MS = 500;
// Console text logged per second at most; a server that floods its console is summarised.
constexpr int32_t GDB_CONSOLE_LINES_PER_SECOND = 20;

// The driver's state; one lock serialises every operation (the host calls from the main thread
// and the acquisition thread).
struct GdbDriver {
    std::mutex lock;
    GdbConfig config;
    GdbLogFn log;
    const NetTransport* transport;
    // The last scan's servers that answered, as indexes into config.
    int32_t found_count;
    int32_t found[GDB_SERVERS_MAX];
    // The connection.
    int32_t server;            // index into config, -1 = not connected
    bool connected;
    bool halt_warned;
    bool stop_warned;          // a background read found the target stopped by the server
    bool write_binary_known;   // X support tested
    bool write_binary;         // X accepted
    GdbFeatures features;
    char target_name[128];
    int32_t last_stop_signal;  // from the last stop reply, -1 = none seen
    int64_t console_window_ms; // start of the second the console budget counts in
    int32_t console_lines;     // console lines logged in that second
    int32_t console_dropped;   // console lines not logged in that second
    uint8_t reply[GDB_PACKET_MAX + 16];
    char command[2 * GDB_PACKET_MAX + 64];
    GdbLink link;
};

// A driver over `transport` (the platform's sockets); null when memory is short.
GdbDriver* gdb_driver_create(const GdbConfig* config, const NetTransport* transport, GdbLogFn log);
void gdb_driver_destroy(GdbDriver* driver);
// The driver operation entry (codes of kestrelix_module.h).
int32_t gdb_driver_command(GdbDriver* driver, int32_t code, void* in, void* out);

// Lower-level steps shared by the driver operations and flash programming; the lock is held.
// A read with the halt-mode wrapping (the driver's read operation).
int32_t gdb_driver_read_locked(GdbDriver* d, uint64_t address, uint8_t* buffer, uint32_t length);
// A read of exactly `length` bytes split to the packet size, without any wrapping.
int32_t gdb_driver_read_raw_locked(GdbDriver* d, uint64_t address, uint8_t* buffer, uint32_t length);
// Sends a request and receives its answer (stop replies on the way are recorded, not returned);
// the answer is in d->reply.
int32_t gdb_driver_exchange_locked(GdbDriver* d, const char* payload, size_t size);
// Reads a qXfer object completely into out (terminated); its length or a GdbError.
int32_t gdb_driver_xfer_locked(GdbDriver* d, const char* object, const char* annex, char* out, size_t capacity);
bool gdb_driver_halt_mode(const GdbDriver* d);
int32_t gdb_driver_halt_locked(GdbDriver* d);
int32_t gdb_driver_resume_locked(GdbDriver* d);
int32_t gdb_driver_monitor_locked(GdbDriver* d, const char* command, char* output, size_t capacity);
// Drops the connection after a failure (logs why once).
void gdb_driver_fail_locked(GdbDriver* d, int32_t code, const char* what);

// Runs `work` (returns a result or a GdbError) with the target stopped in halt mode, and lets it
// run again after. A failure that leaves the link unusable (closed, or out of step after an
// unreadable reply) drops the connection; refusals the server stated ("E NN") keep it.
template <typename Work>
int32_t gdb_driver_with_target_stopped(GdbDriver* d, const char* what, Work work) {
    bool halt = gdb_driver_halt_mode(d);
    if (halt) {
        int32_t rc = gdb_driver_halt_locked(d);
        if (rc != 0) {
            gdb_driver_fail_locked(d, rc, "暂停目标");
            return rc;
        }
    }
    int32_t result = work();
    if (!gdb_link_is_open(&d->link) || result == GDB_ERR_PROTOCOL) {
        gdb_driver_fail_locked(d, result < 0 ? result : GDB_ERR_CLOSED, what);
        return result < 0 ? result : GDB_ERR_CLOSED;
    }
    if (halt) {
        int32_t rc = gdb_driver_resume_locked(d);
        if (rc != 0) {
            gdb_driver_fail_locked(d, rc, "恢复运行");
            return rc;
        }
    }
    return result;
}

// Flash programming and erase (driver codes 30 and 31); the lock is held.
int32_t gdb_flash_program_locked(GdbDriver* d, const FlashRequest* request);
int32_t gdb_flash_erase_locked(GdbDriver* d);

// A firmware image as address-ordered byte runs (ELF PT_LOAD at load addresses, Intel HEX, or
// a raw binary at the base address).
struct GdbImageSegment {
    uint64_t address;
    uint32_t size;
    uint32_t offset;  // into GdbImage::bytes
};
constexpr int32_t GDB_IMAGE_SEGMENTS_MAX = 64;
constexpr uint32_t GDB_IMAGE_BYTES_MAX = 16u << 20;
// A loaded image: segments pointing into one heap block.
struct GdbImage {
    int32_t count;
    GdbImageSegment segments[GDB_IMAGE_SEGMENTS_MAX];
    uint8_t* bytes;
    uint32_t size;
};
// Parses an image held in memory; the format follows the path's extension (.elf/.out/.axf,
// .hex, anything else raw at `base`). 0 or GDB_ERR_FORMAT / GDB_ERR_FILE.
int32_t gdb_image_parse(const char* path, const uint8_t* data, size_t size, uint32_t base, GdbImage* out);
int32_t gdb_image_load(const char* utf8_path, uint32_t base, GdbImage* out);
void gdb_image_free(GdbImage* image);
