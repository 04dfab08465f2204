// chart_window_win32.h - the waveform window "KXChartWin" on Win32: class registration (which also
// registers the "chart" hosted kind with the workspace and fills the chart core's hooks), creation,
// and the automation messages tools send to it.
//
// Every reaction of the window is one operation of the chart core (chart.h, chart_view.h)
// followed by a repaint; events for a window without a live record are ignored. Main thread only.
#pragma once
#include <windows.h>

#include <cstdint>

enum : UINT {
    // Reply: (series count << 16) | min(samples held by series 0, 0xFFFF); 0 without series.
    CHART_MSG_COUNTS = WM_APP + 0x29,
    // Saves the window's picture as "chart_shot.bmp" beside the executable.
    CHART_MSG_SHOT = WM_APP + 0x2A,
};

enum : int32_t {
    CHART_TITLE_STRIP = 26,     // y below this is the title strip
    CHART_CLOSE_BOX = 22,       // the rightmost pixels of the title strip close the window
    CHART_ANIM_TIMER_ID = 5,
    CHART_ANIM_PERIOD_MS = 16,
    CHART_PICK_CAPACITY = 16,   // variables the context menu's pick dialog adds at most
};

// Registers the class once (arrow cursor, no background brush, double clicks), installs the chart
// core's hooks and registers the "chart" hosted kind. Called at start-up before the main window.
void chart_register_class();
// A visible child window of `parent` with a (hidden) horizontal scroll bar, tab-stop, clipping its
// siblings; title "波形窗口" when null. Null when the window or its record cannot be created.
HWND chart_create(HWND parent, int x, int y, int width, int height, const wchar_t* title);
// The same with a UTF-8 title (the workspace's form).
HWND chart_window_create(HWND parent, int x, int y, int width, int height, const char* title_utf8);
