// chart_window_win32.cpp - the waveform window "KXChartWin" on Win32 (see chart_window_win32.h).
//
// Index
//   [SECTION] Record lookup and geometry
//   [SECTION] Hooks of the chart core (repaint, timer, scroll bar, replay caches)
//   [SECTION] Screenshot request (chart_shot.bmp)
//   [SECTION] Mouse: press, move, release, capture, wheel, double click
//   [SECTION] Keys, scroll bar and the context menu
//   [SECTION] Window procedure
//   [SECTION] Hosted kind, registration and creation
#include "chart/chart_window_win32.h"

#include <cwchar>

#include "chart/chart.h"
#include "chart/chart_view.h"
#include "chart/draw_surface_gdi_win32.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/platform_win32.h"
#include "core/text.h"
#include "recording/replay.h"
#include "vartable/tree_model.h"
#include "workspace/dialogs_win32.h"
#include "workspace/main_window_win32.h"
#include "workspace/screenshot_win32.h"
#include "workspace/workspace.h"

namespace {

const wchar_t kChartClass[] = L"KXChartWin";
ATOM g_chart_atom;

//-------------------------------------------------------------------------------------------------
// [SECTION] Record lookup and geometry
//-------------------------------------------------------------------------------------------------

// The live record of a waveform window, or null (windows of other classes are never looked at).
ChartWindow* chart_from(HWND hwnd) {
    if (!hwnd || !g_chart_atom) return nullptr;
    if ((ATOM)GetClassLongPtrW(hwnd, GCW_ATOM) != g_chart_atom) return nullptr;
    ChartWindow* cw = chart_record(hwnd);
    return cw && cw->tag == CHART_TAG ? cw : nullptr;
}

// Client size of the window.
struct ClientSize {
    int32_t width, height;
};

ClientSize client_size(HWND hwnd) {
    RECT rc = {0, 0, 0, 0};
    GetClientRect(hwnd, &rc);
    return ClientSize{rc.right - rc.left, rc.bottom - rc.top};
}

int32_t point_x(LPARAM lp) { return (int32_t)(short)LOWORD(lp); }
int32_t point_y(LPARAM lp) { return (int32_t)(short)HIWORD(lp); }

bool in_close_box(ClientSize c, int32_t x, int32_t y) { return x >= c.width - CHART_CLOSE_BOX && y < CHART_TITLE_STRIP; }

bool captured(HWND hwnd) { return GetCapture() == hwnd; }

void post_to_main(UINT msg, HWND hwnd) { platform()->post_main(msg, (uintptr_t)hwnd, 0); }

bool selection_valid(const ChartWindow* cw) { return cw->selected >= 0 && cw->selected < cw->series_count; }

//-------------------------------------------------------------------------------------------------
// [SECTION] Hooks of the chart core (repaint, timer, scroll bar, replay caches)
//-------------------------------------------------------------------------------------------------

void hook_invalidate(void* window, int32_t erase) { InvalidateRect((HWND)window, nullptr, erase ? TRUE : FALSE); }

void hook_anim_timer(void* window, int32_t on) {
    if (on) SetTimer((HWND)window, CHART_ANIM_TIMER_ID, CHART_ANIM_PERIOD_MS, nullptr);
    else KillTimer((HWND)window, CHART_ANIM_TIMER_ID);
}

// Called at every paint: only a change of visibility, page or position touches the bar, because
// showing or hiding it resizes the client area and repaints the window once more.
void hook_set_scrollbar(void* window, int32_t show, int32_t page, int32_t position) {
    HWND hwnd = (HWND)window;
    const bool visible = (GetWindowLongPtrW(hwnd, GWL_STYLE) & WS_HSCROLL) != 0;
    if (!show) {
        if (visible) ShowScrollBar(hwnd, SB_HORZ, FALSE);
        return;
    }
    SCROLLINFO now = {};
    now.cbSize = sizeof now;
    now.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    const bool known = GetScrollInfo(hwnd, SB_HORZ, &now) != 0;
    if (!known || now.nMin != 0 || now.nMax != CHART_SCROLL_RANGE || now.nPage != (UINT)page || now.nPos != position) {
        SCROLLINFO si = {};
        si.cbSize = sizeof si;
        si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
        si.nMin = 0;
        si.nMax = CHART_SCROLL_RANGE;
        si.nPage = (UINT)page;
        si.nPos = position;
        SetScrollInfo(hwnd, SB_HORZ, &si, visible ? TRUE : FALSE);
    }
    if (!visible) ShowScrollBar(hwnd, SB_HORZ, TRUE);
}

void hook_tree_set_tick(int32_t leaf_id, int32_t on) { tree_set_leaf_check(leaf_id, on); }

void install_core_hooks() {
    ChartHooks& h = g_chart_hooks;
    h.invalidate = hook_invalidate;
    h.anim_timer = hook_anim_timer;
    h.set_scrollbar = hook_set_scrollbar;
    h.tree_set_tick = hook_tree_set_tick;
    h.refresh_status = main_window_refresh_hook;
    h.release_leaf = release_leaf_if_unused;
    h.replay_track = replay_track_for_new_series;
    // The chart side of replay (the main window supplies the list of windows).
    ReplayChartHooks& r = g_replay_chart_hooks;
    if (!r.series_name) r.series_name = chart_series_name;
    if (!r.set_track) r.set_track = chart_set_track;
    if (!r.drop_track_refs) r.drop_track_refs = chart_drop_all_track_refs;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Screenshot request (chart_shot.bmp)
//-------------------------------------------------------------------------------------------------

// "chart_shot.bmp" in the executable's directory (the module path cut after its last backslash;
// without one the name is appended to the whole path), as UTF-8.
void shot_path(char* out, size_t capacity) {
    wchar_t exe[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    exe[n < MAX_PATH ? n : MAX_PATH] = 0;
    wchar_t* slash = wcsrchr(exe, L'\\');
    if (slash) slash[1] = 0;
    char dir[(MAX_PATH + 1) * 3];
    utf16_to_utf8((const char16_t*)exe, dir, sizeof dir);
    text_printf(out, capacity, "%schart_shot.bmp", dir);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Mouse: press, move, release, capture, wheel, double click
//-------------------------------------------------------------------------------------------------

void on_left_press(HWND hwnd, ChartWindow* cw, int32_t x, int32_t y, WPARAM keys) {
    const ClientSize c = client_size(hwnd);
    if (in_close_box(c, x, y)) {
        post_to_main(KX_MSG_CLOSE_HOSTED, hwnd);
        return;
    }
    const int32_t row = chart_legend_hit(cw, c.height, x, y);
    if (row >= 0) {
        cw->selected = row;
        chart_invalidate(cw, 0);
    } else if (chart_in_plot(chart_plot_rect(c.width, c.height), x, y)) {
        const ViewInfo v = chart_compute_view(cw);
        if (keys & MK_CONTROL) {
            chart_pan_press(cw, x, y);
        } else {
            chart_take_over_view(cw, &v);
            cw->box_active = 1;
            cw->box_x0 = cw->box_x1 = x;
            cw->box_y0 = cw->box_y1 = y;
        }
        SetCapture(hwnd);
        chart_invalidate(cw, 1);
    }
    SetFocus(hwnd);
}

void on_mouse_move(HWND hwnd, ChartWindow* cw, int32_t x, int32_t y) {
    const ClientSize c = client_size(hwnd);
    cw->mouse_x = x;
    cw->mouse_y = y;
    cw->hover = chart_in_plot(chart_plot_rect(c.width, c.height), x, y);
    if (captured(hwnd)) {
        if (cw->box_active) {
            cw->box_x1 = x;
            cw->box_y1 = y;
            chart_invalidate(cw, 0);
            return;
        }
        // Below the start threshold nothing pans yet; past it the pan follows the pointer.
        if (chart_pan_move(cw, c.width, c.height, x, y)) return;
    }
    chart_invalidate(cw, 0);
    TRACKMOUSEEVENT track = {};
    track.cbSize = sizeof track;
    track.dwFlags = TME_LEAVE;
    track.hwndTrack = hwnd;
    TrackMouseEvent(&track);
}

void on_mouse_leave(ChartWindow* cw) {
    cw->hover = 0;
    cw->mouse_x = cw->mouse_y = -1;
    chart_invalidate(cw, 0);
}

void on_left_release(HWND hwnd, ChartWindow* cw, int32_t x, int32_t y) {
    const ClientSize c = client_size(hwnd);
    const bool held = captured(hwnd);
    if (cw->box_active && held) {
        if (chart_box_zoom(cw, c.width, c.height)) {
            cw->box_active = 0;
            ReleaseCapture();
            chart_invalidate(cw, 1);
            return;
        }
        // Too small or no valid target: the release is a click.
        cw->box_active = 0;
        cw->pan_anchor_x = cw->pan_anchor_y = 0;
    }
    if (cw->panning && held) {
        chart_pan_release(cw);
        // The gesture is over: give the mouse back (losing it clears the anchor).
        ReleaseCapture();
        chart_invalidate(cw, 1);
        return;
    }
    if (!held) return;
    if (chart_in_plot(chart_plot_rect(c.width, c.height), x, y)) {
        const ViewInfo v = chart_compute_view(cw);
        chart_place_marker(cw, &v, c.width, c.height, x, y);
        ReleaseCapture();
        cw->pan_anchor_x = cw->pan_anchor_y = 0;
        chart_invalidate(cw, 1);
        return;
    }
    ReleaseCapture();
    cw->pan_anchor_x = cw->pan_anchor_y = 0;
}

// A double click in the title strip (not on the close box) toggles full screen; elsewhere the
// second click of a quick pair is an ordinary press, so fast clicks still place markers.
void on_left_double_click(HWND hwnd, ChartWindow* cw, int32_t x, int32_t y, WPARAM keys) {
    const ClientSize c = client_size(hwnd);
    if (y < CHART_TITLE_STRIP) {
        if (x < c.width - CHART_CLOSE_BOX) post_to_main(KX_MSG_FULL_SCREEN, hwnd);
        return;
    }
    on_left_press(hwnd, cw, x, y, keys);
}

void on_wheel(HWND hwnd, ChartWindow* cw, WPARAM wp, LPARAM lp) {
    POINT p = {point_x(lp), point_y(lp)};
    ScreenToClient(hwnd, &p);
    const ClientSize c = client_size(hwnd);
    const int32_t ctrl = (GET_KEYSTATE_WPARAM(wp) & MK_CONTROL) ? 1 : 0;
    chart_wheel(cw, c.width, c.height, p.x, p.y, GET_WHEEL_DELTA_WPARAM(wp), ctrl);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Keys, scroll bar and the context menu
//-------------------------------------------------------------------------------------------------

void on_key(ChartWindow* cw, WPARAM key) {
    if (key == 'B' && GetKeyState(VK_CONTROL) < 0) chart_toggle_stacked(cw, 0);
    else if (key == 'F') chart_fit_all(cw, 1);
}

void on_hscroll(HWND hwnd, ChartWindow* cw, WPARAM wp) {
    SCROLLINFO si = {};
    si.cbSize = sizeof si;
    si.fMask = SIF_PAGE | SIF_POS | SIF_TRACKPOS;
    if (!GetScrollInfo(hwnd, SB_HORZ, &si)) return;
    ChartScrollRequest request;
    int32_t thumb = si.nTrackPos;  // while dragging; a released thumb reports its place itself
    switch (LOWORD(wp)) {
    case SB_LINELEFT: request = CHART_SCROLL_LINE_LEFT; break;
    case SB_LINERIGHT: request = CHART_SCROLL_LINE_RIGHT; break;
    case SB_PAGELEFT: request = CHART_SCROLL_PAGE_LEFT; break;
    case SB_PAGERIGHT: request = CHART_SCROLL_PAGE_RIGHT; break;
    case SB_LEFT: request = CHART_SCROLL_LEFT_END; break;
    case SB_RIGHT: request = CHART_SCROLL_RIGHT_END; break;
    case SB_THUMBTRACK: request = CHART_SCROLL_THUMB; break;
    case SB_THUMBPOSITION:
        request = CHART_SCROLL_THUMB;
        thumb = HIWORD(wp);
        break;
    default: return;  // SB_ENDSCROLL
    }
    chart_scroll(cw, request, thumb, (int32_t)si.nPage, si.nPos);
}

enum : UINT {
    MENU_ADD = 1,
    MENU_REMOVE,
    MENU_PAUSE,
    MENU_STACKED,
    MENU_FIT,
    MENU_RESET,
    MENU_CLEAR,
    MENU_WRITE,
    MENU_CLOSE,
};

void append_item(HMENU menu, UINT id, const char* text, bool enabled, bool ticked) {
    wchar_t wide[64];
    utf8_to_utf16(text, (char16_t*)wide, 64);
    AppendMenuW(menu, MF_STRING | (enabled ? MF_ENABLED : MF_GRAYED) | (ticked ? MF_CHECKED : MF_UNCHECKED), id, wide);
}

HWND dialog_owner(HWND hwnd) {
    HWND main = platform_win32_main_window();
    return main ? main : GetAncestor(hwnd, GA_ROOT);
}

void add_from_pick_dialog(HWND hwnd) {
    LeafId ids[CHART_PICK_CAPACITY];
    int32_t count = 0;
    if (pick_variables(dialog_owner(hwnd), ids, CHART_PICK_CAPACITY, &count) != 0) return;
    if (!chart_from(hwnd)) return;  // the window went away while the dialog ran
    for (int32_t i = 0; i < count; i++) chart_add_var(hwnd, ids[i]);
    log_printf(LOG_INFO, "波形窗口批量添加变量: %d 个", count);
}

void run_menu_command(HWND hwnd, UINT id) {
    ChartWindow* cw = chart_from(hwnd);  // the menu's modal loop ran: look the record up again
    if (!cw) return;
    switch (id) {
    case MENU_ADD: add_from_pick_dialog(hwnd); break;
    case MENU_REMOVE: chart_remove_selected(hwnd); break;
    case MENU_PAUSE: chart_toggle_pause(cw); break;
    case MENU_STACKED: chart_toggle_stacked(cw, 1); break;
    case MENU_FIT: chart_fit_all(cw, 0); break;
    case MENU_RESET: chart_reset_zoom(cw); break;
    case MENU_CLEAR: chart_clear(hwnd); break;
    case MENU_WRITE:
        if (selection_valid(cw)) write_value_dialog(dialog_owner(hwnd), cw->series[cw->selected].leaf_id);
        break;
    case MENU_CLOSE: post_to_main(KX_MSG_CLOSE_HOSTED, hwnd); break;
    default: break;
    }
}

void on_right_release(HWND hwnd, ChartWindow* cw, int32_t x, int32_t y) {
    const ClientSize c = client_size(hwnd);
    const int32_t row = chart_legend_hit(cw, c.height, x, y);
    if (row >= 0) {
        cw->selected = row;
        chart_invalidate(cw, 0);
    }
    const bool selected = selection_valid(cw);
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    append_item(menu, MENU_ADD, "添加变量...", true, false);
    append_item(menu, MENU_REMOVE, "移除选中变量", selected, false);
    append_item(menu, MENU_PAUSE, "暂停刷新", true, cw->paused != 0);
    append_item(menu, MENU_STACKED, "逐行堆叠 (Ctrl+B)", true, cw->stacked != 0);
    append_item(menu, MENU_FIT, "全局显示 (F)", true, false);
    append_item(menu, MENU_RESET, "重置缩放", true, false);
    append_item(menu, MENU_CLEAR, "清除数据", true, false);
    append_item(menu, MENU_WRITE, "写入值...", selected, false);
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    append_item(menu, MENU_CLOSE, "关闭窗口", true, false);
    POINT at = {x, y};
    ClientToScreen(hwnd, &at);
    const UINT id = (UINT)TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, hwnd, nullptr);
    DestroyMenu(menu);
    if (id) run_menu_command(hwnd, id);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Window procedure
//-------------------------------------------------------------------------------------------------

LRESULT on_create(HWND hwnd, const CREATESTRUCTW* create) {
    // A failed record makes CreateWindowEx return null: the caller sees no window.
    return chart_record_create(hwnd, (const char*)create->lpCreateParams) ? 0 : -1;
}

void paint(HWND hwnd, ChartWindow* cw) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    const ClientSize c = client_size(hwnd);
    if (dc) chart_paint_hdc(cw, dc, c.width, c.height);
    EndPaint(hwnd, &ps);
}

LRESULT counts_reply(const ChartWindow* cw) {
    if (cw->series_count <= 0) return 0;
    const int32_t first = cw->series[0].count < 0xFFFF ? cw->series[0].count : 0xFFFF;
    return (LRESULT)(((uint32_t)cw->series_count << 16) | (uint32_t)first);
}

LRESULT CALLBACK chart_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CREATE) return on_create(hwnd, (const CREATESTRUCTW*)lp);
    if (msg == WM_NCDESTROY) {
        chart_record_destroy(hwnd);  // stops the animation timer, frees the record
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    ChartWindow* cw = chart_from(hwnd);
    if (!cw) return DefWindowProcW(hwnd, msg, wp, lp);
    switch (msg) {
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: paint(hwnd, cw); return 0;
    case WM_PRINTCLIENT: {
        const ClientSize c = client_size(hwnd);
        chart_paint_hdc(cw, (HDC)wp, c.width, c.height);
        return 0;
    }
    case WM_PRINT:
        // The frame (the scroll bar) as the platform draws it, then the client area ourselves.
        if (lp & PRF_NONCLIENT) DefWindowProcW(hwnd, msg, wp, PRF_NONCLIENT | (lp & PRF_CHECKVISIBLE));
        if (lp & PRF_CLIENT) {
            const ClientSize c = client_size(hwnd);
            chart_paint_hdc(cw, (HDC)wp, c.width, c.height);
        }
        return 0;
    case WM_SIZE: InvalidateRect(hwnd, nullptr, TRUE); return 0;
    case WM_LBUTTONDOWN: on_left_press(hwnd, cw, point_x(lp), point_y(lp), wp); return 0;
    case WM_LBUTTONDBLCLK: on_left_double_click(hwnd, cw, point_x(lp), point_y(lp), wp); return 0;
    case WM_MOUSEMOVE: on_mouse_move(hwnd, cw, point_x(lp), point_y(lp)); return 0;
    case WM_MOUSELEAVE: on_mouse_leave(cw); return 0;
    case WM_LBUTTONUP: on_left_release(hwnd, cw, point_x(lp), point_y(lp)); return 0;
    case WM_CAPTURECHANGED: chart_pan_cancel(cw); return 0;
    case WM_MOUSEWHEEL: on_wheel(hwnd, cw, wp, lp); return 0;
    case WM_RBUTTONUP: on_right_release(hwnd, cw, point_x(lp), point_y(lp)); return 0;
    case WM_KEYDOWN: on_key(cw, wp); return 0;
    case WM_HSCROLL: on_hscroll(hwnd, cw, wp); return 0;
    case WM_TIMER:
        if (wp == CHART_ANIM_TIMER_ID) chart_anim_tick(cw);
        return 0;
    case WM_SETFOCUS: set_focused_window(hwnd); return 0;
    case KX_MSG_ACQ_STOPPED: chart_on_acquisition_stopped(cw); return 0;
    case KX_MSG_ACQ_STARTED: chart_on_acquisition_started(cw); return 0;
    case CHART_MSG_COUNTS: return counts_reply(cw);
    case CHART_MSG_SHOT: {
        char path[(MAX_PATH + 1) * 3 + 16];
        shot_path(path, sizeof path);
        screenshot_window(hwnd, path);
        return 0;
    }
    default: break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Hosted kind, registration and creation
//-------------------------------------------------------------------------------------------------

void* hosted_create(void* parent, int32_t x, int32_t y, int32_t width, int32_t height, const char* title_utf8) {
    return chart_window_create((HWND)parent, x, y, width, height, title_utf8);
}

const HostedKind kChartKind = {"chart",     hosted_create,    chart_is_chart,    chart_add_var,
                               chart_on_sample, chart_rebind, chart_series_name, 1};

}  // namespace

void chart_register_class() {
    if (g_chart_atom) return;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = chart_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    wc.hbrBackground = nullptr;
    wc.lpszClassName = kChartClass;
    g_chart_atom = RegisterClassExW(&wc);
    install_core_hooks();
    workspace_register_kind(&kChartKind);
}

HWND chart_window_create(HWND parent, int x, int y, int width, int height, const char* title_utf8) {
    HWND hwnd = CreateWindowExW(0, kChartClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_HSCROLL | WS_TABSTOP,
                                x, y, width, height, parent, nullptr, GetModuleHandleW(nullptr), (void*)title_utf8);
    // The bar exists from the start and shows only when the view needs it.
    if (hwnd) ShowScrollBar(hwnd, SB_HORZ, FALSE);
    return hwnd;
}

HWND chart_create(HWND parent, int x, int y, int width, int height, const wchar_t* title) {
    if (!title) return chart_window_create(parent, x, y, width, height, nullptr);
    char title_utf8[CHART_TITLE_CAPACITY * 3];
    utf16_to_utf8((const char16_t*)title, title_utf8, sizeof title_utf8);
    return chart_window_create(parent, x, y, width, height, title_utf8);
}

