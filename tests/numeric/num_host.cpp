// kx_num_host - one numeric window in a plain frame ("KXNumHost"), over three made-up leaves
// (speed: int, gain: float, count: uint) that a 50 ms timer feeds through the sample hand-off.
// The log goes to the file named by the first argument ("--log=PATH" or PATH). The frame logs the requests a hosted
// window sends to the main window ("host: close", "host: full screen"). No driver is loaded, so
// value writes fail with the write module's reason; min/max edits work as in the program.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cmath>
#include <cstring>

#include "acquisition/acquisition.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/platform_win32.h"
#include "numeric/num_window.h"
#include "numeric/num_window_win32.h"
#include "vartable/leaf_codec.h"
#include "vartable/leaf_table.h"
#include "workspace/dialogs_win32.h"

// The program's status refresh and pick dialog are not part of this host.
void main_window_refresh_hook() {}
int pick_variables(HWND, LeafId*, int32_t, int32_t*) { return -1; }

namespace {

HWND g_num;
int g_tick;

void deliver(const Sample* samples, int32_t count) {
    for (int32_t i = 0; i < count; i++) num_on_sample(g_num, &samples[i]);
}

Sample make_sample(LeafId id, const void* raw, uint32_t size) {
    Sample s = {};
    const VarLeaf* leaf = leaf_at(id);
    s.timestamp_us = clock_now_us();
    s.leaf_id = id;
    s.address = leaf->address;
    s.size = (int32_t)size;
    memcpy(s.raw, raw, size);
    leaf_decode(leaf, s.raw, size, s.text, sizeof s.text, &s.value);
    return s;
}

void feed() {
    g_tick++;
    int32_t speed = (int32_t)(1500 * std::sin(g_tick * 0.1));
    float gain = (float)(0.5 + 0.25 * std::cos(g_tick * 0.07));
    uint16_t count = (uint16_t)g_tick;
    Sample batch[3] = {make_sample(0, &speed, 4), make_sample(1, &gain, 4), make_sample(2, &count, 2)};
    samples_publish(batch, 3);
    samples_flush();
}

LRESULT CALLBACK frame_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_SIZE:
            if (g_num) MoveWindow(g_num, 0, 0, LOWORD(lp), HIWORD(lp), TRUE);
            return 0;
        case WM_TIMER:
            if (wp == 2) {
                KillTimer(hwnd, 2);
                log_printf(LOG_INFO, "host: ready");
                return 0;
            }
            feed();
            return 0;
        case KX_MSG_CLOSE_HOSTED:
            log_printf(LOG_INFO, "host: close %d", (HWND)wp == g_num ? 1 : 0);
            return 0;
        case KX_MSG_FULL_SCREEN:
            log_printf(LOG_INFO, "host: full screen %d", (HWND)wp == g_num ? 1 : 0);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR command_line, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc > 1) {
        const wchar_t* path = argv[1];
        if (wcsncmp(path, L"--log=", 6) == 0) path += 6;
        log_set_override_path((const char16_t*)path);
    }
    platform_win32_install();
    log_open_file();
    (void)command_line;

    INITCOMMONCONTROLSEX icc = {sizeof icc, 0xFF};
    InitCommonControlsEx(&icc);
    leaf_add("speed", 0x20000000, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("gain", 0x20000004, 4, TYPE_FLOAT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("count", 0x20000008, 2, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);

    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = frame_proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = L"KXNumHost";
    RegisterClassExW(&wc);
    num_register_class();

    HWND frame = CreateWindowExW(0, L"KXNumHost", L"num host", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 40, 40, 720,
                                 300, nullptr, nullptr, instance, nullptr);
    platform_win32_set_main_window(frame);
    g_num = num_window_create(frame, 0, 0, 700, 260, "网络数值");
    log_printf(LOG_INFO, "host: window %d", num_is_num(g_num));
    for (LeafId id = 0; id < 3; id++) num_add_var(g_num, id);
    num_add_var(g_num, 1);  // a duplicate adds nothing
    g_acquisition_hooks.deliver_to_windows = deliver;
    ShowWindow(frame, SW_SHOW);
    SendMessageW(frame, WM_SIZE, 0, 0);
    RECT client;
    GetClientRect(frame, &client);
    MoveWindow(g_num, 0, 0, client.right, client.bottom, TRUE);
    UpdateWindow(frame);
    SetFocus(g_num);
    SetTimer(frame, 1, 50, nullptr);
    // Ready once the window system has settled the activation: a late focus change would close
    // an editor that a test opened right away.
    SetTimer(frame, 2, 500, nullptr);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    log_close_file();
    return 0;
}
