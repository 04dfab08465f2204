// screenshot_win32.cpp - window pictures into BMP files (automation: --shot=, --net-shot-at=).
#include "workspace/screenshot_win32.h"

#include <cstdlib>

#include "core/bmp.h"
#include "core/log.h"
#include "workspace/workspace.h"
#include "workspace/workspace_win32.h"

void screenshot_print_children(HWND parent, HDC dc) {
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child)) continue;
        RECT rc;
        GetWindowRect(child, &rc);
        MapWindowPoints(nullptr, parent, (POINT*)&rc, 2);
        POINT old;
        OffsetViewportOrgEx(dc, rc.left, rc.top, &old);
        SendMessageW(child, WM_PRINT, (WPARAM)dc, PRF_NONCLIENT | PRF_CLIENT | PRF_ERASEBKGND | PRF_CHILDREN);
        SetViewportOrgEx(dc, old.x, old.y, nullptr);
    }
}

void screenshot_window(HWND window, const char* path) {
    if (!window || !IsWindow(window) || !path || !path[0]) return;
    RECT rc;
    if (!GetClientRect(window, &rc)) return;
    const int width = rc.right - rc.left, height = rc.bottom - rc.top;
    if (width <= 0 || height <= 0) return;
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);

    HDC window_dc = GetDC(window);
    if (!window_dc) return;
    HDC memory = CreateCompatibleDC(window_dc);
    HBITMAP bitmap = memory ? CreateCompatibleBitmap(window_dc, width, height) : nullptr;
    uint8_t* pixels = bitmap ? (uint8_t*)malloc((size_t)width * (size_t)height * 4) : nullptr;
    if (pixels) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        // Sent, not posted: from another thread this waits until the window has drawn.
        SendMessageW(window, WM_PRINT, (WPARAM)memory, PRF_NONCLIENT | PRF_CLIENT | PRF_ERASEBKGND | PRF_CHILDREN);
        // Child controls (a numeric window's table, for one) where the platform left them out.
        if (window != workspace_panel() && window != workspace_tab_control()) screenshot_print_children(window, memory);
        SelectObject(memory, old);
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;  // top row first
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        if (GetDIBits(memory, bitmap, 0, (UINT)height, pixels, &info, DIB_RGB_COLORS) == height)
            bmp_write_top_down(path, width, height, pixels);
        free(pixels);
    }
    if (bitmap) DeleteObject(bitmap);
    if (memory) DeleteDC(memory);
    ReleaseDC(window, window_dc);
}

void screenshot_current(const char* path) {
    HWND target = (HWND)workspace_screenshot_target();
    if (!target) target = workspace_panel();
    if (!target || !IsWindow(target)) {
        log_printf(LOG_ERROR, "截图: 无可捕获窗口");
        return;
    }
    log_printf(LOG_INFO, "截图: %s", path ? path : "");
    screenshot_window(target, path);
}
