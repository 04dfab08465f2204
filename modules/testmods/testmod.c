/* testmod.c - small modules for the loader tests, one source built several ways:
 *   TESTMOD_NO_EXPORT      no kx_module_get at all
 *   TESTMOD_API_VERSION    the descriptor's api_version (default 4)
 *   TESTMOD_INIT_RESULT    what init returns (default 0)
 *   TESTMOD_NO_INIT        no init entry
 *   TESTMOD_FLAGS          role flags (default 2)
 *   TESTMOD_NAME           module name; by default the DLL's own file name without ".dll", so
 *                          copies of one DLL are told apart
 *   TESTMOD_WINDOWS        offers the window type "testgauge" ("测试仪表"): a static child that
 *                          shows the names of its variables; add_variable logs
 *                          "testmod add_variable: NAME" and get_variable enumerates them
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

#ifdef TESTMOD_WINDOWS
enum { TESTMOD_MAX_WINDOWS = 8, TESTMOD_MAX_VARS = 16 };

/* One window of the test type and the leaf names it shows. */
typedef struct TestWindow {
    HWND hwnd;
    int32_t count;
    char names[TESTMOD_MAX_VARS][128];
} TestWindow;

static TestWindow g_windows[TESTMOD_MAX_WINDOWS];
static const WindowTypeEntry g_window_types[] = {{"testgauge", "测试仪表"}, {NULL, NULL}};

static TestWindow* test_window(void* hwnd) {
    for (int i = 0; i < TESTMOD_MAX_WINDOWS; i++)
        if (hwnd && g_windows[i].hwnd == (HWND)hwnd) return &g_windows[i];
    return NULL;
}

static void show_names(TestWindow* w) {
    wchar_t text[1024];
    char utf8[1024] = "testgauge:";
    for (int32_t i = 0; i < w->count; i++) {
        strncat(utf8, " ", sizeof utf8 - strlen(utf8) - 1);
        strncat(utf8, w->names[i], sizeof utf8 - strlen(utf8) - 1);
    }
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text, 1024);
    SetWindowTextW(w->hwnd, text);
}

static void* testmod_create_window(void* context, const char* type, void* parent, int32_t x, int32_t y, int32_t width,
                                   int32_t height, const char* title) {
    (void)context;
    (void)title;
    TestWindow* slot = test_window(NULL);
    for (int i = 0; !slot && i < TESTMOD_MAX_WINDOWS; i++)
        if (!g_windows[i].hwnd) slot = &g_windows[i];
    if (!slot || strcmp(type, "testgauge") != 0) return NULL;
    memset(slot, 0, sizeof *slot);
    slot->hwnd = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT, x, y, width, height, (HWND)parent,
                                 NULL, GetModuleHandleW(NULL), NULL);
    if (slot->hwnd) show_names(slot);
    return slot->hwnd;
}

static void testmod_window_closing(void* context, void* window) {
    (void)context;
    TestWindow* w = test_window(window);
    if (w) memset(w, 0, sizeof *w);
}

static void testmod_add_variable(void* context, void* window, int32_t id) {
    (void)context;
    TestWindow* w = test_window(window);
    const char* name = g_host ? g_host->host_leaf_name(id) : NULL;
    if (!w || !name || w->count >= TESTMOD_MAX_VARS) return;
    snprintf(w->names[w->count++], sizeof w->names[0], "%s", name);
    g_host->host_log(KX_LOG_INFO, "testmod add_variable: %s", name);
    show_names(w);
}

static int32_t testmod_get_variable(void* context, void* window, int32_t index, char* name, int32_t capacity) {
    (void)context;
    TestWindow* w = test_window(window);
    if (!w || index < 0 || index >= w->count || capacity <= 0) return 0;
    snprintf(name, (size_t)capacity, "%s", w->names[index]);
    return 1;
}
#endif

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
#ifdef TESTMOD_WINDOWS
    g_descriptor.window_types = g_window_types;
    g_descriptor.create_window = testmod_create_window;
    g_descriptor.window_closing = testmod_window_closing;
    g_descriptor.add_variable = testmod_add_variable;
    g_descriptor.get_variable = testmod_get_variable;
#endif
    return &g_descriptor;
}
#else
__declspec(dllexport) int testmod_something_else(void) { return 42; }
#endif
