// sim_module.cpp - "SimLink", the simulated target as a Kestrelix driver module (sim.dll).
//
// Settings come from sim.ini beside the DLL and from KX_SIM_* environment variables. At load the
// simulated board is pre-programmed with the image named by `image=` or, by default, the demo
// firmware one folder above the DLL (out/win64/demo.elf), and its core starts running.
// The module also asks for the window-module role (it offers no window types): that role is what
// tells a module, with code 11 on the main thread, that the host loaded a firmware image, and the
// firmware behaviour then finds its variables again.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim_target.h"

namespace {

// The module's context.
struct SimModule {
    const HostApi* host;
    SimTarget* target;
};

const char* env_lookup(const char* name) { return std::getenv(name); }

// Directory of this DLL (UTF-8, no trailing separator).
void dll_directory(char* out, size_t capacity) {
    out[0] = 0;
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)(void*)&dll_directory, &self))
        return;
    wchar_t wide[1024];
    DWORD n = GetModuleFileNameW(self, wide, 1024);
    if (n == 0 || n >= 1024) return;
    wchar_t* cut = wcsrchr(wide, L'\\');
    if (cut) *cut = 0;
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, (int)capacity, nullptr, nullptr);
}

FILE* open_utf8(const char* path, const wchar_t* mode) {
    wchar_t wide[1040];
    if (!MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, 1040)) return nullptr;
    return _wfopen(wide, mode);
}

void read_ini(SimConfig* config, const char* dir) {
    char path[1100];
    std::snprintf(path, sizeof path, "%s\\sim.ini", dir);
    FILE* f = open_utf8(path, L"rb");
    if (!f) return;
    static char text[16384];
    size_t n = std::fread(text, 1, sizeof text - 1, f);
    text[n] = 0;
    std::fclose(f);
    sim_config_parse_ini(config, text);
}

// The image to pre-program: `image=` (relative to the DLL folder unless absolute), else demo.elf
// one folder up when it exists.
bool preload_path(const SimConfig* config, const char* dir, char* out, size_t capacity) {
    const char* image = config->image;
    if (image[0]) {
        bool absolute = image[0] == '\\' || image[0] == '/' || (image[0] && image[1] == ':');
        if (absolute) std::snprintf(out, capacity, "%s", image);
        else std::snprintf(out, capacity, "%s\\%s", dir, image);
        return true;
    }
    std::snprintf(out, capacity, "%s\\..\\demo.elf", dir);
    FILE* f = open_utf8(out, L"rb");
    if (!f) return false;
    std::fclose(f);
    return true;
}

int32_t sim_init(const HostApi* host, void** context) {
    char dir[1024];
    dll_directory(dir, sizeof dir);
    SimConfig config;
    sim_config_defaults(&config);
    read_ini(&config, dir);
    sim_config_apply_env(&config, env_lookup);
    SimModule* m = (SimModule*)std::calloc(1, sizeof(SimModule));
    if (!m) return 1;
    m->host = host;
    m->target = sim_target_create(&config);
    if (!m->target) {
        std::free(m);
        return 1;
    }
    char image[1100];
    if (preload_path(&config, dir, image, sizeof image)) {
        int32_t rc = sim_target_program_file(m->target, image, SIM_FLASH_BASE, false, true, true);
        if (host && host->host_log) {
            if (rc == 0) host->host_log(KX_LOG_INFO, "SimLink: 仿真目标已预载固件 %s", image);
            else host->host_log(KX_LOG_WARN, "SimLink: 预载固件失败 %s (rc=%d)", image, (int)rc);
        }
    }
    sim_target_start_ticking(m->target);
    *context = m;
    return 0;
}

void sim_destroy(void* context) {
    SimModule* m = (SimModule*)context;
    if (!m) return;
    sim_target_destroy(m->target);
    std::free(m);
}

const ModuleGlobalVar* (*find_global_of(const SimModule* m))(const char*) {
    return m->host ? m->host->host_find_global : nullptr;
}

// Finds the demo variables in the host's firmware image again (main thread only: the image's
// records may be freed by the next load) and says how many the behaviour drives.
void resolve_variables(SimModule* m) {
    sim_target_set_resolver(m->target, find_global_of(m));
    int32_t count = sim_target_resolved_count(m->target);
    if (m->host && m->host->host_log)
        m->host->host_log(KX_LOG_INFO, "SimLink: 演示固件变量 %d 个由仿真固件驱动", (int)count);
}

int32_t sim_command(void* context, int32_t code, void* in, void* out) {
    SimModule* m = (SimModule*)context;
    if (!m) return -1;
    if (code == 11) {  // the host loaded a firmware image
        resolve_variables(m);
        return 0;
    }
    int32_t rc = sim_target_command(m->target, code, in, out);
    if (code == KX_DRV_CONNECT && rc == 0) resolve_variables(m);
    return rc;
}

ModuleDescriptor make_descriptor() {
    ModuleDescriptor d;
    std::memset(&d, 0, sizeof d);
    d.api_version = KX_MODULE_API_VERSION;
    d.flags = KX_MODULE_DRIVER | KX_MODULE_WINDOW;
    std::snprintf(d.name, sizeof d.name, "SimLink");
    std::snprintf(d.version, sizeof d.version, "1.0");
    std::snprintf(d.description, sizeof d.description,
                  "仿真探针与 STM32F303 目标（运行演示固件，无需硬件）");
    d.init = sim_init;
    d.destroy = sim_destroy;
    d.command = sim_command;
    return d;
}

const ModuleDescriptor kDescriptor = make_descriptor();

}  // namespace

extern "C" __declspec(dllexport) const ModuleDescriptor* kx_module_get(void) { return &kDescriptor; }
