// gdb_driver.cpp - the driver operations over the GDB remote protocol.
//
// Index
//   [SECTION] Connection steps (handshake, halt and resume, monitor commands)
//   [SECTION] Memory transfers (m, M, X split to the packet size)
//   [SECTION] Scan, connect, disconnect, status, info, speeds
//   [SECTION] Operation entry
//
// Read modes: in background mode the driver is an extra client that never sends c, s or an
// interrupt while attached (the server reads memory while the core runs). In halt mode every
// request is wrapped as interrupt - transfer - continue, because such servers (QEMU's gdbstub,
// the Black Magic Probe) only answer while the target is stopped.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "gdb_driver.h"

namespace {

// A text request and its answer (stop replies on the way skipped: QEMU, for one, announces the
// stop its new client caused before answering the first request).
int32_t ask(GdbDriver* d, const char* command) {
    return gdb_driver_exchange_locked(d, command, std::strlen(command));
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Connection steps (handshake, halt and resume, monitor commands)
//-------------------------------------------------------------------------------------------------

const GdbServerConfig* current_server(const GdbDriver* d) {
    return d->server >= 0 && d->server < d->config.count ? &d->config.servers[d->server] : nullptr;
}

bool halt_mode(const GdbDriver* d) { return gdb_driver_halt_mode(d); }

bool reply_is(const uint8_t* reply, int32_t n, const char* text) {
    return n == (int32_t)std::strlen(text) && std::memcmp(reply, text, (size_t)n) == 0;
}

// Console text of monitor commands, collected while one runs.
struct ConsoleBuffer {
    char* text;
    size_t capacity;
    size_t size;
};

void collect_console(void* context, const char* text) {
    ConsoleBuffer* b = (ConsoleBuffer*)context;
    if (!b || !b->text || b->capacity == 0) return;
    size_t n = std::strlen(text);
    size_t room = b->capacity - 1 - b->size;
    if (n > room) n = room;
    std::memcpy(b->text + b->size, text, n);
    b->size += n;
    b->text[b->size] = 0;
}

// Reads a whole qXfer object ("qXfer:<object>:read:<annex>:offset,length") into out.
}  // namespace

int32_t gdb_driver_xfer_locked(GdbDriver* d, const char* object, const char* annex, char* out, size_t capacity) {
    size_t size = 0;
    uint32_t chunk = d->features.packet_size > 64 ? d->features.packet_size - 16 : 48;
    for (int32_t rounds = 0; rounds < 4096; rounds++) {
        std::snprintf(d->command, sizeof d->command, "qXfer:%s:read:%s:%zx,%x", object, annex, size, chunk);
        int32_t n = ask(d, d->command);
        if (n < 0) return n;
        int32_t code;
        if (n == 0 || gdb_reply_is_error(d->reply, (size_t)n, &code)) return GDB_ERR_UNSUPPORTED;
        if (d->reply[0] != 'm' && d->reply[0] != 'l') return GDB_ERR_PROTOCOL;
        size_t part = (size_t)n - 1;
        if (size + part >= capacity) part = capacity - 1 - size;
        std::memcpy(out + size, d->reply + 1, part);
        size += part;
        out[size] = 0;
        if (d->reply[0] == 'l' || n == 1 || size + 1 >= capacity) return (int32_t)size;
    }
    return (int32_t)size;
}

namespace {

// Waits for the stop reply after an interrupt.
int32_t wait_stopped(GdbDriver* d) {
    int32_t n = gdb_link_receive(&d->link, d->reply, sizeof d->reply, d->link.timeout_ms);
    if (n < 0) return n;
    int32_t signal;
    if (!gdb_reply_is_stop(d->reply, (size_t)n, &signal)) return GDB_ERR_PROTOCOL;
    d->last_stop_signal = signal;
    return 0;
}

// Sends a request and receives its answer. A stop reply on the way is not the answer: it is
// recorded, and when no answer follows shortly the request is sent once more (a server that
// stops the target on any incoming byte, QEMU's gdbstub, drops the request it stopped for).
}  // namespace

int32_t gdb_driver_exchange_locked(GdbDriver* d, const char* payload, size_t size) {
    int32_t rc = gdb_link_send(&d->link, (const uint8_t*)payload, size);
    if (rc != 0) return rc;
    bool resent = false;
    for (;;) {
        int32_t n = gdb_link_receive(&d->link, d->reply, sizeof d->reply, d->link.timeout_ms);
        int32_t signal;
        if (n < 0 || !gdb_reply_is_stop(d->reply, (size_t)n, &signal)) return n;
        d->last_stop_signal = signal;
        if (d->connected && !halt_mode(d) && !d->stop_warned && d->log) {
            d->log(KX_LOG_WARN, "GDB Server: 服务器在读写时暂停了目标（信号 %d）；该服务器请使用 mode=halt", (int)signal);
            d->stop_warned = true;
        }
        if (gdb_link_flush_ack(&d->link) != 0) return GDB_ERR_IO;
        n = gdb_link_poll(&d->link, d->reply, sizeof d->reply, d->link.timeout_ms / 4 + 1);
        if (n == GDB_ERR_TIMEOUT && !resent && gdb_link_is_open(&d->link)) {
            resent = true;
            rc = gdb_link_send(&d->link, (const uint8_t*)payload, size);
            if (rc != 0) return rc;
            continue;
        }
        if (n < 0 || !gdb_reply_is_stop(d->reply, (size_t)n, &signal)) return n;
    }
}

namespace {

// The current target's name in OpenOCD's "targets" table: the row whose number carries the '*'
// (" 0* stm32f4x.cpu  cortex_m  little ..."). False when there is no such row.
bool parse_openocd_targets(const char* text, char* out, size_t capacity) {
    for (const char* line = text; *line;) {
        const char* p = line;
        while (*p == ' ' || *p == '\t') p++;
        const char* digits = p;
        while (*p >= '0' && *p <= '9') p++;
        if (p > digits && *p == '*') {
            p++;
            while (*p == ' ' || *p == '\t') p++;
            size_t n = 0;
            while (p[n] && p[n] != ' ' && p[n] != '\t' && p[n] != '\r' && p[n] != '\n') n++;
            if (n > 0 && capacity > 0) {
                if (n >= capacity) n = capacity - 1;
                std::memcpy(out, p, n);
                out[n] = 0;
                return true;
            }
        }
        const char* next = std::strchr(line, '\n');
        if (!next) break;
        line = next + 1;
    }
    return false;
}

// Sends the handshake; fills d->features and d->target_name.
int32_t handshake(GdbDriver* d, const GdbServerConfig* s, int32_t clock_khz) {
    int32_t n = ask(d, "qSupported:swbreak+;hwbreak+;xmlRegisters=arm");
    if (n < 0) return n;
    gdb_parse_supported(d->reply, (size_t)n, &d->features);
    if (d->features.no_ack) {
        n = ask(d, "QStartNoAckMode");
        if (n < 0) return n;
        if (reply_is(d->reply, n, "OK")) d->link.no_ack = true;
    }
    n = gdb_link_exchange(&d->link, "?", d->reply, sizeof d->reply);
    if (n < 0) return n;
    int32_t signal = -1;
    if (gdb_reply_is_stop(d->reply, (size_t)n, &signal)) d->last_stop_signal = signal;
    d->target_name[0] = 0;
    if (d->features.target_xml) {
        static char xml[16384];
        int32_t size = gdb_driver_xfer_locked(d, "features", "target.xml", xml, sizeof xml);
        if (size < 0 && size != GDB_ERR_UNSUPPORTED) return size;
        if (size > 0) gdb_parse_architecture(xml, (size_t)size, d->target_name, sizeof d->target_name);
    }
    if (s->kind == GDB_KIND_OPENOCD) {
        // A target description only says "arm"; OpenOCD's target list names the part's core.
        static char table[2048];
        int32_t rc = gdb_driver_monitor_locked(d, "targets", table, sizeof table);
        if (rc < 0 && rc != GDB_ERR_TARGET && rc != GDB_ERR_UNSUPPORTED) return rc;
        if (rc == 0) parse_openocd_targets(table, d->target_name, sizeof d->target_name);
    }
    if (clock_khz > 0) {
        char command[64] = "";
        if (s->kind == GDB_KIND_OPENOCD) std::snprintf(command, sizeof command, "adapter speed %d", (int)clock_khz);
        else if (s->kind == GDB_KIND_JLINK) std::snprintf(command, sizeof command, "speed %d", (int)clock_khz);
        if (command[0]) {
            int32_t rc = gdb_driver_monitor_locked(d, command, nullptr, 0);
            if (rc < 0 && rc != GDB_ERR_TARGET && rc != GDB_ERR_UNSUPPORTED) return rc;
            if (d->log) d->log(KX_LOG_INFO, "GDB Server: 时钟 %d kHz（monitor %s）%s", (int)clock_khz, command,
                               rc == 0 ? "" : " 未被接受");
        }
    }
    return 0;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Memory transfers (m, M, X split to the packet size)
//-------------------------------------------------------------------------------------------------

// Bytes one m reply or one M request may carry: the hex doubles them.
uint32_t hex_chunk(const GdbDriver* d) {
    uint32_t c = (d->features.packet_size - 32) / 2;
    return c < 16 ? 16 : c > 4096 ? 4096 : c;
}

}  // namespace

int32_t gdb_driver_read_raw_locked(GdbDriver* d, uint64_t address, uint8_t* buffer, uint32_t length) {
    uint32_t done = 0;
    while (done < length) {
        uint32_t want = length - done;
        if (want > hex_chunk(d)) want = hex_chunk(d);
        std::snprintf(d->command, sizeof d->command, "m%llx,%x", (unsigned long long)(address + done), want);
        int32_t n = ask(d, d->command);
        if (n < 0) return n;
        int32_t code;
        if (gdb_reply_is_error(d->reply, (size_t)n, &code)) return GDB_ERR_TARGET;
        // A server may send fewer bytes than asked (the rest is asked again); none at all or
        // more than asked is a failure.
        int32_t got = gdb_hex_to_bytes((const char*)d->reply, (size_t)n, buffer + done, want);
        if (got <= 0) return GDB_ERR_PROTOCOL;
        done += (uint32_t)got;
    }
    return (int32_t)done;
}

namespace {

// Tests once whether the server takes binary writes (an empty X that answers OK).
void probe_binary_write(GdbDriver* d, uint64_t address) {
    d->write_binary_known = true;
    std::snprintf(d->command, sizeof d->command, "X%llx,0:", (unsigned long long)address);
    int32_t n = ask(d, d->command);
    d->write_binary = reply_is(d->reply, n, "OK");
}

int32_t write_chunks(GdbDriver* d, uint64_t address, const uint8_t* data, uint32_t length) {
    if (!d->write_binary_known) {
        probe_binary_write(d, address);
        if (!gdb_link_is_open(&d->link)) return GDB_ERR_CLOSED;
    }
    uint32_t done = 0;
    while (done < length) {
        uint32_t part = length - done;
        size_t header;
        if (d->write_binary) {
            // Escaping can double a byte: keep the framed packet inside the server's size.
            uint32_t room = (d->features.packet_size - 40) / 2;
            if (part > room) part = room;
            header = (size_t)std::snprintf(d->command, sizeof d->command, "X%llx,%x:",
                                           (unsigned long long)(address + done), part);
            std::memcpy(d->command + header, data + done, part);
            header += part;
        } else {
            if (part > hex_chunk(d)) part = hex_chunk(d);
            header = (size_t)std::snprintf(d->command, sizeof d->command, "M%llx,%x:",
                                           (unsigned long long)(address + done), part);
            gdb_bytes_to_hex(data + done, part, d->command + header);
            header += 2 * part;
        }
        int32_t n = gdb_driver_exchange_locked(d, d->command, header);
        if (n < 0) return n;
        int32_t code;
        if (gdb_reply_is_error(d->reply, (size_t)n, &code)) return GDB_ERR_TARGET;
        if (!reply_is(d->reply, n, "OK")) return GDB_ERR_PROTOCOL;
        done += part;
    }
    return 0;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Scan, connect, disconnect, status, info, speeds
//-------------------------------------------------------------------------------------------------

// Says how many console lines the budget held back (at the next second, or when the link drops).
void log_console_dropped(GdbDriver* d) {
    if (d->console_dropped > 0 && d->log)
        d->log(KX_LOG_WARN, "GDB Server: 服务器控制台输出过多，已省略 %d 行", (int)d->console_dropped);
    d->console_dropped = 0;
}

// Logs a server's console text, at most GDB_CONSOLE_LINES_PER_SECOND lines a second: a server
// that floods its console (semihosting output, a chatty monitor) must not bury the log.
void log_console_line(void* context, const char* text) {
    GdbDriver* d = (GdbDriver*)context;
    if (!d->log || !text[0]) return;
    int64_t now = gdb_link_clock_ms();
    if (now - d->console_window_ms >= 1000) {
        log_console_dropped(d);
        d->console_window_ms = now;
        d->console_lines = 0;
    }
    if (d->console_lines >= GDB_CONSOLE_LINES_PER_SECOND) {
        d->console_dropped++;
        return;
    }
    d->console_lines++;
    d->log(KX_LOG_INFO, "GDB Server: %s", text);
}

// What a server says of itself: the first line of its version command, where the kind has one.
void describe_server(GdbDriver* d, const GdbServerConfig* s, char* out, size_t capacity) {
    const char* command = s->kind == GDB_KIND_OPENOCD ? "version" : s->kind == GDB_KIND_QEMU ? "info version" : nullptr;
    char text[256] = "";
    if (command) gdb_driver_monitor_locked(d, command, text, sizeof text);
    char* cut = std::strpbrk(text, "\r\n");
    if (cut) *cut = 0;
    if (text[0]) std::snprintf(out, capacity, "%s: %s [%s]", gdb_kind_name(s->kind), text, s->name);
    else std::snprintf(out, capacity, "%s [%s]", gdb_kind_name(s->kind), s->name);
}

// Connects to one server briefly: it counts as found when it accepts the connection; the
// description is asked for and the server is detached again (detaching lets a target run on
// that the connection stopped).
bool probe_server(GdbDriver* d, int32_t index, ProbeInfo* info) {
    const GdbServerConfig* s = &d->config.servers[index];
    char error[128];
    d->link.timeout_ms = s->timeout_ms < 500 ? s->timeout_ms : 500;
    if (gdb_link_open(&d->link, d->transport, s->host, s->port, GDB_SCAN_CONNECT_MS, error, sizeof error) != 0)
        return false;
    if (info) {
        std::snprintf(info->serial, sizeof info->serial, "%.50s:%d", s->host, (int)s->port);
        int32_t saved = d->server;
        d->server = index;
        int32_t n = ask(d, "qSupported");
        if (n >= 0) gdb_parse_supported(d->reply, (size_t)n, &d->features);
        if (n >= 0) describe_server(d, s, info->product, sizeof info->product);
        else std::snprintf(info->product, sizeof info->product, "%s [%s]", gdb_kind_name(s->kind), s->name);
        d->server = saved;
        if (gdb_link_is_open(&d->link)) ask(d, "D");
    }
    gdb_link_close(&d->link);
    return true;
}

int32_t do_scan(GdbDriver* d, ScanRequest* request) {
    ProbeInfo* probes = request ? request->probes : nullptr;
    uint32_t capacity = request ? request->capacity : 0;
    d->found_count = 0;
    for (int32_t i = 0; i < d->config.count; i++) {
        ProbeInfo info;
        std::memset(&info, 0, sizeof info);
        bool found;
        if (d->connected && i == d->server) {
            // The server of the open connection takes no second client: list it as it is.
            const GdbServerConfig* s = &d->config.servers[i];
            std::snprintf(info.serial, sizeof info.serial, "%.50s:%d", s->host, (int)s->port);
            std::snprintf(info.product, sizeof info.product, "%s [%s]（已连接）", gdb_kind_name(s->kind), s->name);
            found = true;
        } else {
            if (d->connected) continue;  // probing others would not disturb the link, but keep it quiet
            found = probe_server(d, i, &info);
        }
        if (!found) continue;
        if (probes && (uint32_t)d->found_count < capacity) probes[d->found_count] = info;
        d->found[d->found_count++] = i;
    }
    if (request) request->count = d->found_count;
    return 0;
}

void drop_connection(GdbDriver* d) {
    log_console_dropped(d);
    gdb_link_close(&d->link);
    d->connected = false;
    d->server = -1;
    d->write_binary_known = false;
    d->write_binary = false;
}

int32_t do_connect(GdbDriver* d, const ConnectRequest* request) {
    if (d->connected) drop_connection(d);  // a reconnect starts clean
    int32_t index = request ? request->probe_index : -1;
    if (index < 0 || index >= d->found_count) {
        if (d->log) d->log(KX_LOG_ERROR, "GDB Server: 没有编号为 %d 的服务器，请先刷新", (int)index);
        return GDB_ERR_NO_SERVER;
    }
    d->server = d->found[index];
    const GdbServerConfig* s = &d->config.servers[d->server];
    char error[128] = "";
    d->link.timeout_ms = s->timeout_ms;
    d->link.console = log_console_line;
    d->link.console_context = d;
    d->last_stop_signal = -1;
    int32_t rc = gdb_link_open(&d->link, d->transport, s->host, s->port, s->timeout_ms, error, sizeof error);
    if (rc == 0) rc = handshake(d, s, request->clock_khz);
    if (rc != 0) {
        if (d->log)
            d->log(KX_LOG_ERROR, "GDB Server: 连接 %s:%d 失败: %s %s", s->host, (int)s->port, gdb_error_text(rc), error);
        drop_connection(d);
        return rc;
    }
    d->connected = true;
    // Signal 0 is "no signal": a server that reads while the core runs (OpenOCD, for one) answers
    // "?" with S00 for a target that is running, so only a real signal means the attach stopped it.
    // Halt mode continues after any stop reply: its server answers only while stopped.
    bool stopped = s->mode == GDB_MODE_HALT ? d->last_stop_signal >= 0 : d->last_stop_signal > 0;
    if (s->mode == GDB_MODE_HALT) {
        // The attach stopped the target; reads stop it only briefly from now on.
        if (stopped) rc = gdb_driver_resume_locked(d);
        if (!d->halt_warned && d->log) {
            d->log(KX_LOG_WARN, "GDB Server: halt 读取模式：每次读写都会短暂暂停目标");
            d->halt_warned = true;
        }
    } else if (stopped && s->resume_on_attach) {
        rc = gdb_driver_resume_locked(d);
    }
    if (rc != 0) {
        if (d->log) d->log(KX_LOG_ERROR, "GDB Server: 连接后恢复运行失败: %s", gdb_error_text(rc));
        drop_connection(d);
        return rc;
    }
    if (d->log)
        d->log(KX_LOG_INFO, "GDB Server: 已连接 %s:%d（%s，读取模式 %s，包长 %u%s%s）", s->host, (int)s->port,
               gdb_kind_name(s->kind), s->mode == GDB_MODE_HALT ? "halt" : "background",
               (unsigned)d->features.packet_size, d->link.no_ack ? "，no-ack" : "",
               s->mode == GDB_MODE_BACKGROUND && stopped && !s->resume_on_attach ? "，目标保持暂停" : "");
    return 0;
}

void do_disconnect(GdbDriver* d) {
    if (!d->connected) {
        drop_connection(d);
        return;
    }
    // Detach lets the target run on. A halt-mode server reads nothing while the target runs, so
    // it is stopped first (its detach then resumes it).
    bool ok = true;
    if (halt_mode(d)) ok = gdb_driver_halt_locked(d) == 0;
    if (ok && gdb_link_is_open(&d->link)) ask(d, "D");
    const GdbServerConfig* s = current_server(d);
    if (d->log && s) d->log(KX_LOG_INFO, "GDB Server: 已断开 %s:%d", s->host, (int)s->port);
    drop_connection(d);
}

void do_info(GdbDriver* d, ProbeDetails* out) {
    if (!out) return;
    std::memset(out, 0, sizeof *out);
    const GdbServerConfig* s = current_server(d);
    if (s) std::snprintf(out->description, sizeof out->description, "GDB server %s:%d", s->host, (int)s->port);
    else std::snprintf(out->description, sizeof out->description, "GDB server");
    std::snprintf(out->library_version, sizeof out->library_version, "gdbremote 1.0");
    if (d->target_name[0]) std::snprintf(out->target_name, sizeof out->target_name, "%s", d->target_name);
    else if (s && s->kind == GDB_KIND_QEMU) std::snprintf(out->target_name, sizeof out->target_name, "QEMU");
}

// Asks the server for the stop state: a stop reply means it answers and holds its target; an
// exit ("W", "X") or an error means the target is gone.
int32_t check_attached(GdbDriver* d) {
    // Not through ask(): its answer is a stop reply, which ask() passes over.
    int32_t n = gdb_link_exchange(&d->link, "?", d->reply, sizeof d->reply);
    if (n < 0) return n;
    int32_t signal = 0;
    if (gdb_reply_is_stop(d->reply, (size_t)n, &signal) && (d->reply[0] == 'S' || d->reply[0] == 'T')) return 0;
    return GDB_ERR_TARGET;
}

// Connected only while the server answers and still holds the target. A server heard from within
// GDB_STATUS_QUIET_MS counts as answering; a quieter one is asked (in halt mode around a brief
// stop, like a read), and a failed check drops the connection.
int32_t do_status(GdbDriver* d) {
    if (!d->connected || !gdb_link_is_open(&d->link)) return 0;
    if (gdb_link_quiet_ms(&d->link) < GDB_STATUS_QUIET_MS) return 1;
    int32_t rc = gdb_driver_with_target_stopped(d, "检查连接", [&] { return check_attached(d); });
    if (rc == GDB_ERR_TARGET && d->connected) {
        if (d->log) d->log(KX_LOG_ERROR, "GDB Server: 服务器报告目标已不在（应答 %c），连接已断开", (char)d->reply[0]);
        drop_connection(d);
    }
    return rc == 0 && d->connected ? 1 : 0;
}

int32_t do_speeds(SpeedTable* out) {
    if (!out) return GDB_ERR_ARGUMENT;
    static const int32_t kSteps[] = {0, 100, 200, 500, 1000, 2000, 4000, 8000, 10000, 12000, 20000, 24000};
    std::memset(out, 0, sizeof *out);
    int32_t n = (int32_t)(sizeof kSteps / sizeof kSteps[0]);
    // 0 stands for "the server's own setting" and is skipped by the host (steps <= 0).
    for (int32_t i = 0; i < n; i++) out->swd_khz[i] = out->jtag_khz[i] = kSteps[i];
    out->swd_count = out->jtag_count = n;
    return 0;
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Operation entry
//-------------------------------------------------------------------------------------------------

bool gdb_driver_halt_mode(const GdbDriver* d) {
    const GdbServerConfig* s = current_server(d);
    return s && s->mode == GDB_MODE_HALT;
}

int32_t gdb_driver_halt_locked(GdbDriver* d) {
    int32_t rc = gdb_link_interrupt(&d->link);
    return rc != 0 ? rc : wait_stopped(d);
}

int32_t gdb_driver_resume_locked(GdbDriver* d) {
    // "c" has no reply until the target stops again; the next interrupt collects it.
    return gdb_link_send(&d->link, (const uint8_t*)"c", 1);
}

int32_t gdb_driver_monitor_locked(GdbDriver* d, const char* command, char* output, size_t capacity) {
    size_t n = std::strlen(command);
    if (n * 2 + 8 > sizeof d->command) return GDB_ERR_ARGUMENT;
    std::memcpy(d->command, "qRcmd,", 6);
    gdb_bytes_to_hex((const uint8_t*)command, n, d->command + 6);
    ConsoleBuffer buffer = {output, capacity, 0};
    if (output && capacity) output[0] = 0;
    GdbConsoleSink saved = d->link.console;
    void* saved_context = d->link.console_context;
    d->link.console = collect_console;
    d->link.console_context = &buffer;
    int32_t r = ask(d, d->command);
    d->link.console = saved;
    d->link.console_context = saved_context;
    if (r < 0) return r;
    int32_t code;
    if (r == 0) return GDB_ERR_UNSUPPORTED;
    if (gdb_reply_is_error(d->reply, (size_t)r, &code)) return GDB_ERR_TARGET;
    if (reply_is(d->reply, r, "OK")) return 0;
    // Some servers answer with the output as hex instead of console packets.
    if (output && capacity) {
        int32_t m = gdb_hex_to_bytes((const char*)d->reply, (size_t)r, (uint8_t*)output, capacity - 1);
        output[m > 0 ? m : 0] = 0;
    }
    return 0;
}

void gdb_driver_fail_locked(GdbDriver* d, int32_t code, const char* what) {
    const GdbServerConfig* s = current_server(d);
    if (d->log && d->connected)
        d->log(KX_LOG_ERROR, "GDB Server: %s失败（%s），连接已断开 %s:%d", what, gdb_error_text(code), s ? s->host : "?",
               s ? (int)s->port : 0);
    drop_connection(d);
}

int32_t gdb_driver_read_locked(GdbDriver* d, uint64_t address, uint8_t* buffer, uint32_t length) {
    if (!d->connected || !gdb_link_is_open(&d->link)) return GDB_ERR_NOT_CONNECTED;
    return gdb_driver_with_target_stopped(d, "读写内存", [&] { return gdb_driver_read_raw_locked(d, address, buffer, length); });
}

GdbDriver* gdb_driver_create(const GdbConfig* config, const NetTransport* transport, GdbLogFn log) {
    GdbDriver* d = new (std::nothrow) GdbDriver;
    if (!d) return nullptr;
    d->config = *config;
    d->log = log;
    d->transport = transport;
    d->found_count = 0;
    d->server = -1;
    d->connected = false;
    d->halt_warned = false;
    d->stop_warned = false;
    d->write_binary_known = d->write_binary = false;
    std::memset(&d->features, 0, sizeof d->features);
    d->features.packet_size = GDB_PACKET_DEFAULT;
    d->target_name[0] = 0;
    d->last_stop_signal = -1;
    d->console_window_ms = 0;
    d->console_lines = d->console_dropped = 0;
    std::memset(&d->link, 0, sizeof d->link);
    d->link.sock = NET_SOCK_NONE;
    return d;
}

void gdb_driver_destroy(GdbDriver* d) {
    if (!d) return;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        do_disconnect(d);
    }
    delete d;
}

int32_t gdb_driver_command(GdbDriver* d, int32_t code, void* in, void* out) {
    if (!d) return GDB_ERR_ARGUMENT;
    std::lock_guard<std::mutex> guard(d->lock);
    switch (code) {
        case KX_DRV_CONNECT: return do_connect(d, (const ConnectRequest*)in);
        case KX_DRV_DISCONNECT: do_disconnect(d); return 0;
        case KX_DRV_STATUS: {
            int32_t on = do_status(d);
            if (out) *(int32_t*)out = on;
            return 0;
        }
        case KX_DRV_SCAN: return do_scan(d, (ScanRequest*)in);
        case KX_DRV_READ: {
            MemoryRequest* r = (MemoryRequest*)in;
            if (!r || !r->buffer || r->length == 0 || r->length > 65536) return GDB_ERR_ARGUMENT;
            int32_t n = gdb_driver_read_locked(d, r->address, (uint8_t*)r->buffer, r->length);
            return n;
        }
        case KX_DRV_WRITE: {
            MemoryRequest* r = (MemoryRequest*)in;
            if (!r || !r->buffer || r->length == 0 || r->length > 65536) return GDB_ERR_ARGUMENT;
            if (!d->connected || !gdb_link_is_open(&d->link)) return GDB_ERR_NOT_CONNECTED;
            return gdb_driver_with_target_stopped(
                d, "读写内存", [&] { return write_chunks(d, r->address, (const uint8_t*)r->buffer, r->length); });
        }
        case KX_DRV_INFO: do_info(d, (ProbeDetails*)out); return 0;
        case KX_DRV_SPEEDS: return do_speeds((SpeedTable*)out);
        case KX_DRV_PROGRAM:
            if (!in) return GDB_ERR_ARGUMENT;
            if (!d->connected) return GDB_ERR_NOT_CONNECTED;
            return gdb_flash_program_locked(d, (const FlashRequest*)in);
        case KX_DRV_ERASE:
            if (!d->connected) return GDB_ERR_NOT_CONNECTED;
            return gdb_flash_erase_locked(d);
        default: return GDB_ERR_UNSUPPORTED;
    }
}
