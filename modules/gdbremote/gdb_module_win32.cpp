// gdb_module_win32.cpp - "GDB Server", the GDB-remote driver as a Kestrelix driver module
// (gdbremote.dll).
//
// Servers come from gdbremote.ini beside the DLL; without it (or when it names no usable server)
// the well-known local ports are offered. A missing or unreadable file is not an error.
#include <winsock2.h>
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gdb_driver.h"
#include "gdb_transport.h"

namespace {

// The module's context.
struct GdbModule {
    GdbDriver* driver;
    bool sockets_started;
};

// The host's log service, reachable from the driver's plain log callback.
const HostApi* g_host = nullptr;

int32_t host_log_relay(int32_t level, const char* format, ...) {
    if (!g_host || !g_host->host_log) return 0;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return g_host->host_log(level, "%s", text);
}

// Directory of this DLL (UTF-16, no trailing separator).
void dll_directory(wchar_t* out, DWORD capacity) {
    out[0] = 0;
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)(void*)&dll_directory, &self))
        return;
    DWORD n = GetModuleFileNameW(self, out, capacity);
    if (n == 0 || n >= capacity) {
        out[0] = 0;
        return;
    }
    wchar_t* cut = wcsrchr(out, L'\\');
    if (cut) *cut = 0;
}

// Reads gdbremote.ini into the configuration; false when there is no usable file.
bool read_ini(GdbConfig* config) {
    wchar_t path[1100];
    dll_directory(path, 1024);
    wcscat(path, L"\\gdbremote.ini");
    FILE* f = _wfopen(path, L"rb");
    if (!f) return false;
    static char text[65536];
    size_t n = std::fread(text, 1, sizeof text - 1, f);
    text[n] = 0;
    std::fclose(f);
    return gdb_config_parse(config, text, host_log_relay) > 0;
}

int32_t gdb_init(const HostApi* host, void** context) {
    g_host = host;
    GdbModule* m = (GdbModule*)std::calloc(1, sizeof(GdbModule));
    if (!m) return 1;
    const NetTransport* transport = gdb_transport_platform();
    m->sockets_started = transport->startup() == 0;
    static GdbConfig config;
    bool from_file = read_ini(&config);
    if (!from_file) gdb_config_defaults(&config);
    m->driver = gdb_driver_create(&config, transport, host_log_relay);
    if (!m->driver) {
        if (m->sockets_started) transport->cleanup();
        std::free(m);
        return 1;
    }
    host_log_relay(KX_LOG_INFO, "GDB Server: %d 个服务器（%s）", (int)config.count,
                   from_file ? "gdbremote.ini" : "默认本地端口 3333/2331/61234/1234");
    *context = m;
    return 0;
}

void gdb_destroy(void* context) {
    GdbModule* m = (GdbModule*)context;
    if (!m) return;
    gdb_driver_destroy(m->driver);
    if (m->sockets_started) net_transport_platform()->cleanup();
    std::free(m);
}

int32_t gdb_command(void* context, int32_t code, void* in, void* out) {
    GdbModule* m = (GdbModule*)context;
    return m ? gdb_driver_command(m->driver, code, in, out) : GDB_ERR_ARGUMENT;
}

ModuleDescriptor make_descriptor() {
    ModuleDescriptor d;
    std::memset(&d, 0, sizeof d);
    d.api_version = KX_MODULE_API_VERSION;
    d.flags = KX_MODULE_DRIVER;
    std::snprintf(d.name, sizeof d.name, "GDB Server");
    std::snprintf(d.version, sizeof d.version, "1.0");
    std::snprintf(d.description, sizeof d.description,
                  "经 GDB 远程协议访问目标（OpenOCD、pyOCD、J-Link/ST-LINK GDB Server、QEMU）");
    d.init = gdb_init;
    d.destroy = gdb_destroy;
    d.command = gdb_command;
    return d;
}

const ModuleDescriptor kDescriptor = make_descriptor();

}  // namespace

extern "C" __declspec(dllexport) const ModuleDescriptor* kx_module_get(void) { return &kDescriptor; }
