// theme_win32.cpp - switching the theme on Win32: the platform's dark-mode settings, the
// re-colouring of every existing window at once, and the start-up application. The brushes and
// the themed painting are in theme_paint_win32.cpp.
//
// Index
//   [SECTION] Platform settings (uxtheme ordinals, dark frame, visual styles)
//   [SECTION] Re-colouring the controls
//   [SECTION] Set, apply, remember
#include "workspace/theme_win32.h"

#include <commctrl.h>

#include "numeric/num_window_win32.h"
#include "workspace/main_window_win32.h"
#include "workspace/variable_tree_win32.h"
#include "workspace/workspace.h"
#include "workspace/workspace_win32.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] Platform settings
//-------------------------------------------------------------------------------------------------

namespace {

HWND g_main;  // the remembered main window

typedef int(WINAPI* SetPreferredAppModeFn)(int mode);
typedef void(WINAPI* RefreshColorPolicyFn)();
typedef BOOL(WINAPI* AllowDarkModeForWindowFn)(HWND window, BOOL allow);
typedef void(WINAPI* FlushMenuThemesFn)();
typedef HRESULT(WINAPI* SetWindowThemeFn)(HWND window, LPCWSTR app_name, LPCWSTR id_list);
typedef HRESULT(WINAPI* DwmSetWindowAttributeFn)(HWND window, DWORD attribute, LPCVOID value, DWORD size);

// The optional platform entries, looked up once per process.
struct ThemePlatform {
    bool looked_up;
    SetPreferredAppModeFn set_app_mode;       // uxtheme ordinal 135
    RefreshColorPolicyFn refresh_policy;      // ordinal 104
    AllowDarkModeForWindowFn allow_window;    // ordinal 133
    FlushMenuThemesFn flush_menus;            // ordinal 136
    SetWindowThemeFn set_window_theme;
    bool frame_probed;
    DWORD frame_attribute;                    // 20, 19 or 0 (none)
    DwmSetWindowAttributeFn dwm_set;
};

ThemePlatform g_platform;

template <typename Fn>
Fn entry(HMODULE library, const char* name) {
    return library ? (Fn)(void*)GetProcAddress(library, name) : nullptr;
}

void look_up_platform() {
    if (g_platform.looked_up) return;
    g_platform.looked_up = true;
    HMODULE ux = LoadLibraryW(L"uxtheme.dll");
    g_platform.set_app_mode = entry<SetPreferredAppModeFn>(ux, MAKEINTRESOURCEA(135));
    g_platform.refresh_policy = entry<RefreshColorPolicyFn>(ux, MAKEINTRESOURCEA(104));
    g_platform.allow_window = entry<AllowDarkModeForWindowFn>(ux, MAKEINTRESOURCEA(133));
    g_platform.flush_menus = entry<FlushMenuThemesFn>(ux, MAKEINTRESOURCEA(136));
    g_platform.set_window_theme = entry<SetWindowThemeFn>(ux, "SetWindowTheme");
}

// Which attribute number sets the dark frame: 20 on current systems, 19 on early ones.
void probe_frame_attribute(HWND main) {
    if (g_platform.frame_probed) return;
    g_platform.frame_probed = true;
    HMODULE dwm = LoadLibraryW(L"dwmapi.dll");
    g_platform.dwm_set = entry<DwmSetWindowAttributeFn>(dwm, "DwmSetWindowAttribute");
    if (!g_platform.dwm_set) return;
    const DWORD off = 0;
    const DWORD attributes[2] = {20, 19};
    for (DWORD attribute : attributes) {
        if (SUCCEEDED(g_platform.dwm_set(main, attribute, &off, sizeof off))) {
            g_platform.frame_attribute = attribute;
            return;
        }
    }
}

void apply_platform_settings(int32_t dark) {
    look_up_platform();
    if (g_platform.set_app_mode && g_platform.refresh_policy) {
        g_platform.set_app_mode(dark ? 2 : 1);
        g_platform.refresh_policy();
    }
    if (g_main && g_platform.allow_window) g_platform.allow_window(g_main, dark ? TRUE : FALSE);
    if (g_platform.flush_menus) g_platform.flush_menus();
    if (!g_main) return;
    probe_frame_attribute(g_main);
    if (g_platform.frame_attribute) {
        const DWORD value = dark ? 1 : 0;
        g_platform.dwm_set(g_main, g_platform.frame_attribute, &value, sizeof value);
    }
    SendMessageW(g_main, WM_THEMECHANGED, 0, 0);
    for (HWND child = GetWindow(g_main, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        SendMessageW(child, WM_THEMECHANGED, 0, 0);
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Re-colouring the controls
//-------------------------------------------------------------------------------------------------

namespace {

void repaint_now(HWND hwnd) {
    if (hwnd) RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
}

// Direct children of `parent` whose class follows the theme get the dark or light visual style.
void restyle_children(HWND parent) {
    if (!parent) return;
    wchar_t style[32];
    MultiByteToWideChar(CP_UTF8, 0, theme_visual_style(theme_is_dark()), -1, style, 32);
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls_wide[64];
        char cls[64];
        if (!GetClassNameW(child, cls_wide, 64)) continue;
        WideCharToMultiByte(CP_UTF8, 0, cls_wide, -1, cls, 64, nullptr, nullptr);
        if (!theme_restyles_class(cls)) continue;
        if (g_platform.set_window_theme) g_platform.set_window_theme(child, style, nullptr);
        SendMessageW(child, WM_THEMECHANGED, 0, 0);
        RedrawWindow(child, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }
}

void recolour_hosted_windows() {
    for (int32_t i = 0; i < g_workspace.tab_count; i++) {
        const TabRecord& t = g_workspace.tabs[i];
        for (int32_t k = 0; k < t.window_count; k++) {
            HWND w = (HWND)t.windows[k];
            if (!w || !IsWindow(w)) continue;
            if (!num_apply_theme(w)) repaint_now(w);
        }
    }
}

// Other top-level windows of this thread (the help window) follow at once too.
BOOL CALLBACK repaint_top_level(HWND hwnd, LPARAM) {
    if (hwnd != g_main && IsWindowVisible(hwnd)) {
        SendMessageW(hwnd, WM_THEMECHANGED, 0, 0);
        repaint_now(hwnd);
    }
    return TRUE;
}

// Push buttons change their type before anything repaints, so the repaint draws the new look.
BOOL CALLBACK restyle_top_level_buttons(HWND hwnd, LPARAM) {
    if (hwnd != g_main) theme_restyle_buttons(hwnd);
    return TRUE;
}

void recolour_controls() {
    if (!g_main) return;
    theme_restyle_buttons(g_main);
    EnumThreadWindows(GetCurrentThreadId(), restyle_top_level_buttons, 0);
    theme_color_tree(variable_tree_window());
    HWND list = GetDlgItem(g_main, MAIN_ID_MESSAGE_LIST);
    theme_color_list(list);
    theme_header(list);
    repaint_now(GetDlgItem(g_main, MAIN_ID_STATUS_BAR));
    repaint_now(GetDlgItem(g_main, MAIN_ID_MESSAGE_STRIP));
    recolour_hosted_windows();
    repaint_now(workspace_tab_control());
    repaint_now(workspace_panel());
    restyle_children(g_main);
    restyle_children(workspace_panel());
    EnumThreadWindows(GetCurrentThreadId(), repaint_top_level, 0);
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Set, apply, remember
//-------------------------------------------------------------------------------------------------

void theme_remember_main(HWND main) { g_main = main; }

void theme_apply(HWND window) {
    if (!window) window = g_main;
    theme_rebuild_brushes();
    apply_platform_settings(theme_is_dark());
    repaint_now(window);
    recolour_controls();
}

void theme_set(int32_t dark) {
    if ((theme_is_dark() != 0) == (dark != 0)) return;
    theme_store_flag(dark);
    theme_rebuild_brushes();
    apply_platform_settings(theme_is_dark());
    if (g_main) RedrawWindow(g_main, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    recolour_controls();
}
