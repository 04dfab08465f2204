/* testmod.c - small modules for the loader tests, one source built several ways:
 *   TESTMOD_NO_EXPORT      no kx_module_get at all
 *   TESTMOD_API_VERSION    the descriptor's api_version (default 4)
 *   TESTMOD_INIT_RESULT    what init returns (default 0)
 *   TESTMOD_NO_INIT        no init entry
 *   TESTMOD_FLAGS          role flags (default 2)
 *   TESTMOD_NAME           module name; by default the DLL's own file name without ".dll", so
 *                          copies of one DLL are told apart
 * init and destroy log "testmod init: NAME" and "testmod destroy: NAME" through the host. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "kestrelix_module.h"

#ifndef TESTMOD_API_VERSION
#define TESTMOD_API_VERSION 4
#endif
#ifndef TESTMOD_INIT_RESULT
#define TESTMOD_INIT_RESULT 0
#endif
#ifndef TESTMOD_FLAGS
#define TESTMOD_FLAGS 2
#endif

static ModuleDescriptor g_descriptor;
static const HostApi* g_host;

__attribute__((unused)) static void own_name(char* out, size_t capacity) {
#ifdef TESTMOD_NAME
    snprintf(out, capacity, "%s", TESTMOD_NAME);
#else
    HMODULE self = NULL;
    wchar_t path[MAX_PATH];
    out[0] = 0;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)(void*)&own_name, &self))
        return;
    if (!GetModuleFileNameW(self, path, MAX_PATH)) return;
    wchar_t* base = wcsrchr(path, L'\\');
    base = base ? base + 1 : path;
    wchar_t* dot = wcsrchr(base, L'.');
    if (dot) *dot = 0;
    WideCharToMultiByte(CP_UTF8, 0, base, -1, out, (int)capacity, NULL, NULL);
#endif
}

__attribute__((unused)) static int32_t testmod_init(const HostApi* host, void** context) {
    g_host = host;
    host->host_log(KX_LOG_INFO, "testmod init: %s", g_descriptor.name);
    *context = &g_descriptor;
    return TESTMOD_INIT_RESULT;
}

__attribute__((unused)) static void testmod_destroy(void* context) {
    (void)context;
    if (g_host) g_host->host_log(KX_LOG_INFO, "testmod destroy: %s", g_descriptor.name);
}

__attribute__((unused)) static int32_t testmod_command(void* context, int32_t code, void* in, void* out) {
    (void)context;
    (void)in;
    if (code == KX_DRV_SCAN && in) ((ScanRequest*)in)->count = 0;
    if (code == KX_DRV_STATUS && out) *(int32_t*)out = 0;
    return 0;
}

#ifndef TESTMOD_NO_EXPORT
__declspec(dllexport) const ModuleDescriptor* kx_module_get(void) {
    memset(&g_descriptor, 0, sizeof g_descriptor);
    g_descriptor.api_version = TESTMOD_API_VERSION;
    g_descriptor.flags = TESTMOD_FLAGS;
    own_name(g_descriptor.name, sizeof g_descriptor.name);
    snprintf(g_descriptor.version, sizeof g_descriptor.version, "0.1");
    snprintf(g_descriptor.description, sizeof g_descriptor.description, "loader test module");
#ifndef TESTMOD_NO_INIT
    g_descriptor.init = testmod_init;
#endif
    g_descriptor.destroy = testmod_destroy;
    g_descriptor.command = testmod_command;
    return &g_descriptor;
}
#else
__declspec(dllexport) int testmod_something_else(void) { return 42; }
#endif
